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

namespace {

// READN input: byte 0 reserved, then one descriptor per length.
Bytes Descriptors(const std::vector<int>& lengths, size_t room = 2000) {
  Bytes buf(room, 0xAA);
  buf[0] = 0;
  for (size_t k = 0; k < lengths.size(); k++) {
    buf[1 + 4 * k] = 0x02;  // register selector
    buf[2 + 4 * k] = static_cast<unsigned char>(k);
    buf[3 + 4 * k] = 0;
    buf[4 + 4 * k] = static_cast<unsigned char>(lengths[k]);
  }
  return buf;
}

Bytes Data(int n, unsigned char first) {
  Bytes d(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) d[static_cast<size_t>(i)] = static_cast<unsigned char>(first + i);
  return d;
}

}  // namespace

TEST(Services, InitOpensUdpAndRefusesUnknownInterface) {
  DORVIK_T link{};
  link.iface = 1;
  link.port = 0;
  link.timeout = -5;
  snprintf(link.ip, sizeof link.ip, "127.0.0.1");
  ASSERT_EQ(Dorvik_INIT(&link), 0);
  EXPECT_EQ(link.port, 61682);
  EXPECT_EQ(link.max_frames, 5);
  EXPECT_EQ(link.timeout, 0);
  EXPECT_GT(link.handle, 0);
  EXPECT_EQ(ntohs(link.udp.plc.sin_port), 61682);
  EXPECT_EQ(link.req[0], 0x68);
  EXPECT_EQ(link.sreq[0], 0x10);
  EXPECT_EQ(Dorvik_EXIT(&link), 0);
  EXPECT_EQ(link.handle, 0);
  EXPECT_EQ(link.send.load(), nullptr);

  DORVIK_T bad{};
  bad.iface = 3;
  EXPECT_EQ(Dorvik_INIT(&bad), 1);
  EXPECT_EQ(bad.error.load(), 32u);
  EXPECT_STREQ(Dorvik_ErrorMSG(&bad), "[0x20] Invalid service.");
  Dorvik_EXIT(&bad);

  DORVIK_T ser{};
  ser.iface = 2;
  snprintf(ser.device, sizeof ser.device, "/nonexistent/tty");
  ser.ser.speed = 9600;
  ser.ser.data_bits = 8;
  EXPECT_EQ(Dorvik_INIT(&ser), 1);
  EXPECT_EQ(ser.error.load(), 65521u);
  Dorvik_EXIT(&ser);
}

TEST(Services, VersionText) {
  std::string v = Dorvik_VERSION();
  EXPECT_EQ(v.rfind("Ver 3.5 ", 0), 0u);
  EXPECT_EQ(kt::MaskBuildStamps(v), "Ver 3.5 <stamp>") << v;
}

TEST(Services, EveryServiceFailsAtOnceAfterExit) {
  FakeLink f;
  Dorvik_EXIT(&f.link);
  f.link.error = 7;  // must stay as it is
  unsigned char buf[2000] = {0, 2, 0, 0, 4};
  unsigned char in[8] = {};
  EXPECT_EQ(Dorvik_CONNECT(&f.link), 1);
  EXPECT_EQ(Dorvik_IDENT(&f.link, buf), -1);
  EXPECT_EQ(Dorvik_LOGOUT(&f.link), -1);
  EXPECT_EQ(Dorvik_GETSW(&f.link, buf), -1);
  EXPECT_EQ(Dorvik_GETERR(&f.link, buf), -1);
  EXPECT_EQ(Dorvik_SETCW(&f.link, in), 1);
  EXPECT_EQ(Dorvik_MASKCW(&f.link, in), 1);
  EXPECT_EQ(Dorvik_READN(&f.link, buf, 1), -1);
  EXPECT_EQ(Dorvik_READB(&f.link, buf, 1), -1);
  EXPECT_EQ(Dorvik_WRITEN(&f.link, buf, 1), 1);
  EXPECT_EQ(Dorvik_WRITEB(&f.link, buf, 1), 1);
  buf[1] = 2;
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, buf), -1);
  buf[1] = 0xFF;
  EXPECT_EQ(Dorvik_SHMTRANSFER(&f.link, buf), -1);
  EXPECT_TRUE(f.ep.requests.empty());
  EXPECT_EQ(f.link.error.load(), 7u);
}

TEST(Services, ConnectAndIdent) {
  FakeLink f;
  f.ep.reply = FakeLink::Short(0x00);
  EXPECT_EQ(Dorvik_CONNECT(&f.link), 0);
  EXPECT_EQ(f.ep.requests[0], (Bytes{0x10, 0, 5, 0x69, 0x6E, 0x16}));
  EXPECT_EQ(f.ep.expected[0], 6);

  f.ep.error = 80;  // nothing arrives
  EXPECT_EQ(Dorvik_CONNECT(&f.link), 1);
  EXPECT_EQ(f.link.error.load(), 80u);
  f.ep.error = 0;

  Bytes ident = {4, 3, 2, 1, 'C', 'P', 'U', '1', 'V', '2', 'X', 'Y', 'Z', 'Q'};
  f.ep.reply = FakeLink::Long(0x00, ident);
  unsigned char out[300];
  ASSERT_EQ(Dorvik_IDENT(&f.link, out), static_cast<int>(ident.size()));
  EXPECT_EQ(Bytes(out, out + ident.size()), ident);
  EXPECT_EQ(f.ep.requests.back(), (Bytes{0x10, 0, 5, 0x6E, 0x73, 0x16}));
  EXPECT_EQ(f.ep.expected.back(), 255);

  f.ep.reply = FakeLink::Long(0x08, ident);  // data reply FC, not the identification's
  EXPECT_EQ(Dorvik_IDENT(&f.link, out), -1);
  EXPECT_EQ(f.link.error.load(), 23u);

  f.ep.reply = {};  // nothing usable: LE 0
  EXPECT_EQ(Dorvik_IDENT(&f.link, out), -1);
  EXPECT_EQ(f.link.error.load(), 84u);

  // A frame whose LE runs past the 255 bytes expected is refused, not read on.
  f.ep.reply = FakeLink::Long(0x00, Bytes(250, 'x'));
  EXPECT_EQ(Dorvik_IDENT(&f.link, out), -1);
  EXPECT_EQ(f.link.error.load(), 84u);
}

TEST(Services, StatusWords) {
  FakeLink f;
  unsigned char out[300];
  f.ep.reply = FakeLink::Long(0x08, {0x12, 0x34});
  EXPECT_EQ(Dorvik_GETSW(&f.link, out), 2);
  EXPECT_EQ(out[0], 0x12);
  EXPECT_EQ(f.ep.requests[0], (Bytes{0x68, 4, 4, 0x68, 0, 5, 0x6C, 0x0A, 0x7B, 0x16}));
  EXPECT_EQ(Dorvik_GETERR(&f.link, out), 2);
  EXPECT_EQ(f.ep.requests[1], (Bytes{0x68, 4, 4, 0x68, 0, 5, 0x6C, 0x0E, 0x7F, 0x16}));
  f.ep.reply = FakeLink::Long(0x0C, {0x30, 0x0C});
  EXPECT_EQ(Dorvik_GETSW(&f.link, out), -1);
  EXPECT_EQ(f.link.error.load(), 524u);
}

TEST(Services, AcknowledgedControlServices) {
  FakeLink f;
  const unsigned char cw[] = {0xEE, 0x01, 0x02, 0x03, 0x04};
  f.ep.reply = {0xE5};
  EXPECT_EQ(Dorvik_SETCW(&f.link, cw), 0);
  EXPECT_EQ(f.ep.requests[0], (Bytes{0x68, 6, 6, 0x68, 0, 5, 0x63, 0x09, 0x01, 0x02, 0x74, 0x16}));
  EXPECT_EQ(f.ep.expected[0], 1);
  EXPECT_EQ(f.link.error.load(), 0u);

  f.ep.reply = FakeLink::Short(0x00);  // longer than the 1 byte expected: copied all the same
  EXPECT_EQ(Dorvik_SETCW(&f.link, cw), 0);
  EXPECT_EQ(f.link.error.load(), 0u);

  f.ep.reply = FakeLink::Short(0x02);
  EXPECT_EQ(Dorvik_SETCW(&f.link, cw), 1);
  EXPECT_EQ(f.link.error.load(), 258u);

  f.ep.reply = {0xE5};
  EXPECT_EQ(Dorvik_MASKCW(&f.link, cw), 0);
  EXPECT_EQ(f.ep.requests.back(),
            (Bytes{0x68, 8, 8, 0x68, 0, 5, 0x63, 0x11, 1, 2, 3, 4, 0x83, 0x16}));

  f.ep.reply = FakeLink::Short(0x00);
  EXPECT_EQ(Dorvik_LOGOUT(&f.link), 0);
  EXPECT_EQ(f.ep.requests.back(), (Bytes{0x68, 4, 4, 0x68, 0, 5, 0x6C, 0x2D, 0x9E, 0x16}));
  f.ep.reply = FakeLink::Short(0x08);
  EXPECT_EQ(Dorvik_LOGOUT(&f.link), 1);
  EXPECT_EQ(f.link.error.load(), 23u);
  f.ep.error = 80;
  EXPECT_EQ(Dorvik_LOGOUT(&f.link), -1);
  EXPECT_EQ(f.link.error.load(), 80u);
}

TEST(Services, ReadnPacksBlocksIntoFrames) {
  // 3 x 100 bytes: 100 + 100 in the first frame, 100 in the second; 32 bytes, 510 expected.
  FakeLink f;
  Bytes buf = Descriptors({100, 100, 100});
  f.ep.reply = Cat(FakeLink::Long(0x08, Data(200, 0)), FakeLink::Long(0x08, Data(100, 200)));
  ASSERT_EQ(Dorvik_READN(&f.link, buf.data(), 3), 300);
  EXPECT_EQ(f.ep.requests[0].size(), 32u);
  EXPECT_EQ(f.ep.expected[0], 510);
  const Bytes& r = f.ep.requests[0];
  EXPECT_EQ(r[1], 12);  // 4 * 2 + 4
  EXPECT_EQ(r[7], 0x0B);
  EXPECT_EQ(r[8 + 3], 100);
  EXPECT_EQ(r[17], 0x16);
  EXPECT_EQ(r[18], 0x68);
  EXPECT_EQ(r[19], 8);  // second frame: one descriptor
  EXPECT_EQ(r[25], 0x0B);
  EXPECT_EQ(r[26 + 1], 2);  // third descriptor's address
  for (int i = 0; i < 300; i++) ASSERT_EQ(buf[static_cast<size_t>(i)], i % 256);

  // 62 blocks of 1 byte: 61 in the first frame (LE 248), one in the second.
  FakeLink g;
  buf = Descriptors(std::vector<int>(62, 1));
  g.ep.reply = Cat(FakeLink::Long(0x08, Data(61, 0)), FakeLink::Long(0x08, Data(1, 61)));
  ASSERT_EQ(Dorvik_READN(&g.link, buf.data(), 62), 62);
  EXPECT_EQ(g.ep.requests[0][1], 248);
  EXPECT_EQ(g.ep.requests[0].size(), 254u + 14u);
  EXPECT_EQ(g.ep.requests[0][254 + 1], 8);
}

TEST(Services, ReadnRefusesBadBlockLengthsAndHandlesNoBlocks) {
  FakeLink f;
  Bytes buf = Descriptors({10, 0});
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 2), -1);
  buf = Descriptors({247});
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 1), -1);
  EXPECT_TRUE(f.ep.requests.empty());
  EXPECT_EQ(f.link.error.load(), 0u);

  f.ep.reply = FakeLink::Long(0x08, {});
  buf = Descriptors({});
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 0), 0);
  EXPECT_EQ(f.ep.requests[0], (Bytes{0x68, 4, 4, 0x68, 0, 5, 0x6C, 0x0B, 0x7C, 0x16}));
}

TEST(Services, ReadnOnOneFrameLinkSendsOnlyTheFirstFrame) {
  FakeLink f(1);  // serial
  Bytes buf = Descriptors({200, 100});
  f.ep.reply = FakeLink::Long(0x08, Data(200, 0));
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 2), 200);
  EXPECT_EQ(f.ep.requests[0].size(), 14u);
  EXPECT_EQ(f.ep.expected[0], 255);
}

TEST(Services, ReadnReplyFaults) {
  FakeLink f;
  Bytes buf = Descriptors({100, 100, 100});
  // The second frame refuses with 0x30 0x0E.
  f.ep.reply = Cat(FakeLink::Long(0x08, Data(200, 0)), FakeLink::Long(0x0C, {0x30, 0x0E}));
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 3), -1);
  EXPECT_EQ(f.link.error.load(), 526u);
  // Only one frame arrives although two were asked for.
  buf = Descriptors({100, 100, 100});
  f.ep.reply = FakeLink::Long(0x08, Data(200, 0));
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 3), -1);
  EXPECT_EQ(f.link.error.load(), 84u);
  // Nothing arrives.
  f.ep.reply = {};
  buf = Descriptors({5});
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 1), -1);
  EXPECT_EQ(f.link.error.load(), 84u);
  f.ep.error = 80;
  buf = Descriptors({5});
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 1), -1);
  EXPECT_EQ(f.link.error.load(), 80u);
  f.ep.error = 0;
  // A shorter reply than asked is the caller's to judge.
  buf = Descriptors({5});
  f.ep.reply = FakeLink::Long(0x08, Data(4, 0));
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 1), 4);
}

TEST(Services, ReadnNeverWritesPastItsContract) {
  // The caller's buffer reaches 246 bytes past where the last frame's data starts (here 100).
  // An earlier frame bringing more than it asked for would push the output past that.
  FakeLink f;
  Bytes buf = Descriptors({100, 100, 100}, 100 + 246);
  f.ep.reply = Cat(FakeLink::Long(0x08, Data(240, 0)), FakeLink::Long(0x08, Data(100, 0)));
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 3), -1);
  EXPECT_EQ(f.link.error.load(), 84u);
  // The last frame may bring up to 246 bytes.
  buf = Descriptors({100}, 246);
  f.ep.reply = FakeLink::Long(0x08, Data(246, 0));
  EXPECT_EQ(Dorvik_READN(&f.link, buf.data(), 1), 246);
}

TEST(Services, ReadbLayout) {
  FakeLink f;
  Bytes buf = Descriptors({1, 1});
  f.ep.reply = FakeLink::Long(0x08, {7, 8});
  EXPECT_EQ(Dorvik_READB(&f.link, buf.data(), 2), 2);
  EXPECT_EQ(f.ep.requests[0].size(), 18u);
  EXPECT_EQ(f.ep.requests[0][1], 12);
  EXPECT_EQ(f.ep.requests[0][7], 0x0F);
  EXPECT_EQ(buf[0], 7);
  EXPECT_EQ(buf[2], 0);  // cleared
  buf = Descriptors(std::vector<int>(63, 1));
  EXPECT_EQ(Dorvik_READB(&f.link, buf.data(), 63), -1);  // does not fit one frame
  EXPECT_EQ(f.ep.requests.size(), 1u);
}

TEST(Services, WriteLayoutsAndAcknowledgement) {
  FakeLink f;
  // One block of 2 bytes: LE 10, FC 0x63, 0x0C, descriptor, data; 16 bytes.
  unsigned char wn[] = {0, 0x02, 0x10, 0x00, 2, 0xAB, 0xCD};
  f.ep.reply = {0xE5};
  EXPECT_EQ(Dorvik_WRITEN(&f.link, wn, 1), 0);
  Bytes expect = {0x68, 10, 10, 0x68, 0, 5, 0x63, 0x0C, 0x02, 0x10, 0x00, 2, 0xAB, 0xCD};
  unsigned sum = 0;
  for (size_t i = 4; i < expect.size(); i++) sum += expect[i];
  expect.push_back(static_cast<unsigned char>(sum));
  expect.push_back(0x16);
  EXPECT_EQ(f.ep.requests[0], expect);
  EXPECT_EQ(f.ep.expected[0], 1);

  // Only 0xE5 acknowledges a write; a short frame fails with 84.
  unsigned char wb[] = {0, 0x02, 0x10, 0x00, 0x83};
  f.ep.reply = FakeLink::Short(0x00);
  EXPECT_EQ(Dorvik_WRITEB(&f.link, wb, 1), 1);
  EXPECT_EQ(f.link.error.load(), 84u);
  EXPECT_EQ(f.ep.requests[1],
            (Bytes{0x68, 8, 8, 0x68, 0, 5, 0x63, 0x10, 0x02, 0x10, 0x00, 0x83,
                   static_cast<unsigned char>(5 + 0x63 + 0x10 + 2 + 0x10 + 0x83), 0x16}));
  f.ep.reply = {0xE5};
  EXPECT_EQ(Dorvik_WRITEB(&f.link, wb, 1), 0);
  f.ep.error = 80;
  EXPECT_EQ(Dorvik_WRITEN(&f.link, wn, 1), 1);
  EXPECT_EQ(f.link.error.load(), 80u);
  f.ep.error = 0;

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
