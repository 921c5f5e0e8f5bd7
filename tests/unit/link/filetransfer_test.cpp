// The file transfer service: request layouts per sub-command, the split of reads and writes into
// 230-byte frames, the reply walk and its bounds; the shared-memory service's sub-command check.
#include <gtest/gtest.h>

#include <cstring>

#include "link/dorvik.h"
#include "link_fake.h"

using lt::Bytes;
using lt::Cat;
using lt::FakeLink;
using lt::Get32;
using lt::Le32;

namespace {

// A read/write record: sub-command, handle, offset, length; room for 5 frames of data.
Bytes Record(unsigned char sub, uint32_t handle, uint32_t offset, uint32_t length) {
  Bytes rec(16 + 5 * 230 + 16, 0);
  rec[1] = sub;
  Bytes h = Le32(handle), o = Le32(offset), l = Le32(length);
  std::copy(h.begin(), h.end(), rec.begin() + 2);
  std::copy(o.begin(), o.end(), rec.begin() + 6);
  std::copy(l.begin(), l.end(), rec.begin() + 10);
  return rec;
}

// Reply data of a read or write frame: status, handle, offset, length, data.
Bytes ReplyData(uint32_t status, uint32_t handle, uint32_t offset, uint32_t length,
                const Bytes& data = {}) {
  return Cat(Cat(Cat(Le32(status), Le32(handle)), Cat(Le32(offset), Le32(length))), data);
}

Bytes Fill(size_t n, unsigned char first) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<unsigned char>(first + i);
  return b;
}

// The 14 parameter bytes of frame `i` of a request (after the 7-byte frame head).
Bytes FrameParams(const Bytes& request, size_t frame_start) {
  return Bytes(request.begin() + static_cast<long>(frame_start) + 7,
               request.begin() + static_cast<long>(frame_start) + 21);
}

}  // namespace

TEST(FileTransfer, OpenSendsTheNameWithItsZero) {
  FakeLink f;
  Bytes rec(252, 0);
  rec[1] = 2;
  rec[2] = 1;  // read
  memcpy(rec.data() + 7, "a.txt", 6);
  f.ep.reply = FakeLink::Long(0x08, Cat(Cat(Le32(0), Le32(9)), Cat(Le32(1234), Bytes(20, 7))));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 0);
  const Bytes& r = f.ep.requests[0];
  EXPECT_EQ(r[1], 16);       // 5 + 11
  EXPECT_EQ(r.size(), 22u);  // 13 record bytes + frame
  EXPECT_EQ(r[6], 0x6C);
  EXPECT_EQ(r[7], 0x28);  // service code in place of byte 0
  EXPECT_EQ(r[8], 2);
  EXPECT_EQ(r[19], 0);  // the name's zero
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[14]), 5), "a.txt");
  EXPECT_EQ(Get32(rec.data() + 4), 9u);  // handle
  EXPECT_EQ(Get32(rec.data() + 8), 1234u);

  // A name that does not end within what one frame carries is not sent.
  Bytes longname(400, 'n');
  longname[1] = 2;
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, longname.data()), -1);
  EXPECT_EQ(f.ep.requests.size(), 1u);
}

TEST(FileTransfer, OtherSubCommandLayouts) {
  FakeLink f;
  f.ep.reply = FakeLink::Long(0x08, Le32(0));
  Bytes rec(252, 0);
  rec[1] = 3;
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 0);
  EXPECT_EQ(f.ep.requests[0][1], 26);
  rec[1] = 1;
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 0);
  EXPECT_EQ(f.ep.requests[1][1], 6);
  rec.assign(252, 0);
  rec[1] = 6;
  memcpy(rec.data() + 2, "hello", 6);
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 0);
  EXPECT_EQ(f.ep.requests[2][1], 11);
  rec[1] = 9;
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 0);
  EXPECT_EQ(f.ep.requests[3][1], 4);
  // A refusal is the check's code.
  f.ep.reply = FakeLink::Long(0x0C, {0x30, 0x0B});
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), -1);
  EXPECT_EQ(f.link.error.load(), 523u);
}

TEST(FileTransfer, ReadOverUdpInThreeFrames) {
  FakeLink f;
  Bytes rec = Record(4, 7, 0, 500);
  Bytes data = Fill(500, 0);
  f.ep.reply = Cat(
      Cat(FakeLink::Long(0x08, ReplyData(0, 7, 0, 230, Bytes(data.begin(), data.begin() + 230))),
          FakeLink::Long(0x08,
                         ReplyData(0, 7, 230, 230, Bytes(data.begin() + 230, data.begin() + 460)))),
      FakeLink::Long(0x08, ReplyData(0, 7, 460, 40, Bytes(data.begin() + 460, data.end()))));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 500);
  EXPECT_EQ(Bytes(rec.begin() + 16, rec.begin() + 516), data);
  EXPECT_EQ(Get32(rec.data() + 12), 500u);
  const Bytes& r = f.ep.requests[0];
  ASSERT_EQ(r.size(), 3u * 23);
  EXPECT_EQ(f.ep.expected[0], 3 * 255);
  for (size_t i = 0; i < 3; i++) {
    Bytes p = FrameParams(r, i * 23);
    EXPECT_EQ(r[i * 23 + 1], 17);
    EXPECT_EQ(Get32(p.data() + 2), 7u);
    EXPECT_EQ(Get32(p.data() + 6), 230u * i);  // offsets 0, 230, 460
    EXPECT_EQ(Get32(p.data() + 10), 230u);     // every frame asks for 230, the last too
  }
}

TEST(FileTransfer, ReadOnSerialIsOneFrame) {
  FakeLink f(1);
  Bytes rec = Record(4, 7, 0, 500);
  f.ep.reply = FakeLink::Long(0x08, ReplyData(0, 7, 0, 230, Fill(230, 1)));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 230);
  EXPECT_EQ(f.ep.requests[0].size(), 23u);
  EXPECT_EQ(rec[16], 1);
}

TEST(FileTransfer, ReadStopsAtLaterStatusOrEmptyFrame) {
  FakeLink f;
  // Second frame reports status 5 with a length: 5 at offset 0, the first frame's length.
  Bytes rec = Record(4, 7, 0, 500);
  f.ep.reply = Cat(Cat(FakeLink::Long(0x08, ReplyData(0, 7, 0, 230, Fill(230, 0))),
                       FakeLink::Long(0x08, ReplyData(5, 7, 230, 100, Fill(100, 0)))),
                   FakeLink::Long(0x08, ReplyData(0, 7, 460, 40, Fill(40, 0))));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 230);
  EXPECT_EQ(Get32(rec.data()), 5u);
  // Second frame with length 0 (end of file): the first frame's length.
  rec = Record(4, 7, 0, 500);
  f.ep.reply = Cat(FakeLink::Long(0x08, ReplyData(0, 7, 0, 100, Fill(100, 0))),
                   FakeLink::Long(0x08, ReplyData(0, 7, 230, 0)));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 100);
  EXPECT_EQ(Get32(rec.data()), 0u);
}

TEST(FileTransfer, ReadRepliesThatLieAreRefused) {
  FakeLink f;
  // A later frame claiming more data than it carries.
  Bytes rec = Record(4, 7, 0, 460);
  f.ep.reply = Cat(FakeLink::Long(0x08, ReplyData(0, 7, 0, 230, Fill(230, 0))),
                   FakeLink::Long(0x08, ReplyData(0, 7, 230, 200, Fill(10, 0))));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), -1);
  EXPECT_EQ(f.link.error.load(), 84u);
  // The first frame claiming a length it does not carry.
  rec = Record(4, 7, 0, 100);
  f.ep.reply = FakeLink::Long(0x08, ReplyData(0, 7, 0, 0xFFFFFF00u, Fill(4, 0)));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), -1);
  EXPECT_EQ(f.link.error.load(), 84u);
  // Fewer frames than asked for: the missing one fails the check.
  rec = Record(4, 7, 0, 460);
  f.ep.reply = FakeLink::Long(0x08, ReplyData(0, 7, 0, 230, Fill(230, 0)));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), -1);
  // A status-only reply leaves no request bytes in the length field.
  rec = Record(4, 7, 0, 100);
  f.ep.reply = FakeLink::Long(0x08, Le32(3));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 0);
  EXPECT_EQ(Get32(rec.data()), 3u);
  // Length 0 or negative: no frame.
  size_t before = f.ep.requests.size();
  rec = Record(4, 7, 0, 0);
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), -1);
  rec = Record(5, 7, 0, 0x80000000u);
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), -1);
  EXPECT_EQ(f.ep.requests.size(), before);
}

TEST(FileTransfer, WriteInTwoFrames) {
  FakeLink f;
  Bytes rec = Record(5, 3, 1000, 300);
  Bytes data = Fill(300, 9);
  std::copy(data.begin(), data.end(), rec.begin() + 14);
  f.ep.reply = Cat(FakeLink::Long(0x08, ReplyData(0, 3, 1000, 230)),
                   FakeLink::Long(0x08, ReplyData(0, 3, 1230, 70)));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 300);
  const Bytes& r = f.ep.requests[0];
  ASSERT_EQ(r.size(), (23u + 230) + (23u + 70));
  EXPECT_EQ(r[1], 17 + 230);
  Bytes p = FrameParams(r, 0);
  EXPECT_EQ(Get32(p.data() + 6), 1000u);
  EXPECT_EQ(Get32(p.data() + 10), 230u);
  EXPECT_EQ(Bytes(r.begin() + 21, r.begin() + 21 + 230), Bytes(data.begin(), data.begin() + 230));
  size_t second = 23 + 230;
  EXPECT_EQ(r[second + 1], 17 + 70);
  p = FrameParams(r, second);
  EXPECT_EQ(Get32(p.data() + 6), 1230u);
  EXPECT_EQ(Get32(p.data() + 10), 70u);
  EXPECT_EQ(
      Bytes(r.begin() + static_cast<long>(second) + 21, r.begin() + static_cast<long>(second) + 91),
      Bytes(data.begin() + 230, data.end()));
  EXPECT_EQ(Get32(rec.data() + 12), 300u);
}

TEST(FileTransfer, ShmTransfer) {
  FakeLink f;
  unsigned char rec[252] = {0, 0x01};
  testing::internal::CaptureStderr();
  EXPECT_EQ(Dorvik_SHMTRANSFER(&f.link, rec), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Dorvik_SHMTRANSFER(): Unsupported sub command: 0x01\n");
  EXPECT_TRUE(f.ep.requests.empty());

  unsigned char ok[252] = {0, 0xFF, 1, 2, 3, 4};
  f.ep.reply = FakeLink::Long(0x08, {9, 8, 7});
  EXPECT_EQ(Dorvik_SHMTRANSFER(&f.link, ok), 3);
  EXPECT_EQ(ok[0], 9);
  const Bytes& r = f.ep.requests[0];
  ASSERT_EQ(r.size(), 19u);
  EXPECT_EQ(r[1], 13);
  EXPECT_EQ(Bytes(r.begin() + 7, r.begin() + 17), (Bytes{0x2A, 0xFF, 1, 2, 3, 4, 0xFF, 0, 0, 0}));
}
