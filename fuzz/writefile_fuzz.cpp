// Feeds WRITEFILE blocks to the dispatcher with the receive buffer filled directly: one to three
// buffers, each "WRITEFILE:" and a piece of the input (headers, sizes, data, line ends, NULs),
// then cycles in which the writes end or time out. Only the sanitizers and the scratch folder
// (no file may appear outside it) check anything. Input: a flags byte (object settings), two
// split points (eighths of the rest; 0: none), then the pieces.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "client_rig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHead = 3;
  if (size < kHead) return 0;
  const uint8_t* text = data + kHead;
  const size_t len = size - kHead;
  size_t cut[4] = {0, len, len, len};
  for (int i = 1; i < 3; ++i)
    if (data[i] & 7) cut[i] = len * (data[i] & 7) / 8;
  if (cut[2] < cut[1]) cut[2] = cut[1];
  fz::Rig rig;
  fz::Open(&rig, data[0]);
  std::vector<uint8_t> buf;
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && cut[i] == cut[i + 1]) continue;
    static const char kHeader[] = "WRITEFILE:";
    buf.assign(kHeader, kHeader + sizeof kHeader - 1);
    buf.insert(buf.end(), text + cut[i], text + cut[i + 1]);
    fz::Cycle(&rig, buf.data(), buf.size(), true, 0);
  }
  for (int i = 0; i < 4; ++i) fz::Cycle(&rig, nullptr, 0, true, 0);
  fz::Close(&rig);
  return 0;
}
