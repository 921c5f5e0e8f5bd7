// Feeds arbitrary reply bytes to the link's reply check and to the services that walk replies
// (READN, FILETRANSFER and the single-frame services) through a transport that plays the input
// back as the PLC's answer. Caller buffers are sized exactly as the services' contracts say, so
// any write past them is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "link/dorvik.h"

namespace {

struct Script {
  const uint8_t* reply;
  size_t reply_len;
};

// Plays the reply back the way the UDP transport does.
int PlayBack(void* endpoint, const unsigned char*, unsigned char* reply, int, int reply_len,
             int* error, int reply_cap) {
  Script* s = static_cast<Script*>(endpoint);
  *error = 0;
  int n = static_cast<int>(s->reply_len);
  if (n > reply_len) {
    if (n > reply_cap) n = reply_cap;
    memcpy(reply, s->reply, static_cast<size_t>(n));
    return 1;
  }
  memset(reply, 0, static_cast<size_t>(reply_len));
  if (n > 0) memcpy(reply, s->reply, static_cast<size_t>(n));
  return 0;
}

void FuzzFrameTest(const uint8_t* data, size_t size) {
  if (size < 3) return;
  const unsigned char shapes[] = {0xE5, 0x10, 0x68, 0x00};
  unsigned char frame[261] = {};
  memcpy(frame, data + 2, size - 2 < sizeof frame ? size - 2 : sizeof frame);
  DORVIK_T link{};
  Dorvik_FRAMETEST(&link, frame, shapes[data[0] & 3], 0, 5, data[1]);
  Dorvik_ErrorMSG(&link);
}

// READN with descriptors taken from the input; buf sized to the contract: the descriptors, and
// 246 bytes past where the last frame's data starts when every earlier frame brings what it asks.
void FuzzReadn(DORVIK_T* link, const uint8_t* data, size_t size, int max_frames) {
  if (size < 1) return;
  unsigned n = data[0] % 80;
  if (size < 1 + n) return;
  std::vector<int> len(n);
  for (unsigned k = 0; k < n; k++) len[k] = 1 + data[1 + k] % 246;
  size_t before_last = 0;  // data asked for by the frames before the last one
  unsigned next = 0;
  int frames = 0;
  do {
    int m = 0, sum = 0;
    while (next < n && m < 61 && !(m > 0 && sum + len[next] > 246)) sum += len[next++], m++;
    frames++;
    if (next < n && frames < max_frames) before_last += static_cast<size_t>(sum);
  } while (next < n && frames < max_frames);
  size_t room = 1 + 4 * n;
  if (before_last + 246 > room) room = before_last + 246;
  std::vector<unsigned char> buf(room);
  for (unsigned k = 0; k < n; k++) buf[4 + 4 * k] = static_cast<unsigned char>(len[k]);
  Dorvik_READN(link, buf.data(), n);
}

void FuzzFileTransfer(DORVIK_T* link, const uint8_t* data, size_t size, int max_frames) {
  if (size < 3) return;
  unsigned char sub = data[0] % 8;
  bool bulk = sub == 4 || sub == 5;
  size_t room = bulk ? 16 + static_cast<size_t>(max_frames) * 230 : 252;
  std::vector<unsigned char> rec(room);
  rec[1] = sub;
  uint32_t length = 1 + (static_cast<uint32_t>(data[1]) << 8 | data[2]) % 1300;
  memcpy(&rec[10], &length, 4);
  if (sub == 2) memcpy(&rec[7], "f.txt", 6);
  Dorvik_FILETRANSFER(link, rec.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  unsigned char mode = data[0];
  // Split: a few parameter bytes, then the reply.
  size_t params = 1 + data[1] % 90;
  if (size < 2 + params) return 0;
  const uint8_t* p = data + 2;
  Script script = {data + 2 + params, size - 2 - params};
  int max_frames = (mode & 0x10) ? 1 : 5;

  if ((mode & 7) == 0) {
    FuzzFrameTest(data + 1, size - 1);
    return 0;
  }
  DORVIK_T link{};
  Dorvik_SetStation(&link, 0, 5, 0);
  Dorvik_ATTACH(&link, PlayBack, &script, max_frames);
  unsigned char out[256];
  switch (mode & 7) {
    case 1:
      FuzzReadn(&link, p, params, max_frames);
      break;
    case 2:
      FuzzFileTransfer(&link, p, params, max_frames);
      break;
    case 3:
      Dorvik_IDENT(&link, out);
      break;
    case 4:
      Dorvik_GETSW(&link, out);
      break;
    case 5: {
      const unsigned char cw[3] = {0, p[0], p[0]};
      Dorvik_SETCW(&link, cw);
      Dorvik_LOGOUT(&link);
      break;
    }
    case 6: {
      std::vector<unsigned char> buf(1 + 4 * 62 > 246 ? 1 + 4 * 62 : 246);
      Dorvik_READB(&link, buf.data(), p[0] % 63);
      break;
    }
    default: {
      unsigned char rec[252] = {0, 0xFF};
      Dorvik_SHMTRANSFER(&link, rec);
    }
  }
  Dorvik_EXIT(&link);
  return 0;
}
