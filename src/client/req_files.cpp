// The requests on files (GETFILE, GETFILEINFO, WRITEFILE, WRITEFILEINFO) and the reply sections
// that stream a fetched file to the client and report the writes.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/clock.h"
#include "app/globals.h"
#include "client/dispatch.h"
#include "client/protocol.h"
#include "client/reply_stream.h"
#include "files/ffile.h"
#include "files/fileaccess.h"

namespace {

const char kWriteFile[] = "WRITEFILE:";
constexpr size_t kWriteFileLen = sizeof kWriteFile - 1;

const char* FileDir(const COMMOBJ_T* obj) {
  return obj->cfg.pubfile_write ? obj->cfg.name : "";
}

std::string NoSpaces(const std::string& s) {
  std::string out;
  for (char c : s)
    if (c != ' ') out += c;
  return out;
}

// A name the file records hold whole: a longer one would name another file.
bool NameFits(const std::string& name) {
  return !name.empty() && name.size() < sizeof(FFILE_T::name);
}

// "name [A]": the name without spaces (its case kept) and whether Base64 was asked for.
std::string FileArg(const std::string& arg, bool* base64) {
  std::string a = arg.substr(0, arg.find_last_not_of(' ') + 1);
  *base64 = a.size() >= 2 && (a.back() == 'A' || a.back() == 'a') && a[a.size() - 2] == ' ';
  if (*base64) a.resize(a.size() - 2);
  return NoSpaces(a);
}

int NoMemory(DISPATCH_T* d, const char* what, const std::string& arg) {
  LogReq(d, "Unable to allocate memory for '%s' client request: '%s'", what,
         ReqText(d, arg).c_str());
  return 1;
}

// A packed date-time read as one little-endian 48-bit number.
unsigned long long Stamp48(const unsigned char s[6]) {
  unsigned long long v = 0;
  for (int i = 5; i >= 0; --i) v = (v << 8) | s[i];
  return v;
}

void Unstamp48(unsigned long long v, unsigned char s[6]) {
  for (int i = 0; i < 6; ++i) s[i] = static_cast<unsigned char>(v >> (8 * i));
}

const char* SourceText(int source) {
  switch (source) {
    case 2:
      return "from PLC.";
    case 3:
      return "from cache.";
    default:
      return "from local computer.";
  }
}

// A new read of a cached file replaces the data other requests are being sent from: they end
// as aborted rather than go on with bytes of another version.
void OrphanRequestsOn(COMMOBJ_T* obj, const FFILE_T* rec) {
  for (NETCOMM_T* c = obj->clients; c; c = c->next)
    for (FFILE_CLIREQ_T* q = c->getfile_req; q; q = q->next)
      if (q->file == rec) q->change_stamp = rec->change_stamp + 1;
}

int GetFileLine(DISPATCH_T* d, const std::string& arg) {
  COMMOBJ_T* obj = d->obj;
  NETCOMM_T* cli = d->cli;
  bool base64 = false;
  const std::string name = FileArg(arg, &base64);
  if (!NameFits(name)) {
    LogReq(d, "Unable to get file '%s'!!!", name.c_str());
    return ErrReq(d, 41, name);
  }
  // A read of this file already waiting for the worker serves this request too.
  FFILE_T* rec = FindFileRec(obj->files, name.c_str());
  const bool joined = rec && rec->queued;
  if (!joined) rec = FindFreeFileRec(obj->files, name.c_str());
  if (!rec) return NoMemory(d, "GETFILE", arg);
  if (!obj->files) obj->files = rec;
  rec->base64 = base64 ? 1 : 0;
  LogReq(d, "Getting file '%s'.", name.c_str());
  // 1: the worker is busy with another transfer; the reply section starts the read later.
  const int rc = GetFileBg(rec, FileDir(obj), name.c_str(), &obj->link, obj->cfg.dvktout_step);
  if (rc == -1 || (!joined && rec->source != SRC_CACHE)) OrphanRequestsOn(obj, rec);
  if (rc == -1) {
    LogReq(d, "Unable to get file '%s'!!!", name.c_str());
    return ErrReq(d, 41, name);
  }
  FFILE_CLIREQ_T* q = AddFileCliReqRec(cli->getfile_req);
  if (!q) return NoMemory(d, "GETFILE", arg);
  if (!cli->getfile_req) cli->getfile_req = q;
  q->file = rec;
  q->change_stamp = rec->change_stamp;
  q->base64 = base64 ? 1 : 0;
  snprintf(q->name, sizeof q->name, "%s", name.c_str());
  return 0;
}

int GetFileInfoLine(DISPATCH_T* d, const std::string& arg) {
  COMMOBJ_T* obj = d->obj;
  bool base64 = false;
  const std::string name = FileArg(arg, &base64);
  // A record of its own: the cached one may be in the hands of the file worker.
  FFILE_T info;
  if (NameFits(name)) {
    LogReq(d, "Getting information about file '%s'.", name.c_str());
    if (GetFileInfo(&info, FileDir(obj), name.c_str(), &obj->link, obj->cfg.dvktout_step) != 0)
      info.source = SRC_NONE;
  }
  if (info.source == SRC_NONE) {
    LogReq(d, "Unable to get information about file '%s'!!!", name.c_str());
    return ErrReq(d, 40, name);
  }
  LogReq(d, "Obtained information about file '%s' %s", name.c_str(), SourceText(info.source));
  long long size = info.size.load();
  if (base64) {
    const long long e = Base64EncodeLen(static_cast<long>(size));
    size = e < ffile_blksize ? e : e - 2 + (e / ffile_blksize) * 2;
  }
  char text[128];
  snprintf(text, sizeof text, "%lu %lu %llu %llu", static_cast<unsigned long>(size),
           static_cast<unsigned long>(info.attr), Stamp48(info.stamp_a), Stamp48(info.stamp_b));
  if (!AddReqReply(d, &d->cli->finfo_req, name.c_str(), text, 0))
    return NoMemory(d, "GETFILEINFO", arg);
  return 0;
}

int WriteFileInfoLine(DISPATCH_T* d, const std::string& arg) {
  COMMOBJ_T* obj = d->obj;
  const size_t eq = arg.find('=');
  if (eq == std::string::npos) {
    LogReq(d, "Unable to get data from 'WRITEFILEINFO' client request: '%s'",
           ReqText(d, arg).c_str());
    ErrReq(d, 30, ReqText(d, arg));
    return 1;
  }
  const std::string name = NoSpaces(arg.substr(0, std::min(eq, arg.find('['))));
  const std::string data = arg.substr(eq + 1);
  const std::string text = ReqText(d, name + "=" + data);
  unsigned long size = 0, attr = 0;
  unsigned long long created = 0, modified = 0;
  if (sscanf(data.c_str(), "%lu %lu %llu %llu", &size, &attr, &created, &modified) != 4) {
    LogReq(d, "Unable to parse data '%s' from 'WRITEFILEINFO' client request: '%s'", data.c_str(),
           text.c_str());
    ErrReq(d, 35, text);
    return 1;
  }
  FFILE_T info;
  info.size.store(static_cast<int64_t>(size));
  info.attr = static_cast<int64_t>(attr);
  Unstamp48(created, info.stamp_a);
  Unstamp48(modified, info.stamp_b);
  SetLocalFileAttr(&info);
  LogReq(d, "Writing file information '%s'.", name.c_str());
  if (!NameFits(name) ||
      WriteFileInfo(&info, FileDir(obj), name.c_str(), &obj->link, obj->cfg.dvktout_step) != 0) {
    LogReq(d, "Unable to write file information '%s'!!!", name.c_str());
    return ErrReq(d, 43, name);
  }
  LogReq(d, "Information about file '%s' is writen into %s", name.c_str(),
         info.source == SRC_LOCAL ? "local computer." : "PLC.");
  if (!AddReqReply(d, &d->cli->wfinfo_req, name.c_str(), "", 0))
    return NoMemory(d, "WRITEFILEINFO", arg);
  return 0;
}

// The client's file of this name still being received (one whose write began is left alone).
FFILE_T* ReceivingFile(FFILE_T* list, const std::string& name) {
  for (FFILE_T* f = list; f; f = f->next)
    if (f->source == SRC_NONE && name == f->name) return f;
  return nullptr;
}

void DropWriteFile(NETCOMM_T* cli, FFILE_T* f) {
  FFILE_T* next = RemoveFileRec(f);
  if (cli->writefile == f) cli->writefile = next;
}

// The file is lost: the client hears of it. 1 ends the serving of the buffer.
int LostWriteFile(DISPATCH_T* d, FFILE_T* f, const std::string& name) {
  if (f) DropWriteFile(d->cli, f);
  ErrReq(d, 42, name);
  return 1;
}

// The final empty block: the file goes to its place in the background.
int StartWrite(DISPATCH_T* d, FFILE_T* f, const std::string& name) {
  COMMOBJ_T* obj = d->obj;
  LogReq(d, "Writing file '%s'.", name.c_str());
  PackPlcTime(ClockNow(), f->stamp_a);
  memcpy(f->stamp_b, f->stamp_a, sizeof f->stamp_b);
  f->attr = 0x80;
  SetLocalFileAttr(f);
  // 1: the worker is busy with another write; the reply section starts this one later.
  if (WriteFileBg(f, FileDir(obj), name.c_str(), &obj->link, obj->cfg.dvktout_step) != -1) return 0;
  LogReq(d, "Unable to write file '%s'!!!", name.c_str());
  f->source = SRC_NONE;
  DropWriteFile(d->cli, f);
  return ErrReq(d, 42, name);
}

// Adds a block to the file being received.
int AppendBlock(DISPATCH_T* d, FFILE_T* f, const std::string& name, const char* data, size_t n,
                const std::string& text) {
  const int64_t have = f->size.load();
  const int64_t total = have + static_cast<int64_t>(n);
  char* grown = nullptr;
  if (total <= kMaxFileBytes) grown = static_cast<char*>(realloc(f->data, total + 1));
  if (!grown) {
    LogReq(d, "Unable to reallocate memory for file '%s' in 'WRITEFILE' client request: '%s'",
           name.c_str(), text.c_str());
    return LostWriteFile(d, f, name);
  }
  memcpy(grown + have, data, n);
  grown[total] = '\0';
  f->data = grown;
  f->size.store(total);
  return 0;
}

int NewWriteFile(DISPATCH_T* d, const std::string& name, const char* data, size_t n,
                 const std::string& text) {
  NETCOMM_T* cli = d->cli;
  FFILE_T* f = AddFileRec(cli->writefile);
  if (!f) {
    LogReq(d, "Unable to allocate memory for 'WRITEFILE' client request: '%s'", text.c_str());
    return LostWriteFile(d, nullptr, name);
  }
  if (!cli->writefile) cli->writefile = f;
  LogReq(d, "Receiving file '%s'.", name.c_str());
  snprintf(f->name, sizeof f->name, "%s", name.c_str());
  f->busy.store(2);
  f->use_time.store(ClockNow() + ffile_timeout_wr);
  f->data = static_cast<char*>(malloc(n + 1));
  if (!f->data) {
    LogReq(d, "Unable to allocate memory for file '%s' in 'WRITEFILE' client request: '%s'",
           name.c_str(), text.c_str());
    return LostWriteFile(d, f, name);
  }
  memcpy(f->data, data, n);
  f->data[n] = '\0';
  f->size.store(static_cast<int64_t>(n));
  return 0;
}

// One block "name[size]=" and its bytes from d->pos, which is left after the block's line end.
// The size is checked against what arrived before anything is read or allocated.
int WriteFileBlock(DISPATCH_T* d) {
  const char* h = d->pos;
  const char* he = h;
  while (he < d->end && *he != '\0' && *he != '\n' && *he != '\r' && *he != '=') ++he;
  const std::string header(h, he);
  const size_t lb = header.find('[');
  const bool framed = lb != std::string::npos && he < d->end && *he == '=' &&
                      header.size() > lb + 1 && header.back() == ']';
  const std::string size_text = framed ? header.substr(lb + 1, header.size() - lb - 2) : "";
  const std::string name = NoSpaces(header.substr(0, lb));
  const std::string text = ReqText(d, framed ? name + "[" + size_text + "]" : header);
  errno = 0;
  char* num_end = nullptr;
  const unsigned long long size = strtoull(size_text.c_str(), &num_end, 10);
  if (!framed || size_text.empty() || !isdigit(static_cast<unsigned char>(size_text[0])) ||
      *num_end != '\0' || errno != 0) {
    LogReq(d, "Unable to get block data size from 'WRITEFILE' client request: '%s'", text.c_str());
    ErrReq(d, 30, text);
    return 1;
  }
  const char* data = he + 1;
  const size_t avail = static_cast<size_t>(d->end - data);
  if (size >= avail || (data[size] != '\n' && data[size] != '\r')) {
    LogReq(d, "Unterminated 'WRITEFILE' client request: '%s'", text.c_str());
    if (FFILE_T* f = ReceivingFile(d->cli->writefile, name)) DropWriteFile(d->cli, f);
    ErrReq(d, 44, text);
    return 1;
  }
  const size_t n = static_cast<size_t>(size);
  const char* next = data + n + 1;
  if (data[n] == '\r' && next < d->end && *next == '\n') ++next;
  d->pos = next;

  if (!NameFits(name)) {
    LogReq(d, "Unable to write file '%s'!!!", name.c_str());
    return ErrReq(d, 42, name);
  }
  FFILE_T* f = ReceivingFile(d->cli->writefile, name);
  if (!f) return NewWriteFile(d, name, data, n, text);
  f->use_time.store(ClockNow() + ffile_timeout_wr);
  if (n == 0) return StartWrite(d, f, name);
  return AppendBlock(d, f, name, data, n, text);
}

enum { kKeep = 0, kClosing = 1, kLater = 2, kDrop = 3 };

// Starts a transfer queued for its worker once the worker is free. False when the start failed
// (logged by the start); true when it started or still waits.
bool StartQueued(REPLY_T* r, FFILE_T* f,
                 int (*start)(FFILE_T*, const char*, const char*, DORVIK_T*, int)) {
  if (!f->queued) return true;
  COMMOBJ_T* obj = r->obj;
  return start(f, FileDir(obj), f->name, &obj->link, obj->cfg.dvktout_step) != -1;
}

// Sends what arrived of one GETFILE request. kKeep: more to come; kDrop: done or failed.
int SendFile(REPLY_T* r, FFILE_CLIREQ_T* q) {
  FFILE_T* f = q->file;
  if (f->change_stamp != q->change_stamp) {
    LogSend(r, "Abort of getting file '%s'!!!", q->name);
    return SendEmsgCommObject(r->obj, r->cli, 46, q->name) != 0 ? kClosing : kDrop;
  }
  if (!StartQueued(r, f, GetFileBg)) {
    LogSend(r, "Unable to get file '%s'!!!", q->name);
    ClearFile(f);  // other requests of this read end as aborted
    return SendEmsgCommObject(r->obj, r->cli, 41, q->name) != 0 ? kClosing : kDrop;
  }
  if (f->queued) return kKeep;
  // `busy` before `end`: once the read has ended, `end` is final.
  const bool done = f->busy.load(std::memory_order_acquire) == 0;
  const char* end = f->end.load(std::memory_order_acquire);
  const int64_t size = end ? f->size.load() : 0;
  // A read that ended short of the size (stopped) is no file either.
  if (f->result.load() == -1 || (done && end && end != f->data + size)) {
    LogSend(r, "Unable to get file '%s'!!!", q->name);
    ClearFile(f);
    return SendEmsgCommObject(r->obj, r->cli, 41, q->name) != 0 ? kClosing : kDrop;
  }
  if (!end) return kKeep;
  const int64_t have = end - f->data;
  const int64_t blk = ffile_blksize;
  size_t used = 0;
  while (q->pos < have) {
    const int64_t n = std::min(have - q->pos, blk);
    if (n < blk && q->pos + n != size) break;  // a short block only as the file's last
    const char* from = f->data + q->pos;
    std::string line;
    char head[300];
    if (q->base64) {
      char* coded = nullptr;
      size_t coded_len = 0;
      if (Base64Encode(reinterpret_cast<const unsigned char*>(from), static_cast<size_t>(n), &coded,
                       &coded_len) != 0) {
        LogSend(r, "Unable to get file '%s'!!!", q->name);
        return SendEmsgCommObject(r->obj, r->cli, 41, q->name) != 0 ? kClosing : kDrop;
      }
      snprintf(head, sizeof head, "GETFILE:%s[%zu]=", q->name, coded_len);
      line = std::string(head) + std::string(coded, coded_len) + StreamEol(r);
      free(coded);
    } else {
      snprintf(head, sizeof head, "GETFILE:%s[%lld]=", q->name, static_cast<long long>(n));
      line = std::string(head) + std::string(from, static_cast<size_t>(n)) + StreamEol(r);
    }
    if (int rc = StreamLine(r, &used, line)) return rc;
    q->pos += n;
  }
  if (q->pos != size || !done) return kKeep;
  if (int rc = StreamLine(r, &used, std::string("GETFILE:") + q->name + "[0]=" + StreamEol(r)))
    return rc;
  LogSend(r, "Obtained file '%s' %s", q->name, SourceText(f->source));
  return kDrop;
}

// One file the client sent: its write reported, or its time-out. kKeep while it goes on.
int SendWriteFile(REPLY_T* r, FFILE_T* f) {
  if (f->source == SRC_NONE) {  // still being received
    if (ClockNow() <= f->use_time.load()) return kKeep;
    LogSend(r, "Timeout 'WRITEFILE' client request!!!");
    return SendEmsgCommObject(r->obj, r->cli, 45, f->name) != 0 ? kClosing : kDrop;
  }
  // A complete file waiting for the worker has no deadline.
  if (!StartQueued(r, f, WriteFileBg)) {
    LogSend(r, "Unable to write file '%s'!!!", f->name);
    return SendEmsgCommObject(r->obj, r->cli, 42, f->name) != 0 ? kClosing : kDrop;
  }
  if (f->queued) return kKeep;
  if (f->busy.load(std::memory_order_acquire) == 0) {
    const std::string line = std::string("WRITEFILE:") + f->name + " OK" + StreamEol(r);
    size_t used = 0;
    if (int rc = StreamLine(r, &used, line)) return rc;
    LogSend(r, "File '%s' was written into %s", f->name,
            f->source == SRC_LOCAL ? "local computer." : "PLC.");
    return kDrop;
  }
  if (f->result.load(std::memory_order_acquire) == -1) {
    LogSend(r, "Unable to write file '%s'!!!", f->name);
    return SendEmsgCommObject(r->obj, r->cli, 42, f->name) != 0 ? kClosing : kDrop;
  }
  return kKeep;  // the write is running
}

}  // namespace

int ReqGetFile(DISPATCH_T* d) {
  std::string line;
  while (NextArgLine(d, &line))
    if (GetFileLine(d, line) != 0) return 1;
  return 0;
}

int ReqGetFileInfo(DISPATCH_T* d) {
  std::string line;
  while (NextArgLine(d, &line))
    if (GetFileInfoLine(d, line) != 0) return 1;
  return 0;
}

int ReqWriteFileInfo(DISPATCH_T* d) {
  std::string line;
  while (NextArgLine(d, &line))
    if (WriteFileInfoLine(d, line) != 0) return 1;
  return 0;
}

// The block's bytes are taken as they are (NUL bytes and line ends included); further blocks
// are served while the next line starts with "WRITEFILE:".
int ReqWriteFile(DISPATCH_T* d) {
  for (;;) {
    if (WriteFileBlock(d) != 0) return 1;
    const char* p = d->pos;
    while (p < d->end && (*p == '\n' || *p == '\r')) ++p;
    if (static_cast<size_t>(d->end - p) < kWriteFileLen ||
        strncasecmp(p, kWriteFile, kWriteFileLen) != 0)
      break;
    d->pos = p + kWriteFileLen;
  }
  d->first = false;
  return 0;
}

int SendFileSection(REPLY_T* r) {
  NETCOMM_T* cli = r->cli;
  for (FFILE_CLIREQ_T* q = cli->getfile_req; q;) {
    const int rc = SendFile(r, q);
    if (rc == kClosing) {
      RemoveFileCliReq(cli->getfile_req);
      cli->getfile_req = nullptr;
      return 1;
    }
    if (rc == kLater) return 2;
    if (rc == kDrop) {
      FFILE_CLIREQ_T* next = RemoveFileCliReqRec(q);
      if (cli->getfile_req == q) cli->getfile_req = next;
      q = next;
      continue;
    }
    q = q->next;
  }
  return 0;
}

int SendWriteFileSection(REPLY_T* r) {
  NETCOMM_T* cli = r->cli;
  for (FFILE_T* f = cli->writefile; f;) {
    const int rc = SendWriteFile(r, f);
    if (rc == kClosing) {
      RemoveFile(cli->writefile);
      cli->writefile = nullptr;
      return 1;
    }
    if (rc == kLater) return 2;
    if (rc == kDrop) {
      FFILE_T* next = RemoveFileRec(f);
      if (cli->writefile == f) cli->writefile = next;
      f = next;
      continue;
    }
    f = f->next;
  }
  return 0;
}
