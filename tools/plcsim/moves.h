// Values that move by themselves (counters, sines, ramps, toggling bits, changing texts), so a
// master polling the simulator sees live data.
#pragma once
#include <cstdint>
#include <string>

#include "sim.h"

namespace plcsim {

// The loop brings the moves up to date this often while there are any.
constexpr int64_t kMoveTickMs = 20;
// Move records kept at most (a block of many variables is one record).
constexpr size_t kMaxMoves = 4096;

// "REG ADDR TYPE [COUNT] KIND PARAMS...": adds a move; it starts at the next tick.
// 0, or 1 with a reason in `err`.
int AddMove(Sim& sim, const std::string& args, std::string& err);

// Writes every move's values as of `now_ms` (a monotonic clock in milliseconds).
void ApplyMoves(Sim& sim, int64_t now_ms);

}  // namespace plcsim
