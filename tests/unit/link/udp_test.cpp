// The UDP transport against a UDP socket in the test acting as the PLC (127.0.0.1 only).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "link/dorvik.h"
#include "link_fake.h"

using lt::Bytes;

namespace {

struct UdpPeer {
  int fd = -1;
  int port = 0;
  explicit UdpPeer(const char* ip = "127.0.0.1") {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(ip);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      fd = -1;
      return;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~UdpPeer() {
    if (fd >= 0) close(fd);
  }
  // One datagram within 5 s; empty on time-out.
  Bytes Recv(sockaddr_in* from) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return {};
    unsigned char buf[4096];
    socklen_t len = sizeof *from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(from), &len);
    return n > 0 ? Bytes(buf, buf + n) : Bytes{};
  }
  void SendTo(const sockaddr_in& to, const Bytes& b) {
    sendto(fd, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
};

// A reply packet: sequence number, 0x02 0x00, frame length (big-endian), frames.
Bytes Packet(unsigned seq, const Bytes& frames, int length_field = -1) {
  unsigned len =
      length_field < 0 ? static_cast<unsigned>(frames.size()) : static_cast<unsigned>(length_field);
  Bytes p(6 + frames.size());
  p[0] = static_cast<unsigned char>(seq);
  p[1] = static_cast<unsigned char>(seq >> 8);
  p[2] = 0x02;
  p[3] = 0x00;
  p[4] = static_cast<unsigned char>(len >> 8);
  p[5] = static_cast<unsigned char>(len);
  std::copy(frames.begin(), frames.end(), p.begin() + 6);
  return p;
}

unsigned SeqOf(const Bytes& p) {
  return p[0] | p[1] << 8;
}

struct Endpoint {
  UDPEP_T ep{};
  explicit Endpoint(int port, unsigned timeout = 2000) {
    ep.timeout = timeout;
    EXPECT_EQ(Ether_Init(&ep, "127.0.0.1", static_cast<unsigned>(port)), 0);
  }
  ~Endpoint() { Ether_Exit(&ep); }
};

struct Result {
  int rc;
  int error;
};

// Runs one exchange in the background while the test plays the PLC.
std::future<Result> StartExchange(UDPEP_T* ep, const Bytes& request, unsigned char* reply,
                                  int reply_len, int reply_cap) {
  return std::async(std::launch::async, [=] {
    Result r{};
    r.rc = Ether_SendData(ep, request.data(), reply, static_cast<int>(request.size()), reply_len,
                          &r.error, reply_cap);
    return r;
  });
}

const Bytes kRequest = {0x10, 0, 5, 0x69, 0x6E, 0x16};

}  // namespace

TEST(Udp, PacketHeaderAndSequenceNumbers) {
  UdpPeer plc;
  Endpoint e(plc.port);
  unsigned char reply[6];
  auto fut = StartExchange(&e.ep, kRequest, reply, 6, 6);
  sockaddr_in from{};
  Bytes got = plc.Recv(&from);
  ASSERT_EQ(got.size(), 12u);
  EXPECT_EQ(SeqOf(got), 1u);  // the first packet carries 1
  EXPECT_EQ(got[2], 0x02);
  EXPECT_EQ(got[3], 0x00);
  EXPECT_EQ(got[4], 0);
  EXPECT_EQ(got[5], 6);
  EXPECT_EQ(Bytes(got.begin() + 6, got.end()), kRequest);
  plc.SendTo(from, Packet(1, lt::ShortFrame(5, 0, 0)));
  Result r = fut.get();
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(Bytes(reply, reply + 6), lt::ShortFrame(5, 0, 0));

  // After 65535 comes 0.
  e.ep.tx[0] = 0xFF;
  e.ep.tx[1] = 0xFF;
  fut = StartExchange(&e.ep, kRequest, reply, 6, 6);
  got = plc.Recv(&from);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(SeqOf(got), 0u);
  plc.SendTo(from, Packet(0, lt::ShortFrame(5, 0, 0)));
  EXPECT_EQ(fut.get().rc, 0);
}

TEST(Udp, ReplyFromAnotherPortIsAccepted) {
  UdpPeer plc, other_port;
  Endpoint e(plc.port);
  unsigned char reply[6];
  auto fut = StartExchange(&e.ep, kRequest, reply, 6, 6);
  sockaddr_in from{};
  Bytes got = plc.Recv(&from);
  ASSERT_FALSE(got.empty());
  other_port.SendTo(from, Packet(SeqOf(got), lt::ShortFrame(5, 0, 0)));
  Result r = fut.get();
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(reply[0], 0x10);
}

TEST(Udp, StaleSequenceNumberIsDroppedWithCodeZero) {
  UdpPeer plc;
  Endpoint e(plc.port);
  unsigned char reply[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  auto fut = StartExchange(&e.ep, kRequest, reply, 6, 6);
  sockaddr_in from{};
  Bytes got = plc.Recv(&from);
  ASSERT_FALSE(got.empty());
  plc.SendTo(from, Packet(SeqOf(got) - 1, lt::ShortFrame(5, 0, 0)));  // the earlier request's
  Result r = fut.get();
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(reply[0], 0xFF);  // the prepared area is left for the caller's check
}

TEST(Udp, DatagramFromAnotherHostIsDropped) {
  UdpPeer plc;
  UdpPeer stranger("127.0.0.2");  // another loopback address acting as another host
  if (stranger.fd < 0) GTEST_SKIP() << "cannot bind 127.0.0.2";
  Endpoint e(plc.port);
  unsigned char reply[6] = {};
  auto fut = StartExchange(&e.ep, kRequest, reply, 6, 6);
  sockaddr_in from{};
  Bytes got = plc.Recv(&from);
  ASSERT_FALSE(got.empty());
  stranger.SendTo(from, Packet(SeqOf(got), lt::ShortFrame(5, 0, 0)));
  Result r = fut.get();
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(reply[0], 0);
}

TEST(Udp, OversizedDatagramIsCopiedBounded) {
  UdpPeer plc;
  Endpoint e(plc.port);
  // 1 byte expected, area of 6: a short frame is copied whole (the acknowledgement rule).
  unsigned char area[16];
  memset(area, 0xEE, sizeof area);
  auto fut = StartExchange(&e.ep, kRequest, area, 1, 6);
  sockaddr_in from{};
  Bytes got = plc.Recv(&from);
  plc.SendTo(from, Packet(SeqOf(got), lt::ShortFrame(5, 0, 0)));
  Result r = fut.get();
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(Bytes(area, area + 6), lt::ShortFrame(5, 0, 0));
  EXPECT_EQ(area[6], 0xEE);

  // 100 frame bytes into an area of 6: only 6 are written.
  memset(area, 0xEE, sizeof area);
  fut = StartExchange(&e.ep, kRequest, area, 1, 6);
  got = plc.Recv(&from);
  plc.SendTo(from, Packet(SeqOf(got), Bytes(100, 0x42)));
  r = fut.get();
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(area[5], 0x42);
  EXPECT_EQ(area[6], 0xEE);

  // A length field larger than the datagram: only what arrived is copied.
  memset(area, 0xEE, sizeof area);
  fut = StartExchange(&e.ep, kRequest, area, 1, 16);
  got = plc.Recv(&from);
  plc.SendTo(from, Packet(SeqOf(got), Bytes(3, 0x42), 1000));
  r = fut.get();
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(area[2], 0x42);
  EXPECT_EQ(area[3], 0xEE);
}

TEST(Udp, ShortDatagramLeavesZerosBehind) {
  UdpPeer plc;
  Endpoint e(plc.port);
  unsigned char area[255];
  memset(area, 0xEE, sizeof area);
  auto fut = StartExchange(&e.ep, kRequest, area, 255, 255);
  sockaddr_in from{};
  Bytes got = plc.Recv(&from);
  plc.SendTo(from, Packet(SeqOf(got), {0xE5}));
  Result r = fut.get();
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(area[0], 0xE5);
  EXPECT_EQ(area[1], 0);
  EXPECT_EQ(area[254], 0);
}

TEST(Udp, TimeoutPlusExtraWaitGivesNoAnswer) {
  UdpPeer plc;  // never answers
  Endpoint e(plc.port, 100);
  e.ep.extra_wait = 100;
  unsigned char area[6];
  auto start = std::chrono::steady_clock::now();
  int error = 0;
  EXPECT_EQ(Ether_SendData(&e.ep, kRequest.data(), area, 6, 6, &error, 6), 1);
  EXPECT_EQ(error, 80);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
}

TEST(Udp, ServiceOverUdpReportsNoAnswer) {
  UdpPeer plc;
  DORVIK_T link{};
  link.iface = 1;
  link.port = plc.port;
  link.timeout = 50;
  snprintf(link.ip, sizeof link.ip, "127.0.0.1");
  ASSERT_EQ(Dorvik_INIT(&link), 0);
  EXPECT_EQ(Dorvik_CONNECT(&link), 1);
  EXPECT_EQ(link.error.load(), 80u);
  EXPECT_STREQ(Dorvik_ErrorMSG(&link), "[0x50] The slave station does not response.");
  Dorvik_EXIT(&link);
}
