// One exchange with the master: the request frames of a datagram or a serial read, the reply
// frames, and the faults a test asked for.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim.h"

namespace plcsim {

struct Answer {
  bool send = true;       // false: the fault "noanswer" swallowed it
  bool bad_seq = false;   // answer with a wrong UDP sequence number
  uint32_t delay_ms = 0;  // answer this much later
  std::vector<uint8_t> frames;
};

// Serves the back-to-back request frames in `p` (`n` bytes, at most `max_frames` of them).
// Returns 0 with the answer in `a`, or 1 when the request is bad and gets no answer.
int ServeExchange(Sim& sim, const uint8_t* p, size_t n, size_t max_frames, Answer& a);

}  // namespace plcsim
