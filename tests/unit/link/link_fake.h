// Stand-ins for the link's neighbours: a scripted transport that records requests and plays back
// a reply the way the UDP transport would, and builders of frames and byte strings.
#pragma once
#include <algorithm>
#include <cstring>
#include <vector>

#include "link/dorvik.h"

namespace lt {

using Bytes = std::vector<unsigned char>;

inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline Bytes Le32(uint32_t v) {
  return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}
inline uint32_t Get32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
// n bytes counting up (modulo 256) from `first`.
inline Bytes Seq(size_t n, unsigned first) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<unsigned char>(first + i);
  return b;
}

// 0x68 LE LE 0x68 DA SA FC data FCS 0x16, the checksum computed here on its own.
inline Bytes LongFrame(unsigned char da, unsigned char sa, unsigned char fc, const Bytes& data) {
  auto le = static_cast<unsigned char>(data.size() + 3);
  Bytes f = Cat({0x68, le, le, 0x68, da, sa, fc}, data);
  unsigned char sum = 0;
  for (size_t i = 4; i < f.size(); i++) sum = static_cast<unsigned char>(sum + f[i]);
  return Cat(f, {sum, 0x16});
}
inline Bytes ShortFrame(unsigned char da, unsigned char sa, unsigned char fc) {
  return {0x10, da, sa, fc, static_cast<unsigned char>(da + sa + fc), 0x16};
}

struct FakeEndpoint {
  std::vector<Bytes> requests;  // every request, in order
  std::vector<int> expected;    // expected reply length of every exchange
  Bytes reply;                  // what the "PLC" answers
  int error = 0;                // code the transport reports (80: nothing arrived)
};

// Like the UDP transport: exactly the expected length (zeros past the reply); a longer reply is
// copied as far as the area holds and the exchange returns 1 with code 0.
inline int FakeSend(void* endpoint, const unsigned char* request, unsigned char* reply,
                    int request_len, int reply_len, int* error, int reply_cap) {
  FakeEndpoint* ep = static_cast<FakeEndpoint*>(endpoint);
  ep->requests.emplace_back(request, request + request_len);
  ep->expected.push_back(reply_len);
  *error = ep->error;
  int n = static_cast<int>(ep->reply.size());
  if (ep->error != 0) return 1;
  if (n <= reply_len) memset(reply, 0, static_cast<size_t>(reply_len));
  if (n > 0) memcpy(reply, ep->reply.data(), static_cast<size_t>(std::min(n, reply_cap)));
  return n > reply_len ? 1 : 0;
}

// A link open over the fake transport: PLC address 2, server address 5.
struct FakeLink {
  DORVIK_T link{};
  FakeEndpoint ep;
  explicit FakeLink(int max_frames = 5) {
    Dorvik_SetStation(&link, 2, 5, 0);
    Dorvik_ATTACH(&link, FakeSend, &ep, max_frames);
  }
  ~FakeLink() { Dorvik_EXIT(&link); }
  // A reply as the PLC answers this link, and a request as the link sends it.
  static Bytes Long(unsigned char fc, const Bytes& data) { return LongFrame(5, 2, fc, data); }
  static Bytes Short(unsigned char fc) { return ShortFrame(5, 2, fc); }
  static Bytes Request(unsigned char fc, const Bytes& data) { return LongFrame(2, 5, fc, data); }
};

}  // namespace lt
