// The file transfer service (code 0x28): open, read, write and close PLC files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "plcfs.h"
#include "services.h"

namespace plcsim {
namespace {

constexpr size_t kPiece = 230;            // data bytes per reply frame
constexpr uint32_t kHandleSkew = 0x1000;  // how far a faulty reply misses the handle

enum { kSubOpen = 2, kSubClose = 3, kSubRead = 4, kSubWrite = 5 };
enum { kModeRead = 1, kModeInfo = 4, kModeWrite = 6 };

uint32_t GetLe32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutLe32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; i++) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

void CloseFile(OpenFile& f) {
  if (f.fd >= 0) close(f.fd);
  f.fd = -1;
}

uint32_t NewHandle(Sim& sim, OpenFile&& f) {
  if (sim.open_files.size() >= kMaxOpenFiles) {
    CloseFile(sim.open_files.begin()->second);
    sim.open_files.erase(sim.open_files.begin());
  }
  uint32_t h = sim.next_handle++;
  if (sim.next_handle == 0) sim.next_handle = 1;
  sim.open_files[h] = std::move(f);
  return h;
}

// Open reply: status, handle, length, stamp A, stamp B, attributes (8 bytes).
void OpenReply(std::vector<uint8_t>& rep, uint32_t status, uint32_t handle, uint64_t length,
               const struct stat* st) {
  PutLe32(rep, status);
  PutLe32(rep, handle);
  PutLe32(rep, static_cast<uint32_t>(std::min<uint64_t>(length, 0xFFFFFFFFu)));
  uint8_t stamps[12] = {0};
  if (st) {
    PackStamp(st->st_ctime, stamps);
    PackStamp(st->st_mtime, stamps + 6);
  }
  rep.insert(rep.end(), stamps, stamps + 12);
  PutLe32(rep, st && S_ISDIR(st->st_mode) ? 0x10 : 0);
  PutLe32(rep, 0);
}

void Open(Sim& sim, const uint8_t* d, size_t n, std::vector<uint8_t>& rep) {
  if (n < 7) return OpenReply(rep, kFsInvalid, 0, 0, nullptr);
  uint8_t mode = d[2];
  const char* name = reinterpret_cast<const char*>(d + 7);
  std::string plc_name(name, strnlen(name, n - 7));
  std::string path;
  if (mode != kModeRead && mode != kModeInfo && mode != kModeWrite)
    return OpenReply(rep, kFsInvalid, 0, 0, nullptr);
  if (PlcPath(sim.files, plc_name, mode == kModeWrite, path) != 0) {
    Verbose(sim, "file open refused: %s", plc_name.c_str());
    return OpenReply(rep, sim.files.empty() ? kFsNotFound : kFsRefused, 0, 0, nullptr);
  }
  struct stat st;
  bool exists = lstat(path.c_str(), &st) == 0;
  OpenFile f;
  f.path = path;
  if (mode == kModeWrite) {
    if (exists && S_ISDIR(st.st_mode)) return OpenReply(rep, kFsIsDir, 0, 0, nullptr);
    f.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (f.fd < 0 || fstat(f.fd, &st) != 0) {
      CloseFile(f);
      return OpenReply(rep, kFsIoError, 0, 0, nullptr);
    }
    f.writable = true;
    uint32_t h = NewHandle(sim, std::move(f));
    return OpenReply(rep, kFsOk, h, 0, &st);
  }
  if (!exists) return OpenReply(rep, kFsNotFound, 0, 0, nullptr);
  uint64_t length = static_cast<uint64_t>(st.st_size);
  if (S_ISDIR(st.st_mode)) {
    f.dir = true;
    f.listing = DirListing(path, plc_name);
    length = f.listing.size();
  } else if (!S_ISREG(st.st_mode)) {
    return OpenReply(rep, kFsRefused, 0, 0, nullptr);
  }
  // Information only: nothing stays open, the master does not close it.
  if (mode == kModeInfo) return OpenReply(rep, kFsOk, 0, length, &st);
  if (!f.dir) {
    f.fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (f.fd < 0) return OpenReply(rep, kFsIoError, 0, 0, nullptr);
  }
  uint32_t h = NewHandle(sim, std::move(f));
  OpenReply(rep, kFsOk, h, length, &st);
}

// Read/write reply head: status, handle, offset, count.
void RwHead(std::vector<uint8_t>& rep, uint32_t status, uint32_t handle, uint32_t off,
            uint32_t count) {
  PutLe32(rep, status);
  PutLe32(rep, handle);
  PutLe32(rep, off);
  PutLe32(rep, count);
}

void Read(Sim& sim, const uint8_t* d, size_t n, uint32_t skew, std::vector<uint8_t>& rep) {
  if (n < 14) return RwHead(rep, kFsInvalid, 0, 0, 0);
  uint32_t h = GetLe32(d + 2), off = GetLe32(d + 6), len = GetLe32(d + 10);
  auto it = sim.open_files.find(h);
  if (it == sim.open_files.end() || it->second.writable)
    return RwHead(rep, kFsBadHandle, h + skew, off, 0);
  OpenFile& f = it->second;
  uint8_t buf[kPiece];
  size_t want = std::min<size_t>(len, kPiece);
  size_t got = 0;
  if (f.dir) {
    if (off < f.listing.size()) got = std::min<size_t>(want, f.listing.size() - off);
    memcpy(buf, f.listing.data() + std::min<size_t>(off, f.listing.size()), got);
  } else {
    while (got < want) {
      ssize_t r = pread(f.fd, buf + got, want - got, static_cast<off_t>(off) + got);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return RwHead(rep, kFsIoError, h + skew, off, 0);
      if (r == 0) break;  // end of file ends the read
      got += static_cast<size_t>(r);
    }
  }
  RwHead(rep, kFsOk, h + skew, off, static_cast<uint32_t>(got));
  rep.insert(rep.end(), buf, buf + got);
}

void Write(Sim& sim, const uint8_t* d, size_t n, uint32_t skew, std::vector<uint8_t>& rep) {
  if (n < 14) return RwHead(rep, kFsInvalid, 0, 0, 0);
  uint32_t h = GetLe32(d + 2), off = GetLe32(d + 6), len = GetLe32(d + 10);
  auto it = sim.open_files.find(h);
  if (it == sim.open_files.end() || !it->second.writable)
    return RwHead(rep, kFsBadHandle, h + skew, off, 0);
  // Only the bytes the frame really carries are written.
  size_t count = std::min<size_t>(len, n - 14);
  size_t done = 0;
  while (done < count) {
    ssize_t w = pwrite(it->second.fd, d + 14 + done, count - done, static_cast<off_t>(off) + done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return RwHead(rep, kFsIoError, h + skew, off, static_cast<uint32_t>(done));
    done += static_cast<size_t>(w);
  }
  RwHead(rep, kFsOk, h + skew, off, static_cast<uint32_t>(done));
}

// Close: byte 2 is 0, handle at 3, stamp A at 7, stamp B at 13, attributes at 19.
void Close(Sim& sim, const uint8_t* d, size_t n, std::vector<uint8_t>& rep) {
  if (n < 23) return PutLe32(rep, kFsInvalid);
  uint32_t h = GetLe32(d + 3);
  auto it = sim.open_files.find(h);
  if (it == sim.open_files.end()) return PutLe32(rep, kFsBadHandle);
  std::string path = it->second.path;
  CloseFile(it->second);
  sim.open_files.erase(it);
  // Zero stamps mean "leave them". Only the modification time (B) can be set on disk; the
  // status-change time (A) follows from the change itself, and attributes are not stored.
  time_t t;
  const uint8_t* stamp_b = d + 13;
  bool all_zero = std::all_of(d + 7, d + 23, [](uint8_t b) { return b == 0; });
  if (!all_zero && UnpackStamp(stamp_b, &t) == 0 && SetFileTime(path, t) != 0)
    return PutLe32(rep, kFsIoError);
  PutLe32(rep, kFsOk);
}

}  // namespace

void FileTransfer(Sim& sim, const uint8_t* d, size_t n, bool wrong_handle, bool* file_rw,
                  std::vector<uint8_t>& rep) {
  uint8_t sub = n > 1 ? d[1] : 0;
  uint32_t skew = wrong_handle ? kHandleSkew : 0;
  switch (sub) {
    case kSubOpen:
      return Open(sim, d, n, rep);
    case kSubClose:
      return Close(sim, d, n, rep);
    case kSubRead:
      *file_rw = true;
      return Read(sim, d, n, skew, rep);
    case kSubWrite:
      *file_rw = true;
      return Write(sim, d, n, skew, rep);
    default:
      return PutLe32(rep, kFsInvalid);
  }
}

void CloseAllFiles(Sim& sim) {
  for (auto& kv : sim.open_files) CloseFile(kv.second);
  sim.open_files.clear();
}

}  // namespace plcsim
