// Feeds client bytes through the whole request path of one client: received through its socket
// in pieces, dispatched, answered, SET values written, over a few cycles, against a PLC that
// answers register reads and writes. Input: a byte of object settings, one of number formatting,
// one of state flags per cycle, three split points (eighths of the rest; 0: none), four bytes the
// PLC reads return, then the client's bytes. With bits 6 and 7 of the settings each piece is sent
// over and over up to 128 KiB, for the paths of overlong input and of a full request buffer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "client_rig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHead = 10;
  if (size < kHead) return 0;
  memcpy(fz::plc_bytes, data + 6, 4);
  const uint8_t* text = data + kHead;
  const size_t len = size - kHead;
  size_t cut[5] = {0, 0, 0, 0, len};
  for (int i = 1; i < 4; ++i) {
    cut[i] = (data[2 + i] & 7) ? len * (data[2 + i] & 7) / 8 : len;
    if (cut[i] < cut[i - 1]) cut[i] = cut[i - 1];
  }
  // Refusals by state only in some inputs, so most of them reach the handlers.
  const uint8_t state = (data[2] & 0xC0) == 0xC0 ? data[2] : 0;
  fz::Rig rig;
  fz::Open(&rig, data[0] | data[1] << 8);
  for (int i = 0; i < 4; ++i) {
    std::string piece(reinterpret_cast<const char*>(text + cut[i]), cut[i + 1] - cut[i]);
    while ((data[0] & 0xC0) == 0xC0 && !piece.empty() && piece.size() < (1u << 17))
      piece.append(piece, 0, std::min(piece.size(), (1u << 17) - piece.size()));
    fz::Cycle(&rig, reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), false,
              static_cast<uint8_t>(state >> i));
  }
  for (int i = 0; i < 3; ++i) fz::Cycle(&rig, nullptr, 0, false, 0);
  fz::Close(&rig);
  return 0;
}
