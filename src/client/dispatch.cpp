// The request dispatcher: a client's received text made into requests — line assembly, the
// requests held back for the next cycle, the batch split, the control bytes, the refusals by the
// object's state, and the handler of each keyword.
#include "client/dispatch.h"

#include <strings.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "client/protocol.h"

namespace {

constexpr size_t kKeywordMax = 255;

bool IsEol(char c) {
  return c == '\n' || c == '\r';
}

const char* LineEnd(const char* p, const char* end) {
  while (p < end && !IsEol(*p) && *p != '\0') ++p;
  return p;
}

const char* SkipEols(const char* p, const char* end) {
  while (p < end && IsEol(*p)) ++p;
  return p;
}

// A line that starts a request of its own: it holds a ':' (with `quotes`, one before any '"').
// The scan ends at the ':' or the line's end: a long line of requests is not read to its end
// for each of them.
bool StartsRequest(const char* b, const char* e, bool quotes) {
  for (const char* p = b; p < e && !IsEol(*p) && *p != '\0'; ++p) {
    if (*p == ':') return true;
    if (quotes && *p == '"') return false;
  }
  return false;
}

// Case-insensitive search for `what` in [b, e); null when absent.
const char* FindNoCase(const char* b, const char* e, const char* what) {
  const size_t n = strlen(what);
  const char first = static_cast<char>(what[0] | 0x20);  // `what` starts with a letter
  for (const char* p = b; p + n <= e; ++p)
    if ((*p | 0x20) == first && strncasecmp(p, what, n) == 0) return p;
  return nullptr;
}

// Where a WRITEFILE request starts in the text (its data are never looked into), else the end.
const char* WriteFileStart(const char* b, const char* e) {
  const char* w = FindNoCase(b, e, "WRITEFILE:");
  return w ? w : e;
}

void Prefix(char* out, size_t cap, const COMMOBJ_T* obj) {
  snprintf(out, cap, "PLC-%d (%s): ", obj->cfg.plc_num, obj->cfg.name);
}

// The received text behind the text held back from earlier cycles. What does not fit is cut at
// the start of the line that would overflow and refused with error 36.
int MergeDeferred(COMMOBJ_T* obj, NETCOMM_T* cli) {
  if (cli->deferred_len == 0) return 0;
  const size_t room = kNetBufSize - 1 - cli->deferred_len;
  size_t take = cli->rx_len;
  int rc = 0;
  if (take > room) {
    const char* cut = static_cast<const char*>(memrchr(cli->rx, '\n', room));
    take = cut ? static_cast<size_t>(cut - cli->rx) + 1 : 0;
    const char* from = cli->rx + take;
    std::string line(from, LineEnd(from, cli->rx + cli->rx_len));
    log("DoReqCommObject", 0, "PLC-%d (%s): No space in buffer for client request: '%s'",
        obj->cfg.plc_num, obj->cfg.name, line.c_str());
    rc = SendEmsgCommObject(obj, cli, 36, line.c_str());
  }
  memcpy(cli->deferred + cli->deferred_len, cli->rx, take);
  size_t total = cli->deferred_len + take;
  memcpy(cli->rx, cli->deferred, total);
  cli->rx[total] = '\0';
  if (cli->rx_len > total) memset(cli->rx + total, 0, cli->rx_len - total);
  cli->rx_len = total;
  memset(cli->deferred, 0, cli->deferred_len);
  cli->deferred_len = 0;
  return rc;
}

// A line that overflowed the assembly buffer is refused whole when it ends: its first part is
// quoted back with error 30 and nothing of it is served as a request.
int RefuseOverlong(COMMOBJ_T* obj, NETCOMM_T* cli) {
  cli->overlong = 0;
  const char* end = cli->rx + cli->rx_len;
  const char* le = LineEnd(cli->rx, end);
  std::string line(static_cast<const char*>(cli->rx), le);
  log("DoReqCommObject", 0, "PLC-%d (%s): Bad client request: '%.1023s'", obj->cfg.plc_num,
      obj->cfg.name, line.c_str());
  const char* next = SkipEols(le, end);
  const size_t rest = static_cast<size_t>(end - next);
  memmove(cli->rx, next, rest);
  memset(cli->rx + rest, 0, cli->rx_len - rest);
  cli->rx_len = rest;
  return SendEmsgCommObject(obj, cli, 30, line.c_str());
}

// Moves the text from `at` on to the held-back text of the next cycle.
void Defer(NETCOMM_T* cli, const char* at) {
  const size_t from = static_cast<size_t>(at - cli->rx);
  const size_t n = cli->rx_len - from;
  const size_t room = kNetBufSize - 1 - cli->deferred_len;
  const size_t keep = n < room ? n : room;
  memcpy(cli->deferred + cli->deferred_len, at, keep);
  cli->deferred_len += keep;
  cli->deferred[cli->deferred_len] = '\0';
  memset(cli->rx + from, 0, n);
  cli->rx_len = from;
}

// SET requests reach the PLC before a later GET is answered, and EN and DI are served in a
// cycle of their own, so the read plan is rebuilt in between: the text from the split point on
// waits for the next cycle.
void SplitBatch(NETCOMM_T* cli) {
  const char* b = cli->rx;
  const char* e = WriteFileStart(b, b + cli->rx_len);
  const char* en = FindNoCase(b, e, "EN:");
  const char* di = FindNoCase(b, e, "DI:");
  const char* get = FindNoCase(b, e, "GET:");
  const char* set = FindNoCase(b, e, "SET:");
  const char* point = nullptr;
  if (get && set && set < get)
    point = (di && di < get) ? di : get;
  else if (en || di)
    point = di ? di : en;
  if (!point) return;
  if (point != b) {
    if (point[-1] == '\n') Defer(cli, point);
    return;
  }
  const char* k = nullptr;
  for (const char* kw : {"EN:", "DI:", "GET:"})
    if (strncasecmp(b, kw, strlen(kw)) == 0) {
      k = kw;
      break;
    }
  if (!k) return;
  const size_t klen = strlen(k);
  for (const char* line = SkipEols(LineEnd(b, e), e); line < e;) {
    const char* le = LineEnd(line, e);
    if (memchr(line, ':', static_cast<size_t>(le - line)) &&
        (static_cast<size_t>(le - line) < klen || strncasecmp(line, k, klen) != 0)) {
      Defer(cli, line);
      return;
    }
    if (le < e && *le == '\0') return;
    line = SkipEols(le, e);
  }
}

struct HANDLER_T {
  const char* keyword;
  int (*fn)(DISPATCH_T*);
  bool quotes;
};

const HANDLER_T kHandlers[] = {
    {"LIST:", ReqList, false},
    {"GET:", ReqGet, true},
    {"SET:", ReqSet, true},
    {"GETMEM:", ReqGetMem, false},
    {"GETFILE:", ReqGetFile, false},
    {"GETFILEINFO:", ReqGetFileInfo, false},
    {"WRITEFILE:", ReqWriteFile, false},
    {"WRITEFILEINFO:", ReqWriteFileInfo, false},
    {"HIDE:", ReqHide, false},
    {"UNHIDE:", ReqUnhide, false},
    {"SETCONF:", ReqSetConf, false},
    {"GETINFO:", ReqGetInfo, false},
    {"EN:", ReqEnable, false},
    {"DI:", ReqDisable, false},
    {"HELP:", ReqHelp, false},
};

bool Is(const DISPATCH_T* d, const char* keyword) {
  return strcmp(d->keyword, keyword) == 0;
}

// Skips a refused request's argument lines: up to the next line holding a ':' with no ','
// before it.
void SkipRefused(DISPATCH_T* d) {
  d->pos = LineEnd(d->pos, d->end);
  for (;;) {
    const char* line = SkipEols(d->pos, d->end);
    if (line >= d->end || *line == '\0') break;
    const char* le = LineEnd(line, d->end);
    const char* colon = static_cast<const char*>(memchr(line, ':', static_cast<size_t>(le - line)));
    if (colon && !memchr(line, ',', static_cast<size_t>(colon - line))) break;
    d->pos = le;
  }
  d->pos = SkipEols(d->pos, d->end);
}

// The refusals by the object's state. 0: serve the request; 2: skip it; 1: the client closed.
int Refuse(DISPATCH_T* d) {
  COMMOBJ_T* obj = d->obj;
  const bool always = Is(d, "SETCONF:") || Is(d, "GETINFO:") || Is(d, "HELP:");
  const bool di = Is(d, "DI:");
  if (!always && obj->service_error) {
    if (ErrReq(d, 20, "")) return 1;
    if (!di) return 2;
  }
  if (!always && obj->shm_down && obj->cfg.link_kind == LINK_SHM) {
    if (ErrReq(d, 70, obj->cfg.shm_name)) return 1;
    if (!di) return 2;
  }
  if (!always && obj->link_down) {
    if (obj->cfg.link_kind == LINK_UDP && ErrReq(d, 10, obj->cfg.ipaddr)) return 1;
    if (obj->cfg.link_kind == LINK_SERIAL && ErrReq(d, 10, obj->cfg.serial_device)) return 1;
    if (!di) return 2;
  }
  const bool files =
      Is(d, "GETFILE:") || Is(d, "GETFILEINFO:") || Is(d, "WRITEFILE:") || Is(d, "WRITEFILEINFO:");
  if (obj->no_pubfile && !always && !files) return ErrReq(d, 41, obj->pf_pending) ? 1 : 2;
  return 0;
}

// Control bytes where a request is expected. 0: go on at d->pos; 1: stop serving (0 returned).
int ControlBytes(DISPATCH_T* d) {
  const unsigned char c = static_cast<unsigned char>(*d->pos);
  const bool eof =
      c == 0xFF && d->pos + 1 < d->end && static_cast<unsigned char>(d->pos[1]) == 0xEC;
  if (c == 0x04 || eof) {
    LogReq(d, "Received '^D'.");
    d->cli->state = NET_FREE;
    return 1;
  }
  if (c != 0xFF) return 0;
  const unsigned char cmd = d->pos + 1 < d->end ? static_cast<unsigned char>(d->pos[1]) : 0;
  if (cmd == 0xED || cmd == 0xF4) {
    LogReq(d, cmd == 0xED ? "Received '^Z'." : "Received '^C'.");
    return 1;
  }
  // Other telnet commands: three bytes each, skipped while they follow one another.
  const char* start = d->pos;
  while (d->pos < d->end && static_cast<unsigned char>(*d->pos) == 0xFF && d->pos - start < 255)
    d->pos += (d->end - d->pos < 3) ? d->end - d->pos : 3;
  return d->pos >= d->end ? 1 : 0;
}

// One request at d->pos. 0: go on; 1: stop serving the buffer (DoReqCommObject returns `*rc`).
int ServeRequest(DISPATCH_T* d, int* rc) {
  const char first = *d->pos;
  if (first == '\0' || IsEol(first)) return 1;
  if (ControlBytes(d)) return 1;
  if (d->pos >= d->end || *d->pos == '\0' || IsEol(*d->pos)) return 1;

  // Only the keyword's reach is scanned: the line may hold many more requests.
  const char* le =
      LineEnd(d->pos, d->end - d->pos > static_cast<ptrdiff_t>(kKeywordMax) ? d->pos + kKeywordMax
                                                                            : d->end);
  const char* colon =
      static_cast<const char*>(memchr(d->pos, ':', static_cast<size_t>(le - d->pos)));
  if (!colon) {
    // Not a request: the rest of the text, without its line end, is quoted back.
    const char* e = d->end;
    while (e > d->pos && (IsEol(e[-1]) || e[-1] == '\0')) --e;
    std::string text(d->pos, e);
    LogReq(d, "Bad client request: '%s'", text.c_str());
    ErrReq(d, 30, text);
    *rc = 1;
    return 1;
  }
  const size_t klen = static_cast<size_t>(colon - d->pos) + 1;
  memcpy(d->keyword, d->pos, klen);
  d->keyword[klen] = '\0';
  for (char* k = d->keyword; *k; ++k)
    *k = static_cast<char>(toupper(static_cast<unsigned char>(*k)));
  d->pos = colon + 1;
  d->first = true;
  d->obj->idle_wait = 0;

  const HANDLER_T* h = nullptr;
  for (const HANDLER_T& x : kHandlers)
    if (Is(d, x.keyword)) h = &x;
  d->quotes = h && h->quotes;
  int refused = Refuse(d);
  if (refused == 1) {
    *rc = 1;
    return 1;
  }
  if (refused == 2) {
    // A refused WRITEFILE's data are not requests: nothing after its header is served.
    if (Is(d, "WRITEFILE:"))
      d->pos = d->end;
    else
      SkipRefused(d);
    return 0;
  }
  if (!h) {
    LogReq(d, "Unknown command name: '%s'", d->keyword);
    if (ErrReq(d, 32, d->keyword)) {
      *rc = 1;
      return 1;
    }
    SkipArgLines(d);  // lines without ':' that follow are its arguments
    return 0;
  }
  if (h->fn(d) != 0) {
    *rc = 1;
    return 1;
  }
  SkipArgLines(d);
  return 0;
}

// Appends a reply entry to `list` after `last` (any record of the list: appending walks on from
// there to its end).
CLIREQ_T* AppendReply(CLIREQ_T** list, CLIREQ_T* last, const char* name, const char* value,
                      double key) {
  CLIREQ_T* r = AddCliReqRec(last);
  if (!r) return nullptr;
  if (!*list) *list = r;
  snprintf(r->name, sizeof r->name, "%s", name);
  snprintf(r->value, sizeof r->value, "%s", value);
  r->key = key;
  return r;
}

}  // namespace

bool NextArgLine(DISPATCH_T* d, std::string* line) {
  const char* p = d->pos;
  if (!d->first) {
    p = SkipEols(p, d->end);
    if (p >= d->end || *p == '\0') {
      d->pos = p;
      return false;
    }
  }
  if (StartsRequest(p, d->end, d->quotes)) {
    d->pos = p;
    return false;
  }
  const char* le = LineEnd(p, d->end);
  d->first = false;
  line->assign(p, le);
  d->pos = le;
  return true;
}

void SkipArgLines(DISPATCH_T* d) {
  std::string ignored;
  while (NextArgLine(d, &ignored)) {
  }
}

void LogReq(const DISPATCH_T* d, const char* fmt, ...) {
  char prefix[300];
  Prefix(prefix, sizeof prefix, d->obj);
  char text[4096];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  log("DoReqCommObject", 0, "%s%s", prefix, text);
}

int ErrReq(DISPATCH_T* d, int code, const std::string& arg) {
  return SendEmsgCommObject(d->obj, d->cli, code, arg.c_str());
}

std::string ReqText(const DISPATCH_T* d, const std::string& arg) {
  return std::string(d->keyword) + arg;
}

std::string NameOf(const std::string& arg) {
  std::string name;
  for (char c : arg)
    if (c != ' ') name += static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return name;
}

CLIREQ_T* AddReply(CLIREQ_T** list, const char* name, const char* value, double key) {
  return AppendReply(list, *list, name, value, key);
}

CLIREQ_T* AddReqReply(DISPATCH_T* d, CLIREQ_T** list, const char* name, const char* value,
                      double key) {
  if (d->replies >= kMaxBufferReplies) {
    LogReq(d, "No space in buffer for client request: '%s'", d->keyword);
    ErrReq(d, 36, d->keyword);
    return nullptr;
  }
  int i = 0;
  while (i < kReplyLists - 1 && d->lists[i] && d->lists[i] != list) ++i;
  CLIREQ_T* r = AppendReply(list, d->lists[i] == list ? d->tails[i] : *list, name, value, key);
  if (!r) return nullptr;
  d->lists[i] = list;
  d->tails[i] = r;
  ++d->replies;
  return r;
}

namespace {

int ServeBuffer(COMMOBJ_T* obj, NETCOMM_T* cli) {
  if (cli->rx_len > 0)
    log("DoReqCommObject", 2, "PLC-%d (%s): %zu bytes from %s", obj->cfg.plc_num, obj->cfg.name,
        cli->rx_len, cli->addr);
  const bool writefile = WriteFileStart(cli->rx, cli->rx + cli->rx_len) != cli->rx + cli->rx_len;
  if (!writefile) {
    int overflow = 0;
    int wait = cli->rx_len > 0
                   ? WaitForCmd(cli->pending, &cli->pending_len, cli->rx, &cli->rx_len, &overflow)
                   : 0;
    if (overflow) cli->overlong = 1;
    if (wait != 0) return 0;
    if (cli->overlong && cli->rx_len > 0 && RefuseOverlong(obj, cli) != 0) return 1;
    if (MergeDeferred(obj, cli) != 0) return 1;
  }
  SplitBatch(cli);
  if (cli->rx_len == 0) return 0;
  log("DoReqCommObject", 1, "%10s %d %d [RX: %d / TX: %d] imsg = %s", cli->addr, cli->sock,
      cli->state, static_cast<int>(cli->rx_len), static_cast<int>(cli->tx_len), cli->rx);

  DISPATCH_T d{obj, cli, cli->rx, cli->rx + cli->rx_len, {}};
  int rc = 0;
  while (d.pos < d.end && !(cli->state & NET_FREE))
    if (ServeRequest(&d, &rc)) break;
  return rc;
}

}  // namespace

int DoReqCommObject(COMMOBJ_T* obj, NETCOMM_T* cli) {
  if (cli->rx_len == 0 && cli->deferred_len == 0) return 0;
  const int rc = ServeBuffer(obj, cli);
  ClearRxNetComm(cli);  // what was received is served, held back or in the pending line now
  return rc;
}

int GetReqCommObject(COMMOBJ_T* obj, NETCOMM_T* cli) {
  if (RecvNetComm(cli) == 0) return 0;
  log("GetReqCommObject", 0, "PLC-%d (%s): Closed connection from %s", obj->cfg.plc_num,
      obj->cfg.name, cli->addr);
  cli->state = NET_FREE;
  return 1;
}
