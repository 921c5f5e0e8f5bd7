// Stand-in for the request dispatcher until it lands: assembles lines and answers every request
// with "unknown command" and its keyword, as the dispatcher does for a keyword it does not know;
// handles the ^D and telnet close and interrupt sequences.
#include <cstring>
#include <string>

#include "app/log.h"
#include "client/netcomm.h"
#include "client/protocol.h"
#include "comm/commobj.h"

namespace {

constexpr size_t kKeywordMax = 255;

bool HasWriteFile(const char* buf, size_t len) {
  return memmem(buf, len, "writefile:", 10) || memmem(buf, len, "WRITEFILE:", 10);
}

bool IsLineEnd(char c) {
  return c == '\n' || c == '\r' || c == '\0';
}

}  // namespace

int DoReqCommObject(COMMOBJ_T* obj, NETCOMM_T* cli) {
  if (cli->rx_len == 0) return 0;
  log("DoReqCommObject", 2, "PLC-%d (%s): %zu bytes from %s", obj->cfg.plc_num, obj->cfg.name,
      cli->rx_len, cli->addr);
  if (!HasWriteFile(cli->rx, cli->rx_len) &&
      WaitForCmd(cli->pending, &cli->pending_len, cli->rx, &cli->rx_len) != 0)
    return 0;

  const char* p = cli->rx;
  const char* end = cli->rx + cli->rx_len;
  bool in_request = false;  // a line without ':' after a request is one of its arguments
  while (p < end) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == 0x04) {  // ^D
      cli->state = NET_FREE;
      return 1;
    }
    if (c == 0xFF) {  // telnet command
      unsigned char cmd = p + 1 < end ? static_cast<unsigned char>(p[1]) : 0;
      if (cmd == 0xEC) {  // EOF
        cli->state = NET_FREE;
        return 1;
      }
      if (cmd == 0xED || cmd == 0xF4) return 0;  // SUSP, IP: the rest is dropped
      p += end - p < 3 ? end - p : 3;
      continue;
    }
    if (IsLineEnd(*p)) break;  // where a request is expected
    const char* eol = p;
    while (eol < end && *eol != '\n' && *eol != '\r' && *eol != '\0') ++eol;
    const char* colon = static_cast<const char*>(memchr(p, ':', static_cast<size_t>(eol - p)));
    if (colon) {
      size_t klen = static_cast<size_t>(colon - p) + 1;
      if (klen > kKeywordMax) klen = kKeywordMax;
      std::string keyword(p, klen);
      in_request = true;
      if (SendEmsgCommObject(obj, cli, 32, keyword.c_str()) != 0) return 1;
    } else if (!in_request) {
      std::string line(p, static_cast<size_t>(eol - p));
      if (SendEmsgCommObject(obj, cli, 30, line.c_str()) != 0) return 1;
    }
    p = eol;
    while (p < end && (*p == '\n' || *p == '\r')) ++p;
  }
  return 0;
}
