// The UDP and serial transports with the test as the PLC (a UDP socket on 127.0.0.1, the other end
// of a socket pair standing in for the line), and the serial device table.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <utility>

#include "link/dorvik.h"
#include "link_fake.h"
#include "support/net.h"
#include "support/scratch.h"

using namespace lt;

namespace {

const Bytes kRequest = ShortFrame(0, 5, 0x69), kAck = ShortFrame(5, 0, 0);

struct Fd {
  int fd;
  ~Fd() { close(fd); }
};

// One exchange in another thread while the test, as the PLC, receives the request on `fd` (with
// its source for UDP) and answers through `answer`. The exchange's result and error code.
std::pair<int, int> Exchange(const std::function<int(int*)>& exchange, int fd, bool udp,
                             const std::function<void(const Bytes&, sockaddr_in&)>& answer) {
  auto fut = std::async(std::launch::async, [&] {
    int error = 0, rc = exchange(&error);
    return std::make_pair(rc, error);
  });
  Bytes got(4096);
  sockaddr_in from{};
  socklen_t len = sizeof from;
  pollfd p = {fd, POLLIN, 0};
  ssize_t n =
      poll(&p, 1, 5000) != 1 ? -1
      : udp ? recvfrom(fd, got.data(), got.size(), 0, reinterpret_cast<sockaddr*>(&from), &len)
            : read(fd, got.data(), kRequest.size());
  got.resize(n > 0 ? static_cast<size_t>(n) : 0);
  answer(got, from);
  return fut.get();
}

unsigned SeqOf(const Bytes& p) {
  return p.size() < 2 ? ~0u : p[0] | p[1] << 8;
}

// The server's endpoint towards a PLC socket of the test.
struct Udp {
  int port = 0;
  Fd plc{kt::BoundSocket(SOCK_DGRAM, &port)};
  UDPEP_T ep{};
  Bytes request;  // the last packet the PLC received
  Udp() {
    ep.timeout = 2000;
    EXPECT_EQ(Ether_Init(&ep, "127.0.0.1", static_cast<unsigned>(port)), 0);
  }
  ~Udp() { Ether_Exit(&ep); }
  // The PLC answers `frames` from `sender` (its own socket when -1) under the request's sequence
  // number + seq_delta, with `length` in the header (-1: the frames' size).
  std::pair<int, int> Send(unsigned char* area, int expect, int cap, const Bytes& frames,
                           int seq_delta = 0, int sender = -1, int length = -1) {
    auto send = [&](int* err) {
      return Ether_SendData(&ep, kRequest.data(), area, 6, expect, err, cap);
    };
    return Exchange(send, plc.fd, true, [&](const Bytes& got, sockaddr_in& from) {
      request = got;
      unsigned seq = SeqOf(got) + seq_delta;
      unsigned len = length < 0 ? static_cast<unsigned>(frames.size()) : length;
      Bytes p = Cat({static_cast<unsigned char>(seq), static_cast<unsigned char>(seq >> 8), 2, 0,
                     static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)},
                    frames);
      sendto(sender < 0 ? plc.fd : sender, p.data(), p.size(), 0,
             reinterpret_cast<sockaddr*>(&from), sizeof from);
    });
  }
};

}  // namespace

TEST(Udp, HeaderSequenceNumbersReplySourcesAndBoundedCopies) {
  Udp u;
  unsigned char reply[6];
  EXPECT_EQ(u.Send(reply, 6, 6, kAck), std::make_pair(0, 0));
  // The first packet carries 1, then 0x02 0x00 and the big-endian frame length.
  EXPECT_EQ(u.request, Cat({1, 0, 0x02, 0x00, 0, 6}, kRequest));
  EXPECT_EQ(Bytes(reply, reply + 6), kAck);
  EXPECT_EQ(u.Send(reply, 6, 6, kAck).first, 0);
  EXPECT_EQ(SeqOf(u.request), 2u);
  u.ep.tx[0] = u.ep.tx[1] = 0xFF;  // after 65535 comes 0
  EXPECT_EQ(u.Send(reply, 6, 6, kAck).first, 0);
  EXPECT_EQ(SeqOf(u.request), 0u);

  int port = 0;
  Fd other{kt::BoundSocket(SOCK_DGRAM, &port)},
      stranger{kt::BoundSocket(SOCK_DGRAM, &port, "127.0.0.2")};
  const struct {
    const char* what;
    int sender, seq_delta, length, expect, cap;
    Bytes frames;
    int rc;
    Bytes area;  // what the area holds after the exchange; the byte after it is untouched
  } rows[] = {
      // Another port of the PLC's host is accepted; another host (another loopback address) or
      // a stale sequence number is dropped with code 0, the area left for the caller's check.
      {"another port", other.fd, 0, -1, 6, 6, kAck, 0, kAck},
      {"stale sequence number", -1, -1, -1, 6, 6, kAck, 1, {}},
      {"another host", stranger.fd, 0, -1, 6, 6, kAck, 1, {}},
      // Longer than expected: copied as far as the area holds and the datagram carries.
      {"short frame for 1 byte expected", -1, 0, -1, 1, 6, kAck, 1, kAck},
      {"100 bytes into an area of 6", -1, 0, -1, 1, 6, Bytes(100, 0x42), 1, Bytes(6, 0x42)},
      {"length field past the datagram", -1, 0, 1000, 1, 16, Bytes(3, 0x42), 1, Bytes(3, 0x42)},
      {"shorter datagram leaves zeros", -1, 0, -1, 16, 16, {0xE5}, 0, Cat({0xE5}, Bytes(15, 0))},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    unsigned char area[17];
    memset(area, 0xEE, sizeof area);
    auto res = u.Send(area, r.expect, r.cap, r.frames, r.seq_delta, r.sender, r.length);
    EXPECT_EQ(res, std::make_pair(r.rc, 0));
    EXPECT_EQ(Bytes(area, area + r.area.size() + 1), Cat(r.area, {0xEE}));
  }
}

TEST(Serial, FrameEndsTimeOutsRtsAndTheDeviceTable) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  Fd line{pair[0]}, plc{pair[1]};
  kt::ScratchDir gpio;  // RTS through a stand-in GPIO folder
  ASSERT_EQ(mkdir((gpio / "gpio7").c_str(), 0755), 0);
  ASSERT_TRUE(kt::WriteFile(gpio / "gpio7/value", "1\n"));
  Serial_SetGpioRoot(gpio.path.c_str());
  SEREP_T ep{};
  ep.fd = line.fd;
  ep.speed = 115200;
  ep.bits_per_char = 11;
  ep.rts_gpio = 7;
  const Bytes lf = LongFrame(5, 0, 8, {1, 2}), lf16 = LongFrame(5, 0x16, 8, {1, 2, 3});
  const struct {
    const char* what;
    Bytes answer;
    int expect, cap;
    unsigned timeout;
    int rc;
    Bytes area;
  } rows[] = {
      {"short frame ends after 6 of 255", kAck, 255, 300, 2000, 0, Cat(kAck, {0})},
      {"short frame taken whole for 1 expected", kAck, 1, 6, 2000, 0, kAck},
      {"long frame ends at LE + 5", lf, 255, 300, 2000, 0, Cat(lf, {0})},
      {"also when its SA is 0x16", lf16, 255, 300, 2000, 0, Cat(lf16, {0})},
      {"E5 for 1 expected", {0xE5}, 1, 6, 2000, 0, {0xE5}},
      {"E5 waits for the expected count", {0xE5}, 2, 6, 150, 1, {0xE5, 0}},
      {"two bytes for 2 expected", {0xE5, 0x00}, 2, 6, 2000, 0, {0xE5, 0}},
      {"nothing: the area cleared, code 0", {}, 255, 300, 150, 1, {0, 0}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    unsigned char area[300];
    memset(area, 0xEE, sizeof area);
    ep.timeout = r.timeout;
    auto send = [&](int* err) {
      return Serial_SendData(&ep, kRequest.data(), area, 6, r.expect, err, r.cap);
    };
    auto res = Exchange(send, plc.fd, false, [&](const Bytes& got, sockaddr_in&) {
      EXPECT_EQ(got, kRequest);
      EXPECT_EQ(write(plc.fd, r.answer.data(), r.answer.size()), ssize_t(r.answer.size()));
    });
    EXPECT_EQ(res, std::make_pair(r.rc, 0));
    EXPECT_EQ(Bytes(area, area + r.area.size()), r.area);
    EXPECT_EQ(kt::ReadFile(gpio / "gpio7/value"), "0\n");  // dropped after sending
    ASSERT_TRUE(kt::WriteFile(gpio / "gpio7/value", "1\n"));
  }
  Serial_SetGpioRoot(nullptr);
  EXPECT_EQ(Serial_TxWaitUs(12, 11, 9600), 14750);
  EXPECT_EQ(Serial_TxWaitUs(2650, 12, 50), 2650LL * 12 * 1000000 / 50 + 1000);  // no overflow

  EXPECT_EQ(Serial_CFG_Init("ttyS0 5,ttyS1 6"), 0);
  EXPECT_EQ(Serial_CFG_Find("ttyS"), nullptr);
  // An item without its GPIO: the records before it stay, -1.
  EXPECT_EQ(Serial_CFG_Init("ttyS0 5,ttyS1"), -1);
  EXPECT_NE(Serial_CFG_Find("ttyS0"), nullptr);
  EXPECT_EQ(Serial_CFG_Find("ttyS1"), nullptr);
  std::string text;
  for (int i = 0; i < 11; i++)
    text += "tty" + std::to_string(i) + " " + std::to_string(i + 100) + ",";
  EXPECT_EQ(Serial_CFG_Init(text.c_str()), 0);
  EXPECT_EQ(serial_cfg[9].rts_gpio, 109);
  EXPECT_EQ(Serial_CFG_Find("tty10"), nullptr);  // the eleventh item is ignored
  // A name past 31 characters is read bounded; the rest then fails the item.
  EXPECT_EQ(Serial_CFG_Init("abcdefghijabcdefghijabcdefghijabcdefghij 3"), -1);
  EXPECT_EQ(serial_cfg[0].name[0], '\0');
}
