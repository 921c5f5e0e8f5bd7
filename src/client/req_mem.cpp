// The request for a block of PLC memory (GETMEM), and the reply section that streams the block
// to the client while the memory worker reads it.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/globals.h"
#include "client/dispatch.h"
#include "client/protocol.h"
#include "client/reply_stream.h"
#include "files/mem.h"
#include "plc/plcdef.h"
#include "plc/pubfile.h"

namespace {

// A block size: digits only, 1 to kMaxMemBytes, so a request never asks for gigabytes.
bool ParseMemSize(const std::string& text, uint32_t* size) {
  if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < 1 || v > kMaxMemBytes) return false;
  *size = static_cast<uint32_t>(v);
  return true;
}

// Register and address of a variable of the client's copy or of a PLC address.
bool MemPlace(DISPATCH_T* d, const std::string& name, signed char* reg, uint32_t* addr) {
  if (PUBFILE_R* r = FindPubFileRecExact(d->cli->pf, name.c_str())) {
    *reg = static_cast<signed char>(r->reg);
    *addr = r->addr;
    return true;
  }
  uint8_t preg = 0, bit = 0, type = 0;
  uint32_t offset = 0, size = 0;
  if (!IsPlcAddr(name.c_str()) ||
      ParsePlcAddr(name.c_str(), &preg, &offset, &bit, &type, &size) != 0 || preg == PLC_REG_NONE)
    return false;
  *reg = static_cast<signed char>(preg);
  *addr = offset;
  return true;
}

int MemLine(DISPATCH_T* d, const std::string& arg) {
  COMMOBJ_T* obj = d->obj;
  NETCOMM_T* cli = d->cli;
  // The size is the text after the first space that follows a non-space character.
  const size_t b = arg.find_first_not_of(' ');
  const size_t sp = b == std::string::npos ? std::string::npos : arg.find(' ', b);
  const std::string name = NameOf(arg.substr(0, sp));
  std::string size_text;
  if (sp != std::string::npos) {
    const size_t sb = arg.find_first_not_of(' ', sp);
    if (sb != std::string::npos) size_text = arg.substr(sb, arg.find_last_not_of(' ') + 1 - sb);
  }
  const std::string text = ReqText(d, size_text.empty() ? name : name + " " + size_text);
  uint32_t size = 0;
  if (size_text.empty()) {
    LogReq(d, "Unable to get parameter value from 'GETMEM' client request: '%s'", text.c_str());
    return ErrReq(d, 31, text);
  }
  if (!ParseMemSize(size_text, &size)) {
    LogReq(d, "Wrong parameter value '%s' in 'GETMEM' client request: '%s'", size_text.c_str(),
           text.c_str());
    return ErrReq(d, 35, text);
  }
  signed char reg = 0;
  uint32_t addr = 0;
  if (!MemPlace(d, name, &reg, &addr)) {
    LogReq(d, "Unknown variable name '%s' in 'GETMEM' client request: '%s'", name.c_str(),
           text.c_str());
    return ErrReq(d, 33, text);
  }

  // One text may ask for no more than one largest block in all: its data wait to be sent.
  if (size > kMaxMemBytes - d->mem_bytes) {
    LogReq(d, "No space in buffer for client request: '%s'", text.c_str());
    ErrReq(d, 36, text);
    return 1;
  }
  d->mem_bytes += size;

  MEM_T* m = AddMemRec(cli->mem_req);
  if (!m) {
    LogReq(d, "Unable to allocate memory for 'GETMEM' client request: '%s'", text.c_str());
    return 1;
  }
  if (!cli->mem_req) cli->mem_req = m;
  snprintf(m->name, sizeof m->name, "%s", name.c_str());
  const int rc = mem_use_threads
                     ? GetDorvikMemBg(m, reg, addr, size, &obj->link, obj->cfg.dvktout_step)
                     : GetDorvikMem(m, reg, addr, size, &obj->link, obj->cfg.dvktout_step);
  if (rc != -1) return 0;  // 1: the worker is busy; the reply section starts the read later
  LogReq(d, "Unable to get data from PLC!!!");
  if (!mem_use_threads && obj->link.error.load() != 0)
    LogReq(d, "Error of communication service: %s", Dorvik_ErrorMSG(&obj->link));
  MEM_T* next = RemoveMemRec(m);
  if (cli->mem_req == m) cli->mem_req = next;
  return ErrReq(d, 80, name);
}

enum { kKeep = 0, kClosing = 1, kLater = 2, kDrop = 3 };

// Sends what arrived of one request. kKeep: more to come; kDrop: done or failed (reported).
int SendMem(REPLY_T* r, MEM_T* m) {
  if (m->queued) {
    COMMOBJ_T* obj = r->obj;
    const int rc =
        GetDorvikMemBg(m, m->reg, m->addr, m->len.load(), &obj->link, obj->cfg.dvktout_step);
    if (rc == -1) {
      LogSend(r, "Unable to get data from address '%s'!!!", m->name);
      return SendEmsgCommObject(r->obj, r->cli, 80, m->name) != 0 ? kClosing : kDrop;
    }
    if (rc == 1) return kKeep;
  }
  // `state` first: once it reads 0 the read has ended and `end` is final.
  const int state = m->state.load(std::memory_order_acquire);
  unsigned char* end = m->end.load(std::memory_order_acquire);
  const uint32_t len = end ? m->len.load() : 0;
  // A read that ended short of the length (stopped) counts as failed too.
  if (m->result.load() == -1 || (state == 0 && (!end || end != m->data + len))) {
    LogSend(r, "Unable to get data from address '%s'!!!", m->name);
    return SendEmsgCommObject(r->obj, r->cli, 80, m->name) != 0 ? kClosing : kDrop;
  }
  if (!end) return kKeep;
  const bool all = state == 0;
  const size_t blk = static_cast<size_t>(mem_blksize);
  size_t used = 0;
  while (m->sent < end) {
    const size_t n = std::min(static_cast<size_t>(end - m->sent), blk);
    if (n < blk && !all) break;  // a short block only as the last one
    char head[300];
    snprintf(head, sizeof head, "GETMEM:%s[%zu]=", m->name, n);
    std::string line = head;
    line.append(reinterpret_cast<const char*>(m->sent), n);
    line += StreamEol(r);
    if (int rc = StreamLine(r, &used, line)) return rc;
    m->sent += n;
  }
  if (!all) return kKeep;
  std::string last = std::string("GETMEM:") + m->name + "[0]=" + StreamEol(r);
  if (int rc = StreamLine(r, &used, last)) return rc;
  return kDrop;
}

}  // namespace

int ReqGetMem(DISPATCH_T* d) {
  std::string line;
  while (NextArgLine(d, &line))
    if (MemLine(d, line) != 0) return 1;
  return 0;
}

int SendMemSection(REPLY_T* r) {
  NETCOMM_T* cli = r->cli;
  for (MEM_T* m = cli->mem_req; m;) {
    const int rc = SendMem(r, m);
    if (rc == kClosing) {
      RemoveMem(cli->mem_req);
      cli->mem_req = nullptr;
      return 1;
    }
    if (rc == kLater) return 2;
    if (rc == kDrop) {
      MEM_T* next = RemoveMemRec(m);
      if (cli->mem_req == m) cli->mem_req = next;
      m = next;
      continue;
    }
    m = m->next;
  }
  return 0;
}
