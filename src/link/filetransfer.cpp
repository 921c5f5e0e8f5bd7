// The file transfer service (open, read, write, close over the PLC's file system, read and write
// split into 230-byte frames) and the shared-memory service of the same kind.
#include <cstdio>
#include <cstring>

#include "link/dorvik.h"
#include "link/link_internal.h"

namespace {

using dorvik::Exchange;
using dorvik::Fail;
using dorvik::FrameCheck;
using dorvik::IsOpen;
using dorvik::LinkLock;
using dorvik::kMaxExchangeFrames;

constexpr int kRecordHeader = 16;  // status, handle, offset, length of a read/write reply
constexpr int kSmallRecord = 252;  // record room of the sub-commands other than read/write
const char kFunc[] = "Dorvik_FILETRANSFER";

enum { SUB_OPEN = 2, SUB_CLOSE = 3, SUB_READ = 4, SUB_WRITE = 5, SUB_TEXT = 6 };

uint32_t Get32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Put32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

// Builds the request frames into req; returns the number of frames, or 0 when the record asks
// for something no frame can carry (nothing is sent then).
int BuildTransferRequest(DORVIK_T* link, const unsigned char* rec, int* req_len) {
  const int sub = rec[1];
  unsigned char data[256];
  *req_len = 0;
  if (sub == SUB_READ || sub == SUB_WRITE) {
    int32_t length = static_cast<int32_t>(Get32(rec + 10));
    if (length <= 0) return 0;  // nothing to move: no frame
    int max_frames = link->max_frames < 1 ? 1 : link->max_frames;
    if (max_frames > kMaxExchangeFrames) max_frames = kMaxExchangeFrames;
    long long need = (static_cast<long long>(length) + DORVIK_FILE_PIECE - 1) / DORVIK_FILE_PIECE;
    int frames = need < max_frames ? static_cast<int>(need) : max_frames;
    uint32_t offset = Get32(rec + 6);
    for (int i = 0; i < frames; i++) {
      memcpy(data, rec, 14);
      data[0] = 0x28;
      int ndata = 14;
      if (sub == SUB_READ) {
        Put32(data + 6, offset + static_cast<uint32_t>(i * DORVIK_FILE_PIECE));
        if (length > DORVIK_FILE_PIECE) Put32(data + 10, DORVIK_FILE_PIECE);
      } else {
        int piece = length - i * DORVIK_FILE_PIECE;
        if (piece > DORVIK_FILE_PIECE) piece = DORVIK_FILE_PIECE;
        Put32(data + 6, offset + static_cast<uint32_t>(i * DORVIK_FILE_PIECE));
        Put32(data + 10, static_cast<uint32_t>(piece));
        memcpy(data + 14, rec + 14 + i * DORVIK_FILE_PIECE, static_cast<size_t>(piece));
        ndata += piece;
      }
      *req_len += dorvik::BuildLong(link->req + *req_len, link->plc_addr, link->own_addr, 0x6C,
                                    data, ndata);
    }
    return frames;
  }
  int ndata;
  switch (sub) {
    case 1:
      ndata = 3;
      break;
    case SUB_OPEN: {
      // The name must end inside the frame: LE = name length + 11 <= 255.
      size_t name_len = strnlen(reinterpret_cast<const char*>(rec + 7), 245);
      if (name_len > 244) return 0;
      ndata = 8 + static_cast<int>(name_len);
      break;
    }
    case SUB_CLOSE:
      ndata = 23;
      break;
    case SUB_TEXT: {
      size_t text_len = strnlen(reinterpret_cast<const char*>(rec + 2), 250);
      if (text_len > 249) return 0;
      ndata = 3 + static_cast<int>(text_len);
      break;
    }
    default:
      ndata = 1;
  }
  memcpy(data, rec, static_cast<size_t>(ndata));
  data[0] = 0x28;
  *req_len = dorvik::BuildLong(link->req, link->plc_addr, link->own_addr, 0x6C, data, ndata);
  return 1;
}

// Takes the first reply frame's data into the record. False when it cannot be right.
bool TakeFirstFrame(const unsigned char* data, int ndata, int sub, unsigned char* rec) {
  const bool bulk = sub == SUB_READ || sub == SUB_WRITE;
  if (ndata > (bulk ? kRecordHeader + DORVIK_FILE_PIECE : kSmallRecord)) return false;
  memcpy(rec, data, static_cast<size_t>(ndata));
  if (!bulk) return true;
  // A reply without the full header must not leave request bytes in the reply's fields.
  if (ndata < kRecordHeader) memset(rec + ndata, 0, static_cast<size_t>(kRecordHeader - ndata));
  if (sub == SUB_READ) {
    int carried = ndata > kRecordHeader ? ndata - kRecordHeader : 0;
    if (Get32(rec + 12) > static_cast<uint32_t>(carried)) return false;  // claims absent data
  }
  return true;
}

enum FrameStep { STEP_NEXT, STEP_STOP, STEP_BAD };

// Folds a later reply frame (read or write) into the record.
FrameStep TakeLaterFrame(const unsigned char* data, int ndata, int sub, int frames,
                         unsigned char* rec) {
  unsigned char head[kRecordHeader] = {0};  // fields the frame leaves out count as 0
  memcpy(head, data, static_cast<size_t>(ndata < kRecordHeader ? ndata : kRecordHeader));
  uint32_t len = Get32(head + 12);
  if (len == 0) return STEP_STOP;
  uint32_t status = Get32(head);
  if (status != 0) {
    Put32(rec, status);
    return STEP_STOP;
  }
  uint32_t total = Get32(rec + 12);
  if (len > DORVIK_FILE_PIECE) return STEP_BAD;
  if (sub == SUB_READ) {
    int carried = ndata > kRecordHeader ? ndata - kRecordHeader : 0;
    if (len > static_cast<uint32_t>(carried) ||
        total + len > static_cast<uint32_t>(frames * DORVIK_FILE_PIECE))
      return STEP_BAD;
    memcpy(rec + kRecordHeader + total, data + kRecordHeader, len);
  }
  Put32(rec + 12, total + len);
  return STEP_NEXT;
}

}  // namespace

extern "C" {

int Dorvik_FILETRANSFER(DORVIK_T* link, unsigned char* record) {
  if (!IsOpen(link)) return -1;
  LinkLock lock(link);
  if (!IsOpen(link)) return -1;
  const int sub = record[1];
  const bool bulk = sub == SUB_READ || sub == SUB_WRITE;
  int req_len = 0;
  int frames = BuildTransferRequest(link, record, &req_len);
  if (frames == 0) return -1;

  const int expect = frames * DORVIK_REPLY_FRAME;
  memset(link->rep, 0, static_cast<size_t>(expect));
  if (Exchange(link, kFunc, link->req, req_len, link->rep, expect, sizeof link->rep) != 0)
    return -1;

  int at = 0;
  for (int f = 0; f < frames; f++) {
    const unsigned char* frame = link->rep + at;
    if (expect - at < 9) {
      Fail(link, kFunc, DORVIK_ERR_BADREPLY);
      return -1;
    }
    if (FrameCheck(link, frame, expect - at, 0x68, link->plc_addr, link->own_addr, 0x08) != 0)
      return -1;
    if (frame[1] < 3) {
      Fail(link, kFunc, DORVIK_ERR_BADREPLY);
      return -1;
    }
    const int ndata = frame[1] - 3;
    if (f == 0) {
      if (!TakeFirstFrame(frame + 7, ndata, sub, record)) {
        Fail(link, kFunc, DORVIK_ERR_BADREPLY);
        return -1;
      }
    } else {
      FrameStep step = TakeLaterFrame(frame + 7, ndata, sub, frames, record);
      if (step == STEP_BAD) {
        Fail(link, kFunc, DORVIK_ERR_BADREPLY);
        return -1;
      }
      if (step == STEP_STOP) break;
    }
    at += frame[1] + 6;
  }
  return bulk ? static_cast<int>(Get32(record + 12)) : 0;
}

int Dorvik_SHMTRANSFER(DORVIK_T* link, unsigned char* record) {
  if (!IsOpen(link)) return -1;
  LinkLock lock(link);
  if (!IsOpen(link)) return -1;
  if (record[1] != 0xFF) {
    fprintf(stderr, "%s(): Unsupported sub command: 0x%02x\n", "Dorvik_SHMTRANSFER", record[1]);
    return -1;
  }
  record[6] = 0xFF;
  record[7] = record[8] = record[9] = 0;
  const unsigned char data[] = {0x2A,      0xFF,      record[2], record[3], record[4],
                                record[5], record[6], record[7], record[8], record[9]};
  int len = dorvik::BuildLong(link->req, link->plc_addr, link->own_addr, 0x6C, data, sizeof data);
  int ndata = dorvik::LongReply(link, "Dorvik_SHMTRANSFER", len, 0x08);
  if (ndata < 0) return -1;
  memcpy(record, link->rep + 7, static_cast<size_t>(ndata));
  return ndata;
}

}  // extern "C"
