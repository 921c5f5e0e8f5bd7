// Register data services: READN (blocks packed into up to max_frames frames), READB, WRITEN,
// WRITEB.
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


int FrameLimit(const DORVIK_T* link) {
  int m = link->max_frames;
  if (m < 1) m = 1;
  return m > kMaxExchangeFrames ? kMaxExchangeFrames : m;
}

// The write services: one frame with FC 0x63, acknowledged only by 0xE5. Returns 0 or 1.
int WriteService(DORVIK_T* link, const char* func, const unsigned char* data, int ndata) {
  int len = dorvik::BuildLong(link->req, link->plc_addr, link->own_addr, 0x63, data, ndata);
  memset(link->ack, 0, sizeof link->ack);
  if (Exchange(link, func, link->req, len, link->ack, 1, sizeof link->ack) != 0) return 1;
  return FrameCheck(link, link->ack, sizeof link->ack, 0xE5, 0, 0, 0) == 0 ? 0 : 1;
}

}  // namespace

extern "C" {

int Dorvik_READN(DORVIK_T* link, unsigned char* buf, unsigned n) {
  if (!IsOpen(link)) return -1;
  LinkLock lock(link);
  if (!IsOpen(link)) return -1;

  const int max_frames = FrameLimit(link);
  int asked[kMaxExchangeFrames];  // data bytes each frame asks for
  int frames = 0;
  int req_len = 0;
  unsigned next = 0;  // next descriptor, 0-based
  do {
    unsigned char data[1 + 4 * DORVIK_READN_MAX_DESC];
    data[0] = 0x0B;
    int m = 0;
    int sum = 0;
    while (next < n && m < DORVIK_READN_MAX_DESC) {
      const unsigned char* desc = buf + 1 + 4 * next;
      int len = desc[3];
      if (len < 1 || len > DORVIK_MAX_BLOCK) return -1;  // nothing sent, error unchanged
      if (m > 0 && sum + len > DORVIK_MAX_BLOCK) break;  // begins the next frame
      memcpy(data + 1 + 4 * m, desc, 4);
      m++;
      sum += len;
      next++;
    }
    req_len += dorvik::BuildLong(link->req + req_len, link->plc_addr, link->own_addr, 0x6C, data,
                                 1 + 4 * m);
    asked[frames++] = sum;
  } while (next < n && frames < max_frames);

  const int expect = frames * DORVIK_REPLY_FRAME;
  memset(link->rep, 0, static_cast<size_t>(expect));
  if (Exchange(link, "Dorvik_READN", link->req, req_len, link->rep, expect, sizeof link->rep) != 0)
    return -1;

  int at = 0;   // start of the current reply frame in rep
  int out = 0;  // output position in buf
  for (int f = 0; f < frames; f++) {
    const unsigned char* frame = link->rep + at;
    if (expect - at < 9 || frame[1] < 3) {
      Fail(link, "Dorvik_READN", DORVIK_ERR_BADREPLY);
      return -1;
    }
    if (FrameCheck(link, frame, expect - at, 0x68, link->plc_addr, link->own_addr, 0x08) != 0)
      return -1;
    // buf reaches 246 bytes past where the last frame's data starts: an earlier frame may not
    // bring more than it asked for, none more than 246.
    int ndata = frame[1] - 3;
    int limit = f == frames - 1 ? DORVIK_MAX_BLOCK : asked[f];
    if (ndata > limit) {
      Fail(link, "Dorvik_READN", DORVIK_ERR_BADREPLY);
      return -1;
    }
    memset(buf + out, 0, DORVIK_MAX_BLOCK);
    memcpy(buf + out, frame + 7, static_cast<size_t>(ndata));
    out += ndata;
    at += frame[1] + 6;
  }
  return out;
}

int Dorvik_READB(DORVIK_T* link, unsigned char* buf, unsigned n) {
  if (!IsOpen(link)) return -1;
  LinkLock lock(link);
  if (!IsOpen(link)) return -1;
  n &= 0xFF;
  if (4 * n + 4 > 255) return -1;  // does not fit one frame; nothing sent
  unsigned char data[256];
  data[0] = 0x0F;
  memcpy(data + 1, buf + 1, 4 * n);
  int len = dorvik::BuildLong(link->req, link->plc_addr, link->own_addr, 0x6C, data,
                              static_cast<int>(1 + 4 * n));
  int ndata = dorvik::LongReply(link, "Dorvik_READB", len, 0x08);
  if (ndata < 0) return -1;
  memset(buf, 0, DORVIK_MAX_BLOCK);
  memcpy(buf, link->rep + 7, static_cast<size_t>(ndata));
  return ndata;
}

int Dorvik_WRITEN(DORVIK_T* link, unsigned char* buf, unsigned n) {
  if (!IsOpen(link)) return 1;
  LinkLock lock(link);
  if (!IsOpen(link)) return 1;
  n &= 0xFF;
  // Records (descriptor + data) from byte 1; they must fit one frame: LE = 4n + D + 4 <= 255.
  int bytes = 0;
  for (unsigned i = 0; i < n && bytes <= 251; i++) bytes += 4 + buf[1 + bytes + 3];
  if (bytes + 4 > 255) return 1;  // nothing sent
  unsigned char data[256];
  data[0] = 0x0C;
  memcpy(data + 1, buf + 1, static_cast<size_t>(bytes));
  return WriteService(link, "Dorvik_WRITEN", data, 1 + bytes);
}

int Dorvik_WRITEB(DORVIK_T* link, unsigned char* buf, unsigned n) {
  if (!IsOpen(link)) return 1;
  LinkLock lock(link);
  if (!IsOpen(link)) return 1;
  n &= 0xFF;
  if (4 * n + 4 > 255) return 1;  // does not fit one frame; nothing sent
  unsigned char data[256];
  data[0] = 0x10;
  memcpy(data + 1, buf + 1, 4 * n);
  return WriteService(link, "Dorvik_WRITEB", data, static_cast<int>(1 + 4 * n));
}

}  // extern "C"
