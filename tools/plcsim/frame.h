// DORVIK frames as the slave sees them: checking requests, building replies.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace plcsim {

constexpr uint8_t kSdShort = 0x10;
constexpr uint8_t kSdLong = 0x68;
constexpr uint8_t kEd = 0x16;
constexpr uint8_t kAck = 0xE5;
constexpr size_t kMaxLongData = 252;  // LE is one byte: 3 + data

// Total length of the frame that starts at `p`, known from its first bytes:
// >0 the length, 0 more bytes are needed to tell, -1 not a frame start.
int FrameLength(const uint8_t* p, size_t avail);

// Checks a complete request frame of `n` bytes addressed to station `plc_addr`.
// Returns 0 when good, else 1 with a short reason in `why`.
int CheckRequest(const uint8_t* f, size_t n, uint8_t plc_addr, const char** why);

// The master's address (SA) of a checked request.
inline uint8_t RequestMaster(const uint8_t* f) {
  return f[0] == kSdShort ? f[2] : f[5];
}

// Appends a reply frame to `out`.
void AppendShort(std::vector<uint8_t>& out, uint8_t da, uint8_t sa, uint8_t fc);
void AppendLong(std::vector<uint8_t>& out, uint8_t da, uint8_t sa, uint8_t fc, const uint8_t* data,
                size_t n);
// A refusal: long frame FC 0x0C with data 0x30 and the code byte.
void AppendRefuse(std::vector<uint8_t>& out, uint8_t da, uint8_t sa, uint8_t code);

}  // namespace plcsim
