// Connection, status and register services over a scripted transport: request layouts, reply
// checks, acknowledgement rules, READN packing and the bounds of every copy-out.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "link/dorvik.h"
#include "link_fake.h"
#include "support/text.h"

using lt::Bytes;
using lt::Cat;
using lt::FakeLink;
using lt::Seq;

namespace {

// READN input: byte 0 reserved, then one descriptor (register 2, address k) per length.
Bytes Descriptors(const std::vector<int>& lengths, size_t room = 2000) {
  Bytes buf(room, 0xAA);
  buf[0] = 0;
  for (size_t k = 0; k < lengths.size(); k++) {
    const unsigned char d[] = {0x02, static_cast<unsigned char>(k), 0,
                               static_cast<unsigned char>(lengths[k])};
    memcpy(&buf[1 + 4 * k], d, 4);
  }
  return buf;
}

constexpr auto Request = FakeLink::Request;

}  // namespace

TEST(Services, InitAndExit) {
  DORVIK_T link{};
  link.iface = LINK_UDP;
  link.timeout = -5;
  snprintf(link.ip, sizeof link.ip, "127.0.0.1");
  ASSERT_EQ(Dorvik_INIT(&link), 0);
  EXPECT_EQ(link.port, 61682);  // port <= 0
  EXPECT_EQ(ntohs(link.udp.plc.sin_port), 61682);
  EXPECT_EQ(link.max_frames, 5);
  EXPECT_EQ(link.timeout, 0);
  EXPECT_GT(link.handle, 0);
  EXPECT_EQ(Dorvik_EXIT(&link), 0);
  EXPECT_EQ(link.handle, 0);
  EXPECT_EQ(link.send.load(), nullptr);

  DORVIK_T bad{};
  bad.iface = 3;
  EXPECT_EQ(Dorvik_INIT(&bad), 1);
  EXPECT_STREQ(Dorvik_ErrorMSG(&bad), "[0x20] Invalid service.");
  DORVIK_T ser{};
  ser.iface = LINK_SERIAL;
  snprintf(ser.device, sizeof ser.device, "/nonexistent/tty");
  ser.ser.speed = 9600;
  ser.ser.data_bits = 8;
  EXPECT_EQ(Dorvik_INIT(&ser), 1);
  EXPECT_EQ(ser.error.load(), 65521u);
  EXPECT_EQ(kt::MaskBuildStamps(Dorvik_VERSION()), "Ver 3.5 <stamp>");
}

TEST(Services, EveryServiceFailsAtOnceAfterExit) {
  FakeLink f;
  Dorvik_EXIT(&f.link);
  f.link.error = 7;  // must stay as it is
  DORVIK_T* l = &f.link;
  unsigned char b[2000] = {0, 2, 0, 0, 4}, fb[252] = {0, 2}, sb[252] = {0, 0xFF};
  const int rc[] = {Dorvik_CONNECT(l),        Dorvik_IDENT(l, b),     Dorvik_LOGOUT(l),
                    Dorvik_GETSW(l, b),       Dorvik_GETERR(l, b),    Dorvik_SETCW(l, b),
                    Dorvik_MASKCW(l, b),      Dorvik_READN(l, b, 1),  Dorvik_READB(l, b, 1),
                    Dorvik_WRITEN(l, b, 1),   Dorvik_WRITEB(l, b, 1), Dorvik_FILETRANSFER(l, fb),
                    Dorvik_SHMTRANSFER(l, sb)};
  const int want[] = {1, -1, -1, -1, -1, 1, 1, -1, -1, 1, 1, -1, -1};
  for (size_t i = 0; i < sizeof rc / sizeof rc[0]; i++) EXPECT_EQ(rc[i], want[i]) << i;
  EXPECT_TRUE(f.ep.requests.empty());
  EXPECT_EQ(f.link.error.load(), 7u);
}

TEST(Services, ConnectionAndStatus) {
  FakeLink f;
  unsigned char out[300];
  f.ep.reply = FakeLink::Short(0x00);
  EXPECT_EQ(Dorvik_CONNECT(&f.link), 0);
  EXPECT_EQ(f.ep.requests.back(), (Bytes{0x10, 0, 5, 0x69, 0x6E, 0x16}));
  EXPECT_EQ(f.ep.expected.back(), 6);

  Bytes ident = {4, 3, 2, 1, 'C', 'P', 'U', '1', 'V', '2', 'X', 'Y', 'Z', 'Q'};
  f.ep.reply = FakeLink::Long(0x00, ident);
  ASSERT_EQ(Dorvik_IDENT(&f.link, out), static_cast<int>(ident.size()));
  EXPECT_EQ(Bytes(out, out + ident.size()), ident);
  EXPECT_EQ(f.ep.requests.back(), (Bytes{0x10, 0, 5, 0x6E, 0x73, 0x16}));
  EXPECT_EQ(f.ep.expected.back(), 255);
  const struct {
    const char* what;
    Bytes reply;
    uint32_t code;
  } bad_idents[] = {
      {"data reply FC", FakeLink::Long(0x08, ident), 23},
      {"nothing usable: LE 0", {}, 84},
      {"LE past the 255 bytes expected", FakeLink::Long(0x00, Bytes(250, 'x')), 84},
  };
  for (const auto& r : bad_idents) {
    f.ep.reply = r.reply;
    EXPECT_EQ(Dorvik_IDENT(&f.link, out), -1) << r.what;
    EXPECT_EQ(f.link.error.load(), r.code) << r.what;
  }

  f.ep.reply = FakeLink::Long(0x08, {0x12, 0x34});
  EXPECT_EQ(Dorvik_GETSW(&f.link, out), 2);
  EXPECT_EQ(out[0], 0x12);
  EXPECT_EQ(f.ep.requests.back(), Request(0x6C, {0x0A}));
  EXPECT_EQ(Dorvik_GETERR(&f.link, out), 2);
  EXPECT_EQ(f.ep.requests.back(), Request(0x6C, {0x0E}));
}

TEST(Services, AcknowledgedControlServices) {
  FakeLink f;
  const unsigned char cw[] = {0xEE, 0x01, 0x02, 0x03, 0x04};
  // SETCW is acknowledged by 0xE5 and by a short FC 0x00 frame (longer than the 1 byte expected).
  for (const Bytes& ack : {Bytes{0xE5}, FakeLink::Short(0x00)}) {
    f.ep.reply = ack;
    EXPECT_EQ(Dorvik_SETCW(&f.link, cw), 0);
    EXPECT_EQ(f.link.error.load(), 0u);
    EXPECT_EQ(f.ep.requests.back(), Request(0x63, {0x09, 0x01, 0x02}));
    EXPECT_EQ(f.ep.expected.back(), 1);
  }
  f.ep.reply = FakeLink::Short(0x02);
  EXPECT_EQ(Dorvik_SETCW(&f.link, cw), 1);
  EXPECT_EQ(f.link.error.load(), 258u);

  f.ep.reply = {0xE5};
  EXPECT_EQ(Dorvik_MASKCW(&f.link, cw), 0);
  EXPECT_EQ(f.ep.requests.back(), Request(0x63, {0x11, 1, 2, 3, 4}));

  f.ep.reply = FakeLink::Short(0x00);
  EXPECT_EQ(Dorvik_LOGOUT(&f.link), 0);
  EXPECT_EQ(f.ep.requests.back(), Request(0x6C, {0x2D}));
  f.ep.reply = FakeLink::Short(0x08);
  EXPECT_EQ(Dorvik_LOGOUT(&f.link), 1);
  EXPECT_EQ(f.link.error.load(), 23u);
  f.ep.error = 80;
  EXPECT_EQ(Dorvik_LOGOUT(&f.link), -1);
  EXPECT_EQ(f.link.error.load(), 80u);
}

TEST(Services, ReadnPacking) {
  // 3 x 100 bytes: 100 + 100 in the first frame, 100 in the second; 32 bytes, 510 expected.
  FakeLink f;
  Bytes buf = Descriptors({100, 100, 100});
  f.ep.reply = Cat(FakeLink::Long(0x08, Seq(200, 0)), FakeLink::Long(0x08, Seq(100, 200)));
  ASSERT_EQ(Dorvik_READN(&f.link, buf.data(), 3), 300);
  EXPECT_EQ(f.ep.expected[0], 510);
  EXPECT_EQ(f.ep.requests[0], Cat(Request(0x6C, {0x0B, 2, 0, 0, 100, 2, 1, 0, 100}),
                                  Request(0x6C, {0x0B, 2, 2, 0, 100})));
  for (int i = 0; i < 300; i++) ASSERT_EQ(buf[static_cast<size_t>(i)], i % 256);

  // 62 blocks of 1 byte: 61 in the first frame (LE 248), one in the second.
  FakeLink g;
  buf = Descriptors(std::vector<int>(62, 1));
  g.ep.reply = Cat(FakeLink::Long(0x08, Seq(61, 0)), FakeLink::Long(0x08, Seq(1, 61)));
  ASSERT_EQ(Dorvik_READN(&g.link, buf.data(), 62), 62);
  EXPECT_EQ(g.ep.requests[0][1], 248);
  EXPECT_EQ(g.ep.requests[0].size(), 254u + 14u);
  EXPECT_EQ(g.ep.requests[0][254 + 1], 8);

  // A block length of 0 or 247 is refused before anything is sent.
  buf = Descriptors({10, 0});
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 2), -1);
  buf = Descriptors({247});
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 1), -1);
  EXPECT_EQ(f.ep.requests.size(), 1u);
  EXPECT_EQ(f.link.error.load(), 0u);
  // No blocks: one 10-byte frame.
  f.ep.reply = FakeLink::Long(0x08, {});
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 0), 0);
  EXPECT_EQ(f.ep.requests.back(), Request(0x6C, {0x0B}));

  // A one-frame (serial) link sends only the first frame.
  FakeLink s(1);
  buf = Descriptors({200, 100});
  s.ep.reply = FakeLink::Long(0x08, Seq(200, 0));
  EXPECT_EQ(Dorvik_READN(&s.link, buf.data(), 2), 200);
  EXPECT_EQ(s.ep.requests[0].size(), 14u);
  EXPECT_EQ(s.ep.expected[0], 255);
}

TEST(Services, ReadnReplyFaultsAndBounds) {
  FakeLink f;
  const Bytes first = FakeLink::Long(0x08, Seq(200, 0)),
              too_much = FakeLink::Long(0x08, Seq(240, 0));
  const Bytes last = FakeLink::Long(0x08, Seq(100, 0)), refuse = FakeLink::Long(0x0C, {0x30, 0x0E});
  const std::vector<int> three = {100, 100, 100};
  const struct {
    const char* what;
    std::vector<int> lengths;
    size_t room;
    Bytes reply;
    int error, rc;
    uint32_t code;
  } rows[] = {
      {"second frame refuses", three, 2000, Cat(first, refuse), 0, -1, 526},
      {"one frame of two", three, 2000, first, 0, -1, 84},
      {"nothing usable", {5}, 2000, {}, 0, -1, 84},
      {"no answer", {5}, 2000, {}, 80, -1, 80},
      {"shorter reply is the caller's", {5}, 2000, FakeLink::Long(0x08, Seq(4, 0)), 0, 4, 0},
      // The caller's buffer reaches 246 bytes past where the last frame's data starts (here
      // 100); an earlier frame bringing more than it asked for would push the output past it.
      {"earlier frame brings too much", three, 100 + 246, Cat(too_much, last), 0, -1, 84},
      {"last frame may bring 246", {100}, 246, FakeLink::Long(0x08, Seq(246, 0)), 0, 246, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    Bytes buf = Descriptors(r.lengths, r.room);
    f.ep.reply = r.reply;
    f.ep.error = r.error;
    EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), static_cast<unsigned>(r.lengths.size())), r.rc);
    EXPECT_EQ(f.link.error.load(), r.code);
  }
}

TEST(Services, ReadbAndWrites) {
  FakeLink f;
  Bytes buf = Descriptors({1, 1});
  f.ep.reply = FakeLink::Long(0x08, {7, 8});
  EXPECT_EQ(Dorvik_READB(&f.link, buf.data(), 2), 2);
  EXPECT_EQ(f.ep.requests[0], Request(0x6C, {0x0F, 2, 0, 0, 1, 2, 1, 0, 1}));
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 3), (Bytes{7, 8, 0}));  // the rest cleared
  buf = Descriptors(std::vector<int>(63, 1));
  EXPECT_EQ(Dorvik_READB(&f.link, buf.data(), 63), -1);  // does not fit one frame
  EXPECT_EQ(f.ep.requests.size(), 1u);

  // WRITEN: descriptor and data after FC 0x63, 0x0C; one byte expected.
  unsigned char wn[] = {0, 0x02, 0x10, 0x00, 2, 0xAB, 0xCD};
  f.ep.reply = {0xE5};
  EXPECT_EQ(Dorvik_WRITEN(&f.link, wn, 1), 0);
  EXPECT_EQ(f.ep.requests.back(), Request(0x63, {0x0C, 0x02, 0x10, 0x00, 2, 0xAB, 0xCD}));
  EXPECT_EQ(f.ep.expected.back(), 1);
  // Only 0xE5 acknowledges a write; a short frame fails with 84.
  unsigned char wb[] = {0, 0x02, 0x10, 0x00, 0x83};
  f.ep.reply = FakeLink::Short(0x00);
  EXPECT_EQ(Dorvik_WRITEB(&f.link, wb, 1), 1);
  EXPECT_EQ(f.link.error.load(), 84u);
  EXPECT_EQ(f.ep.requests.back(), Request(0x63, {0x10, 0x02, 0x10, 0x00, 0x83}));
  f.ep.reply = {0xE5};
  EXPECT_EQ(Dorvik_WRITEB(&f.link, wb, 1), 0);

  // Records that cannot fit one frame are not sent.
  Bytes big(600, 0);
  big[4] = 200;
  big[1 + 204 + 3] = 100;
  size_t before = f.ep.requests.size();
  EXPECT_EQ(Dorvik_WRITEN(&f.link, big.data(), 2), 1);
  EXPECT_EQ(f.ep.requests.size(), before);
}

TEST(Services, CallsFromSeveralThreadsDoNotInterleave) {
  FakeLink f;
  f.ep.reply = {0xE5};
  const unsigned char cw[] = {0, 1, 2};
  auto worker = [&] {
    for (int i = 0; i < 200; i++) EXPECT_EQ(Dorvik_SETCW(&f.link, cw), 0);
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(f.ep.requests.size(), 400u);
}
