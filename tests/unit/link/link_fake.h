// Test stand-ins for the link's neighbours: a scripted transport that records requests and plays
// back a reply the way the UDP transport would, and builders of reply frames.
#pragma once
#include <cstring>
#include <vector>

#include "link/dorvik.h"

namespace lt {

using Bytes = std::vector<unsigned char>;

struct FakeEndpoint {
  std::vector<Bytes> requests;  // every request, in order
  std::vector<int> expected;    // expected reply length of every exchange
  Bytes reply;                  // bytes the "PLC" answers with
  int error = 0;                // code the transport reports (80: nothing arrived)
};

// Behaves like the UDP transport: copies exactly the expected length (zeros past the reply);
// a longer reply is copied as far as the area holds and the exchange returns 1 with code 0.
inline int FakeSend(void* endpoint, const unsigned char* request, unsigned char* reply,
                    int request_len, int reply_len, int* error, int reply_cap) {
  FakeEndpoint* ep = static_cast<FakeEndpoint*>(endpoint);
  *error = 0;
  ep->requests.emplace_back(request, request + request_len);
  ep->expected.push_back(reply_len);
  if (ep->error != 0) {
    *error = ep->error;
    return 1;
  }
  int n = static_cast<int>(ep->reply.size());
  if (n > reply_len) {
    if (n > reply_cap) n = reply_cap;
    memcpy(reply, ep->reply.data(), static_cast<size_t>(n));
    return 1;
  }
  memset(reply, 0, static_cast<size_t>(reply_len));
  if (n > 0) memcpy(reply, ep->reply.data(), static_cast<size_t>(n));
  return 0;
}

// A long frame as the PLC sends it to the server (DA = server, SA = PLC).
inline Bytes LongFrame(unsigned char da, unsigned char sa, unsigned char fc, const Bytes& data) {
  Bytes f = {0x68,
             static_cast<unsigned char>(data.size() + 3),
             static_cast<unsigned char>(data.size() + 3),
             0x68,
             da,
             sa,
             fc};
  unsigned sum = da + sa + fc;
  for (unsigned char b : data) {
    f.push_back(b);
    sum += b;
  }
  f.push_back(static_cast<unsigned char>(sum));
  f.push_back(0x16);
  return f;
}

inline Bytes ShortFrame(unsigned char da, unsigned char sa, unsigned char fc) {
  return {0x10, da, sa, fc, static_cast<unsigned char>(da + sa + fc), 0x16};
}

inline Bytes Cat(const Bytes& a, const Bytes& b) {
  Bytes r = a;
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

inline Bytes Le32(uint32_t v) {
  return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

inline uint32_t Get32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A link open over the fake transport: PLC address 0, server address 5.
struct FakeLink {
  DORVIK_T link{};
  FakeEndpoint ep;
  static constexpr unsigned char kPlc = 0;
  static constexpr unsigned char kOwn = 5;
  explicit FakeLink(int max_frames = 5) {
    link.plc_addr = kPlc;
    link.own_addr = kOwn;
    Dorvik_ATTACH(&link, FakeSend, &ep, max_frames);
  }
  ~FakeLink() { Dorvik_EXIT(&link); }
  // A reply frame addressed as the PLC answers this link.
  static Bytes Long(unsigned char fc, const Bytes& data) { return LongFrame(kOwn, kPlc, fc, data); }
  static Bytes Short(unsigned char fc) { return ShortFrame(kOwn, kPlc, fc); }
};

}  // namespace lt
