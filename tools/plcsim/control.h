// The control channel's commands: one line in, one reply line out.
#pragma once
#include <cstdint>
#include <string>

#include "sim.h"

namespace plcsim {

// Runs one command line (without its line end) at `now_ms` (the loop's monotonic clock) and sets
// the reply line (without line end). Returns 1 when the client asked to quit, else 0.
int ControlCommand(Sim& sim, const std::string& line, int64_t now_ms, std::string& reply);

// Largest PLC file the control channel moves as hex.
constexpr size_t kMaxControlFile = 4u << 20;

}  // namespace plcsim
