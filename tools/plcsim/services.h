// The services of the simulated PLC: one checked request frame in, its reply out.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim.h"

namespace plcsim {

// Refusal codes (the byte after 0x30 in a FC 0x0C reply).
constexpr uint8_t kRefuseReadN = 0x0B;      // 523 bad READN parameters
constexpr uint8_t kRefuseTooLong = 0x0E;    // 526 blocks do not fit into the message
constexpr uint8_t kRefuseWriteAddr = 0x0F;  // 527 wrong address in a write
constexpr uint8_t kRefuseReadBAddr = 0x11;  // 529 wrong address in READB
constexpr uint8_t kRefuseBadParam = 0x21;   // 560 error while processing the message
constexpr uint8_t kRefuseUnknown = 0x17;    // 535 unknown service

// Appends the reply of one checked request frame `f` (`n` bytes) to `out`.
// With `wrong_handle` file read/write replies carry a wrong handle; `*file_rw` is set to true
// when the frame was a file read or write.
void ServeFrame(Sim& sim, const uint8_t* f, size_t n, bool wrong_handle, bool* file_rw,
                std::vector<uint8_t>& out);

// The file transfer service (code 0x28): `d` is the request data from the service code on.
// Fills `rep` with the reply data.
void FileTransfer(Sim& sim, const uint8_t* d, size_t n, bool wrong_handle, bool* file_rw,
                  std::vector<uint8_t>& rep);

}  // namespace plcsim
