// Feeds arbitrary client input to the line assembly, chunk by chunk (0x1E separates the chunks
// of one input), and formats each assembled text as a message argument in both styles.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/netcomm.h"
#include "client/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<char> pending(kNetBufSize), rx(kNetBufSize);
  static std::vector<char> out(kNetBufSize);
  size_t pending_len = 0;
  memset(pending.data(), 0, pending.size());
  size_t pos = 0;
  while (pos <= size) {
    const uint8_t* sep = static_cast<const uint8_t*>(memchr(data + pos, 0x1E, size - pos));
    size_t end = sep ? static_cast<size_t>(sep - data) : size;
    size_t len = end - pos;
    if (len > kNetRecvBudget) len = kNetRecvBudget;
    memset(rx.data(), 0, rx.size());
    memcpy(rx.data(), data + pos, len);
    size_t rx_len = len;
    int r = WaitForCmd(pending.data(), &pending_len, rx.data(), &rx_len);
    if (pending_len > kLineMax || rx_len > kLineMax || pending[pending_len] != 0) abort();
    if (r == 0 && rx_len > 0) {
      rx[rx_len] = '\0';
      for (int json = 0; json < 2; ++json) {
        size_t n = FormatEmsg(out.data(), out.size(), json, json, 32, rx.data());
        if (n > kEmsgInnerMax + 16 || out[n] != 0) abort();
      }
    }
    pos = end + 1;
  }
  return 0;
}
