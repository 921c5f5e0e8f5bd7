// Files in the PLC over the file transfer service: open, read in pieces, write in pieces, close
// with time stamps and attributes. Every call is tried three times with growing extra waits.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/clock.h"
#include "app/globals.h"
#include "app/log.h"
#include "files/ffile.h"
#include "files/fileaccess.h"
#include "files/plcfile_internal.h"
#include "link/dorvik.h"

namespace {

enum : unsigned char { kSubOpen = 2, kSubClose = 3, kSubRead = 4, kSubWrite = 5 };

// A PLC that answers a piece with no bytes again and again would keep a transfer going forever.
constexpr int kMaxEmptyAnswers = 3;

// Close (sub-command 3) with stamps and attributes (zeros after a read), three attempts.
int DorvikClose(DORVIK_T* link, int step, uint32_t handle, const unsigned char* stamp_a,
                const unsigned char* stamp_b, uint32_t attr) {
  unsigned char rec[kFileRecord];
  bool ok = DorvikRetry(link, step, [&] {
    memset(rec, 0, sizeof rec);
    rec[1] = kSubClose;
    PutLe32(rec + 3, handle);
    if (stamp_a) memcpy(rec + 7, stamp_a, 6);
    if (stamp_b) memcpy(rec + 13, stamp_b, 6);
    PutLe32(rec + 19, attr);
    return Dorvik_FILETRANSFER(link, rec) >= 0 && GetLe32(rec) == 0;
  });
  return ok ? 0 : -1;
}

// One read call for `missing` bytes at `offset`, three attempts. Returns the bytes received
// (their data at rec + 16), or -1.
int ReadPiece(DORVIK_T* link, int step, uint32_t handle, uint32_t offset, uint32_t missing,
              unsigned char* rec) {
  uint32_t r_len = 0;
  bool ok = DorvikRetry(link, step, [&] {
    memset(rec, 0, 16);
    rec[1] = kSubRead;
    PutLe32(rec + 2, handle);
    PutLe32(rec + 6, offset);
    PutLe32(rec + 10, missing);
    int rc = Dorvik_FILETRANSFER(link, rec);
    if (rc < 0 || GetLe32(rec) != 0) return false;
    uint32_t r_handle = GetLe32(rec + 4), r_offset = GetLe32(rec + 8);
    r_len = GetLe32(rec + 12);
    if (r_handle != handle || r_offset != offset || r_len > missing ||
        r_len > static_cast<uint32_t>(kFileRecord - 16)) {
      log("GetDorvikFile", 0,
          "Error in received data! (handle: %d != %d, offset: %d != %d, length: %d <= %d)",
          static_cast<int>(r_handle), static_cast<int>(handle), static_cast<int>(r_offset),
          static_cast<int>(offset), static_cast<int>(r_len), static_cast<int>(missing));
      return false;
    }
    return true;
  });
  return ok ? static_cast<int>(r_len) : -1;
}

// One write call of the next piece at `offset`, three attempts; `remaining` bytes are still to
// write. Returns the length the PLC reports, or -1.
int WritePiece(DORVIK_T* link, int step, uint32_t handle, uint32_t offset, uint32_t remaining,
               const char* src, unsigned char* rec) {
  const int frames = std::max(1, std::min(link->max_frames, 5));
  const uint32_t piece =
      std::min<uint32_t>(static_cast<uint32_t>(frames) * DORVIK_FILE_PIECE, remaining);
  uint32_t r_len = 0;
  bool ok = DorvikRetry(link, step, [&] {
    memset(rec, 0, 14);
    rec[1] = kSubWrite;
    PutLe32(rec + 2, handle);
    PutLe32(rec + 6, offset);
    PutLe32(rec + 10, remaining);
    memcpy(rec + 14, src, piece);
    int rc = Dorvik_FILETRANSFER(link, rec);
    struct timespec ms = {0, 1000000};
    nanosleep(&ms, nullptr);
    if (rc < 0 || GetLe32(rec) != 0) return false;
    uint32_t r_handle = GetLe32(rec + 4), r_offset = GetLe32(rec + 8);
    r_len = GetLe32(rec + 12);
    if (r_handle != handle || r_offset != offset || r_len > remaining) {
      log("WriteDorvikFile", 0,
          "Write data error! (handle: %d != %d, offset: %d != %d, length: %d <= %d)",
          static_cast<int>(r_handle), static_cast<int>(handle), static_cast<int>(r_offset),
          static_cast<int>(offset), static_cast<int>(r_len), static_cast<int>(remaining));
      return false;
    }
    return true;
  });
  return ok ? static_cast<int>(r_len) : -1;
}

void SetName(FFILE_T* rec, const char* name) {
  if (strncmp(rec->name, name, sizeof rec->name - 1) != 0)
    snprintf(rec->name, sizeof rec->name, "%s", name);
}

}  // namespace

uint32_t GetLe32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutLe32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

int DorvikOpen(DORVIK_T* link, int step, const char* name, int mode, unsigned char* rec) {
  const size_t len = strnlen(name, kFileRecord - 8);
  bool ok = DorvikRetry(link, step, [&] {
    memset(rec, 0, kFileRecord);
    rec[1] = kSubOpen;
    rec[2] = static_cast<unsigned char>(mode);
    memcpy(rec + 7, name, len);
    return Dorvik_FILETRANSFER(link, rec) >= 0 && GetLe32(rec) == 0;
  });
  return ok ? 0 : -1;
}

int GetDorvikFile(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step) {
  (void)dir;
  rec->end.store(nullptr, std::memory_order_release);
  rec->sent = nullptr;
  rec->busy.store(2, std::memory_order_release);
  rec->size.store(1);
  SetName(rec, name);
  // A name leading out of the PLC's root is never asked of the PLC.
  if (!link || strncmp(name, "../", 3) == 0) return -1;

  unsigned char tr[kFileRecord];
  if (DorvikOpen(link, step, name, 1, tr) != 0) {
    log("GetDorvikFile", 0, "Unable to open PLC file: %s", name);
    return -1;
  }
  const uint32_t handle = GetLe32(tr + 4);
  const uint32_t length = GetLe32(tr + 8);
  if (rec->source != SRC_PLC) rec->source = SRC_PLC;
  rec->attr =
      static_cast<int64_t>(GetLe32(tr + 24)) | (static_cast<int64_t>(GetLe32(tr + 28)) << 32);
  memcpy(rec->stamp_a, tr + 12, 6);
  memcpy(rec->stamp_b, tr + 18, 6);
  SetLocalFileAttr(rec);
  free(rec->data);
  rec->data = nullptr;
  if (static_cast<int64_t>(length) <= kMaxFileBytes)
    rec->data = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (!rec->data) {
    log("GetDorvikFile", 0, "Unable to allocate memory for PLC file!");
    DorvikClose(link, step, handle, nullptr, nullptr, 0);
    return -1;
  }
  rec->size.store(length);
  rec->sent = rec->data;
  rec->end.store(rec->data, std::memory_order_release);

  char* pos = rec->data;
  uint32_t offset = 0;
  int empty = 0;
  while (offset < length && !rec->abort.load()) {
    int got = ReadPiece(link, step, handle, offset, length - offset, tr);
    if (got == 0 && ++empty < kMaxEmptyAnswers) continue;
    if (got <= 0) {
      log("GetDorvikFile", 0, "Unable to read PLC file: %s", name);
      DorvikClose(link, step, handle, nullptr, nullptr, 0);
      return -1;
    }
    empty = 0;
    memcpy(pos, tr + 16, static_cast<size_t>(got));
    pos += got;
    offset += static_cast<uint32_t>(got);
    rec->end.store(pos, std::memory_order_release);
  }
  *pos = '\0';
  if (DorvikClose(link, step, handle, nullptr, nullptr, 0) != 0)
    log("GetDorvikFile", 0, "Unable to close PLC file: %s", name);

  FinishFileRead(rec, "GetDorvikFile", "Abort of reading PLC file", name);
  return 0;
}

int WriteDorvikFile(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step) {
  (void)dir;
  rec->busy.store(2, std::memory_order_release);
  if (!link || (!rec->data && rec->size.load() > 0)) return -1;
  unsigned char tr[kFileRecord];
  if (DorvikOpen(link, step, name, 6, tr) != 0) {
    log("WriteDorvikFile", 0, "Unable to open file in PLC: %s", name);
    return -1;
  }
  const uint32_t handle = GetLe32(tr + 4);
  const int64_t size = rec->data ? rec->size.load() : 0;
  const uint32_t total =
      static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(size, 0), UINT32_MAX));
  char* pos = rec->data;
  rec->end.store(pos, std::memory_order_release);
  uint32_t offset = 0;
  int empty = 0;
  while (offset < total) {
    int put = WritePiece(link, step, handle, offset, total - offset, pos, tr);
    if (put == 0 && ++empty < kMaxEmptyAnswers) continue;
    if (put <= 0) {
      log("WriteDorvikFile", 0, "Unable to write file to PLC: %s", name);
      DorvikClose(link, step, handle, rec->stamp_a, rec->stamp_b, static_cast<uint32_t>(rec->attr));
      return -1;
    }
    empty = 0;
    pos += put;
    offset += static_cast<uint32_t>(put);
    rec->end.store(pos, std::memory_order_release);
    rec->use_time.store(ClockNow() + ffile_timeout);
  }
  if (DorvikClose(link, step, handle, rec->stamp_a, rec->stamp_b,
                  static_cast<uint32_t>(rec->attr)) != 0)
    log("WriteDorvikFile", 0, "Unable to close PLC file: %s", name);
  rec->use_time.store(ClockNow() + ffile_timeout);
  rec->busy.store(0, std::memory_order_release);
  return 0;
}

int WriteDorvikFileInfo(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step) {
  (void)dir;
  if (!link) return -1;
  unsigned char tr[kFileRecord];
  if (DorvikOpen(link, step, name, 1, tr) != 0) {
    log("WriteDorvikFileInfo", 0, "Unable to open file in PLC: %s", name);
    return -1;
  }
  if (DorvikClose(link, step, GetLe32(tr + 4), rec->stamp_a, rec->stamp_b,
                  static_cast<uint32_t>(rec->attr)) != 0)
    log("WriteDorvikFileInfo", 0, "Unable to close PLC file: %s", name);
  rec->busy.store(0, std::memory_order_release);
  return 0;
}
