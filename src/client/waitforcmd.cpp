// Line assembly of client input: pieces joined, backspace editing, only complete lines passed on.
#include <cctype>
#include <cstring>

#include "app/log.h"
#include "client/protocol.h"

namespace {

void TooMuch(int* overflow) {
  log("WaitForCmd", 0, "Too many data in input buffer!");
  if (overflow) *overflow = 1;
}

}  // namespace

int WaitForCmd(char* pending, size_t* pending_len, char* received, size_t* received_len,
               int* overflow) {
  size_t len = *received_len < kLineMax ? *received_len : kLineMax;  // the buffers hold no more
  if (len == 0) return 0;

  unsigned char first = static_cast<unsigned char>(received[0]);
  if ((iscntrl(first) || first == 0xFF) && first != '\n' && first != '\r') {
    if (first != 0x08 && first != 0x7F) return 0;  // telnet commands and ^D go on as they are
    if (*pending_len > 0) pending[--*pending_len] = '\0';
    return 1;
  }

  const char* last_lf = static_cast<const char*>(memrchr(received, '\n', len));
  if (!last_lf) {
    if (*pending_len + len <= kLineMax) {
      memcpy(pending + *pending_len, received, len);
      *pending_len += len;
      pending[*pending_len] = '\0';
    } else {
      TooMuch(overflow);
    }
    return 1;
  }

  size_t tail_at = static_cast<size_t>(last_lf - received) + 1;
  if (*pending_len > 0) {
    if (*pending_len + len <= kLineMax) {
      memmove(received + *pending_len, received, len);
      memcpy(received, pending, *pending_len);
      len += *pending_len;
      tail_at += *pending_len;
    } else {
      // The line that overflowed is refused by its beginning: the typed text stands in for
      // the piece that ends it, as far as it fits in front of the lines that follow.
      TooMuch(overflow);
      const size_t first_end =
          static_cast<size_t>(static_cast<const char*>(memchr(received, '\n', len)) - received) + 1;
      const size_t rest = len - first_end;
      const size_t keep = *pending_len < kLineMax - rest - 1 ? *pending_len : kLineMax - rest - 1;
      memmove(received + keep + 1, received + first_end, rest);
      memcpy(received, pending, keep);
      received[keep] = '\n';
      if (first_end > keep + 1) memset(received + keep + 1 + rest, 0, first_end - keep - 1);
      tail_at = tail_at - first_end + keep + 1;
      len = keep + 1 + rest;
    }
    memset(pending, 0, *pending_len);
    *pending_len = 0;
  }
  size_t tail = len - tail_at;
  if (tail > 0) {
    if (tail <= kLineMax) {
      memcpy(pending, received + tail_at, tail);
      *pending_len = tail;
      pending[tail] = '\0';
    } else {
      TooMuch(overflow);
    }
    memset(received + tail_at, 0, tail);
    len = tail_at;
  }
  received[len] = '\0';
  *received_len = len;
  return 0;
}
