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
  sockaddr_in from{};  // source of the last datagram received
  explicit UdpPeer(const char* ip = "127.0.0.1") {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(ip);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      close(fd);
      fd = -1;
    }
    port = ntohs(a.sin_port);
  }
  ~UdpPeer() {
    if (fd >= 0) close(fd);
  }
  // One datagram within 5 s; empty on time-out.
  Bytes Recv() {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return {};
    unsigned char buf[4096];
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    return n > 0 ? Bytes(buf, buf + n) : Bytes{};
  }
  void SendTo(const sockaddr_in& to, const Bytes& b) {
    sendto(fd, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
};

// A reply packet: sequence number, 0x02 0x00, frame length (big-endian), frames.
Bytes Packet(unsigned seq, const Bytes& frames, int length_field = -1) {
  unsigned len = length_field < 0 ? static_cast<unsigned>(frames.size()) : length_field;
  Bytes p = {static_cast<unsigned char>(seq),      static_cast<unsigned char>(seq >> 8), 0x02, 0x00,
             static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)};
  return lt::Cat(p, frames);
}

unsigned SeqOf(const Bytes& p) {
  return p.size() < 2 ? ~0u : p[0] | p[1] << 8;
}

const Bytes kRequest = {0x10, 0, 5, 0x69, 0x6E, 0x16};
const Bytes kAck = lt::ShortFrame(5, 0, 0);

struct Result {
  int rc;
  int error;
};

// The server's endpoint towards `plc`. Exchange sends kRequest while the PLC side answers with
// `frames` under the request's sequence number plus `seq_delta`, from `sender` (the PLC when null).
struct Udp {
  UdpPeer plc;
  UDPEP_T ep{};
  Bytes request;  // the last packet the PLC received
  explicit Udp(unsigned timeout = 2000) {
    ep.timeout = timeout;
    EXPECT_EQ(Ether_Init(&ep, "127.0.0.1", static_cast<unsigned>(plc.port)), 0);
  }
  ~Udp() { Ether_Exit(&ep); }
  Result Exchange(unsigned char* reply, int reply_len, int reply_cap, const Bytes& frames,
                  int seq_delta = 0, UdpPeer* sender = nullptr, int length_field = -1) {
    auto fut = std::async(std::launch::async, [this, reply, reply_len, reply_cap] {
      Result r{};
      r.rc = Ether_SendData(&ep, kRequest.data(), reply, static_cast<int>(kRequest.size()),
                            reply_len, &r.error, reply_cap);
      return r;
    });
    request = plc.Recv();
    (sender ? sender : &plc)
        ->SendTo(plc.from, Packet(SeqOf(request) + seq_delta, frames, length_field));
    return fut.get();
  }
};

}  // namespace

TEST(Udp, PacketHeaderAndSequenceNumbers) {
  Udp u;
  unsigned char reply[6];
  Result r = u.Exchange(reply, 6, 6, kAck);
  // The first packet carries 1, then 0x02 0x00 and the big-endian frame length.
  EXPECT_EQ(u.request, lt::Cat({1, 0, 0x02, 0x00, 0, 6}, kRequest));
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(Bytes(reply, reply + 6), kAck);
  // After 65535 comes 0.
  u.ep.tx[0] = u.ep.tx[1] = 0xFF;
  EXPECT_EQ(u.Exchange(reply, 6, 6, kAck).rc, 0);
  EXPECT_EQ(SeqOf(u.request), 0u);
}

TEST(Udp, ReplySources) {
  Udp u;
  UdpPeer other_port, stranger("127.0.0.2");  // another loopback address acting as another host
  // Another port of the PLC's host is accepted; another host or a stale sequence number is
  // dropped with code 0, leaving the prepared area for the caller's check.
  const struct {
    const char* what;
    UdpPeer* sender;
    int seq_delta, rc;
  } rows[] = {{"another port", &other_port, 0, 0},
              {"stale sequence number", &u.plc, -1, 1},
              {"another host", &stranger, 0, 1}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_GE(r.sender->fd, 0);
    unsigned char reply[6];
    memset(reply, 0xFF, sizeof reply);
    Result res = u.Exchange(reply, 6, 6, kAck, r.seq_delta, r.sender);
    EXPECT_EQ(res.rc, r.rc);
    EXPECT_EQ(res.error, 0);
    EXPECT_EQ(reply[0], r.rc == 0 ? 0x10 : 0xFF);
  }
}

TEST(Udp, DatagramIsCopiedBounded) {
  Udp u;
  const struct {
    const char* what;
    Bytes frames;
    int length_field, reply_len, cap, rc;
    size_t last_written;  // area[last_written] is from the datagram, the next byte untouched
  } rows[] = {
      {"short frame for 1 byte expected is copied whole", kAck, -1, 1, 6, 1, 5},
      {"100 frame bytes into an area of 6", Bytes(100, 0x42), -1, 1, 6, 1, 5},
      {"length field past the datagram", Bytes(3, 0x42), 1000, 1, 16, 1, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    unsigned char area[17];
    memset(area, 0xEE, sizeof area);
    Result r = u.Exchange(area, row.reply_len, row.cap, row.frames, 0, nullptr, row.length_field);
    EXPECT_EQ(r.rc, row.rc);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(Bytes(area, area + row.last_written + 1),
              Bytes(row.frames.begin(), row.frames.begin() + row.last_written + 1));
    EXPECT_EQ(area[row.last_written + 1], 0xEE);
  }
  // A datagram shorter than expected leaves zeros behind.
  unsigned char area[255];
  memset(area, 0xEE, sizeof area);
  EXPECT_EQ(u.Exchange(area, 255, 255, {0xE5}).rc, 0);
  EXPECT_EQ(area[0], 0xE5);
  EXPECT_EQ(area[1], 0);
  EXPECT_EQ(area[254], 0);
}

TEST(Udp, TimeoutPlusExtraWaitGivesNoAnswer) {
  Udp u(100);  // the peer never answers
  u.ep.extra_wait = 100;
  unsigned char area[6];
  auto start = std::chrono::steady_clock::now();
  int error = 0;
  EXPECT_EQ(Ether_SendData(&u.ep, kRequest.data(), area, 6, 6, &error, 6), 1);
  EXPECT_EQ(error, 80);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
}
