// Streaming file and memory data to a client within the per-request budget.
#include "client/reply_stream.h"

#include <cstdarg>
#include <cstdio>

#include "app/log.h"
#include "client/netcomm.h"
#include "comm/commobj.h"

int StreamLine(REPLY_T* r, size_t* used, const std::string& line) {
  const bool counted = line.size() < kReplyBudget;
  if (counted && *used + line.size() > kReplyBudget) {
    // Data are ready and only this cycle's share is used: the next cycle need not wait.
    r->obj->wakeup = 1;
    return 2;
  }
  // The queue never overflows: a line that does not fit waits until the socket took the rest.
  if (r->cli->tx_len + line.size() >= kNetBufSize) return 2;
  if (QueueNetComm(r->cli, line.data(), line.size()) != 0) return DropSlowNetComm(r->obj, r->cli);
  // Lines leave together, a budget's worth per send; the section's end sends the rest.
  if (r->cli->tx_len >= kReplyBudget && FlushSection(r) != 0) return 1;
  if (counted) *used += line.size();
  return 0;
}

const char* StreamEol(const REPLY_T* r) {
  return r->cli->crlf ? "\r\n" : "\n";
}

void LogSend(const REPLY_T* r, const char* fmt, ...) {
  char text[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  log("SendReqCommObject", 0, "PLC-%d (%s): %s", r->obj->cfg.plc_num, r->obj->cfg.name, text);
}
