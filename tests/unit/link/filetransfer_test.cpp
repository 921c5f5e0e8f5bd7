// The file transfer service: request layouts per sub-command, the split of reads and writes into
// 230-byte frames, the reply walk and its bounds; the shared-memory service's sub-command check.
#include <gtest/gtest.h>

#include <cstring>

#include "link/dorvik.h"
#include "link_fake.h"

using lt::Bytes;
using lt::Cat;
using lt::FakeLink;
using lt::FileRecord;
using lt::Get32;
using lt::Le32;
using lt::Seq;

namespace {

// A reply frame of a read or write: status, handle, offset, length, data.
Bytes Reply(uint32_t status, uint32_t handle, uint32_t offset, uint32_t length,
            const Bytes& data = {}) {
  return FakeLink::Long(
      0x08, Cat(Cat(Cat(Le32(status), Le32(handle)), Cat(Le32(offset), Le32(length))), data));
}

Bytes Slice(const Bytes& b, size_t from, size_t n) {
  return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}

// A read/write request frame: service code 0x28, sub-command, handle, offset, length, data.
Bytes RwFrame(unsigned char sub, uint32_t handle, uint32_t offset, uint32_t length,
              const Bytes& data = {}) {
  Bytes params = Cat(Cat({0x28, sub}, Le32(handle)), Cat(Le32(offset), Le32(length)));
  return lt::LongFrame(0, 5, 0x6C, Cat(params, data));
}

}  // namespace

TEST(FileTransfer, OpenAndOtherSubCommands) {
  FakeLink f;
  Bytes rec(252, 0);
  rec[1] = 2;
  rec[2] = 1;  // read
  memcpy(rec.data() + 7, "a.txt", 6);
  f.ep.reply = FakeLink::Long(0x08, Cat(Cat(Le32(0), Le32(9)), Cat(Le32(1234), Bytes(20, 7))));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 0);
  // The service code in place of byte 0, then the record up to and with the name's zero.
  EXPECT_EQ(
      f.ep.requests[0],
      lt::LongFrame(0, 5, 0x6C, Cat({0x28, 2, 1, 0, 0, 0, 0}, Bytes{'a', '.', 't', 'x', 't', 0})));
  EXPECT_EQ(Get32(rec.data() + 4), 9u);  // handle
  EXPECT_EQ(Get32(rec.data() + 8), 1234u);
  // A name that does not end within what one frame carries is not sent.
  Bytes longname(400, 'n');
  longname[1] = 2;
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, longname.data()), -1);
  EXPECT_EQ(f.ep.requests.size(), 1u);

  // LE of close (3), delete (1), a name (6) and 9.
  const struct {
    unsigned char sub;
    int le;
  } rows[] = {{3, 26}, {1, 6}, {6, 11}, {9, 4}};
  f.ep.reply = FakeLink::Long(0x08, Le32(0));
  for (const auto& r : rows) {
    Bytes other(252, 0);
    other[1] = r.sub;
    memcpy(other.data() + 2, "hello", 6);
    EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, other.data()), 0);
    EXPECT_EQ(f.ep.requests.back()[1], r.le) << int(r.sub);
  }
  // A refusal is the check's code.
  f.ep.reply = FakeLink::Long(0x0C, {0x30, 0x0B});
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), -1);
  EXPECT_EQ(f.link.error.load(), 523u);
}

TEST(FileTransfer, Read) {
  // 500 bytes over UDP: three frames each asking for 230, answered with 230, 230 and 40.
  FakeLink f;
  Bytes rec = FileRecord(4, 7, 0, 500), data = Seq(500, 0);
  f.ep.reply = Cat(
      Cat(Reply(0, 7, 0, 230, Slice(data, 0, 230)), Reply(0, 7, 230, 230, Slice(data, 230, 230))),
      Reply(0, 7, 460, 40, Slice(data, 460, 40)));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 500);
  EXPECT_EQ(Slice(rec, 16, 500), data);
  EXPECT_EQ(Get32(rec.data() + 12), 500u);
  EXPECT_EQ(f.ep.requests[0],
            Cat(Cat(RwFrame(4, 7, 0, 230), RwFrame(4, 7, 230, 230)), RwFrame(4, 7, 460, 230)));
  EXPECT_EQ(f.ep.expected[0], 3 * 255);

  // On a serial link one frame.
  FakeLink s(1);
  rec = FileRecord(4, 7, 0, 500);
  s.ep.reply = Reply(0, 7, 0, 230, Seq(230, 1));
  EXPECT_EQ(Dorvik_FILETRANSFER(&s.link, rec.data()), 230);
  EXPECT_EQ(s.ep.requests[0], RwFrame(4, 7, 0, 230));
  EXPECT_EQ(rec[16], 1);
}

TEST(FileTransfer, ReadReplyWalk) {
  const struct {
    const char* what;
    uint32_t length;
    Bytes reply;
    int rc;
    uint32_t status, code;
  } rows[] = {
      // A later frame with status 5 or with length 0 ends the read at the earlier frames.
      {"later status 5", 500,
       Cat(Cat(Reply(0, 7, 0, 230, Seq(230, 0)), Reply(5, 7, 230, 100, Seq(100, 0))),
           Reply(0, 7, 460, 40, Seq(40, 0))),
       230, 5, 0},
      {"later length 0", 500, Cat(Reply(0, 7, 0, 100, Seq(100, 0)), Reply(0, 7, 230, 0)), 100, 0,
       0},
      {"status only", 100, FakeLink::Long(0x08, Le32(3)), 0, 3, 0},
      // Replies that claim more than they carry, or miss a frame, are refused.
      {"later frame lies", 460,
       Cat(Reply(0, 7, 0, 230, Seq(230, 0)), Reply(0, 7, 230, 200, Seq(10, 0))), -1, 0, 84},
      {"first frame lies", 100, Reply(0, 7, 0, 0xFFFFFF00u, Seq(4, 0)), -1, 0, 84},
      {"frame missing", 460, Reply(0, 7, 0, 230, Seq(230, 0)), -1, 0, 16},  // zeros fail SD
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    FakeLink f;
    Bytes rec = FileRecord(4, 7, 0, r.length);
    f.ep.reply = r.reply;
    EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), r.rc);
    if (r.rc >= 0) {
      EXPECT_EQ(Get32(rec.data()), r.status);
    }
    EXPECT_EQ(f.link.error.load(), r.code);
  }
  // Length 0 or negative: no frame.
  FakeLink f;
  Bytes rec = FileRecord(4, 7, 0, 0);
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), -1);
  rec = FileRecord(5, 7, 0, 0x80000000u);
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), -1);
  EXPECT_TRUE(f.ep.requests.empty());
}

TEST(FileTransfer, WriteInTwoFrames) {
  FakeLink f;
  Bytes data = Seq(300, 9), rec = FileRecord(5, 3, 1000, 300, data);
  f.ep.reply = Cat(Reply(0, 3, 1000, 230), Reply(0, 3, 1230, 70));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 300);
  EXPECT_EQ(f.ep.requests[0], Cat(RwFrame(5, 3, 1000, 230, Slice(data, 0, 230)),
                                  RwFrame(5, 3, 1230, 70, Slice(data, 230, 70))));
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
  EXPECT_EQ(f.ep.requests[0], lt::LongFrame(0, 5, 0x6C, {0x2A, 0xFF, 1, 2, 3, 4, 0xFF, 0, 0, 0}));
}
