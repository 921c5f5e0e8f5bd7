// Every service over a scripted transport: request layouts, reply checks, acknowledgement rules,
// READN packing, the file transfer's opening and reply walks, and the bound of every copy-out.
// (Reads and writes in frames go through the simulator in the file tests and conversations.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "link/dorvik.h"
#include "link_fake.h"

using namespace lt;

namespace {

// READN input: byte 0 reserved, then one descriptor (register 2, address k) per length.
Bytes Descriptors(const std::vector<int>& lengths, size_t room = 2000) {
  Bytes buf(room, 0xAA);
  for (size_t k = 0; k < lengths.size(); k++) {
    const unsigned char d[] = {2, static_cast<unsigned char>(k), 0,
                               static_cast<unsigned char>(lengths[k])};
    memcpy(&buf[1 + 4 * k], d, 4);
  }
  return buf;
}

constexpr auto Request = FakeLink::Request;

Bytes Fields(Bytes head, uint32_t a, uint32_t b, uint32_t c, const Bytes& data = {}) {
  return Cat(Cat(Cat(head, Le32(a)), Cat(Le32(b), Le32(c))), data);
}

// A read record (handle 7, offset 0, length) with room for five frames.
Bytes Record(uint32_t length) {
  Bytes rec = Fields({0, 4}, 7, 0, length);
  rec.resize(16 + 5 * DORVIK_FILE_PIECE);
  return rec;
}

// A reply frame of a read or write (status, handle, offset, length, data).
Bytes Reply(uint32_t status, uint32_t handle, uint32_t offset, uint32_t length,
            const Bytes& data = {}) {
  return FakeLink::Long(0x08, Cat(Le32(status), Fields({}, handle, offset, length, data)));
}

}  // namespace

// The layouts and the good replies of the services are the simulator's to check in the
// conversations; here what it cannot show. A reply of the wrong shape is refused with the check's
// code (IDENT takes a long frame with FC 0 within the 255 bytes it expects, the writes 0xE5 only);
// silence is code 80; a closed link fails at once, sending nothing and leaving the code alone.
TEST(Services, WrongRepliesSilenceAndClosedLink) {
  unsigned char out[300], wn[] = {0, 2, 0x10, 0, 2, 0xAB, 0xCD}, wb[] = {0, 2, 0x10, 0, 0x83};
  using Call = std::function<int(DORVIK_T*)>;
  const Call id = [&](DORVIK_T* l) { return Dorvik_IDENT(l, out); };
  const Call writen = [&](DORVIK_T* l) { return Dorvik_WRITEN(l, wn, 1); };
  const Call writeb = [&](DORVIK_T* l) { return Dorvik_WRITEB(l, wb, 1); };
  const struct {
    Call call;
    Bytes reply;
    int error, rc;
    uint32_t code;
  } rows[] = {
      {id, FakeLink::Long(8, Bytes(14, 1)), 0, -1, 23},
      {id, {}, 0, -1, 84},
      {id, FakeLink::Long(0, Bytes(250, 1)), 0, -1, 84},
      {writeb, FakeLink::Short(0), 0, 1, 84},
      {writen, {}, 80, 1, 80},
      {writeb, {0xE5}, 0, 0, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(&r - rows);
    FakeLink f;
    f.ep.reply = r.reply;
    f.ep.error = r.error;
    EXPECT_EQ(r.call(&f.link), r.rc);
    EXPECT_EQ(f.link.error.load(), r.code);
    Dorvik_EXIT(&f.link);
    f.link.error = 7;
    EXPECT_EQ(std::abs(r.call(&f.link)), 1);
    EXPECT_EQ(f.ep.requests.size(), 1u);
    EXPECT_EQ(f.link.error.load(), 7u);
  }
}

TEST(Services, ReadnPackingReplyFaultsAndBounds) {
  // 146 + 100 bytes fill the first frame exactly, the next 100 go into the second; 510 expected.
  FakeLink f;
  Bytes buf = Descriptors({146, 100, 100});
  f.ep.reply = Cat(FakeLink::Long(0x08, Seq(246, 0)), FakeLink::Long(0x08, Seq(100, 246)));
  ASSERT_EQ(Dorvik_READN(&f.link, buf.data(), 3), 346);
  EXPECT_EQ(f.ep.expected[0], 510);
  EXPECT_EQ(f.ep.requests[0], Cat(Request(0x6C, {0x0B, 2, 0, 0, 146, 2, 1, 0, 100}),
                                  Request(0x6C, {0x0B, 2, 2, 0, 100})));
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 346), Seq(346, 0));

  // 62 blocks of 1 byte: 61 in the first frame (LE 248), one in the second.
  FakeLink g;
  buf = Descriptors(std::vector<int>(62, 1));
  g.ep.reply = Cat(FakeLink::Long(0x08, Seq(61, 0)), FakeLink::Long(0x08, Seq(1, 61)));
  ASSERT_EQ(Dorvik_READN(&g.link, buf.data(), 62), 62);
  EXPECT_EQ(g.ep.requests[0][1], 248);
  EXPECT_EQ(g.ep.requests[0].size(), 254u + 14u);
  EXPECT_EQ(g.ep.requests[0][254 + 1], 8);

  // What cannot be sent as asked is not sent at all: a block of 0 or 247 bytes, READB or WRITEN
  // parameters beyond one frame.
  Bytes zero = Descriptors({10, 0}), big = Descriptors({247}), bits = Descriptors({1}), recs(600);
  recs[4] = 200;
  recs[1 + 204 + 3] = 100;
  EXPECT_EQ(Dorvik_READN(&f.link, zero.data(), 2), -1);
  EXPECT_EQ(Dorvik_READN(&f.link, big.data(), 1), -1);
  EXPECT_EQ(Dorvik_READB(&f.link, bits.data(), 63), -1);
  EXPECT_EQ(Dorvik_WRITEN(&f.link, recs.data(), 2), 1);
  EXPECT_EQ(f.ep.requests.size(), 1u);
  EXPECT_EQ(f.link.error.load(), 0u);
  DORVIK_T closed{};
  EXPECT_EQ(Dorvik_READN(&closed, zero.data(), 1), -1);
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

  // Faulty replies, and the bound of the copy-out.
  const Bytes first = FakeLink::Long(0x08, Seq(200, 0)), last = FakeLink::Long(0x08, Seq(100, 0));
  const std::vector<int> three = {100, 100, 100};
  const struct {
    const char* what;
    std::vector<int> lengths;
    size_t room;
    Bytes reply;
    int error, rc;
    uint32_t code;
  } rows[] = {
      {"second frame refuses", three, 2000, Cat(first, FakeLink::Long(0x0C, {0x30, 0x0E})), 0, -1,
       526},
      {"one frame of two", three, 2000, first, 0, -1, 84},
      {"nothing usable", {5}, 2000, {}, 0, -1, 84},
      {"no answer", {5}, 2000, {}, 80, -1, 80},
      {"shorter reply is the caller's", {5}, 2000, FakeLink::Long(0x08, Seq(4, 0)), 0, 4, 0},
      // The caller's buffer reaches 246 bytes past where the last frame's data starts (here
      // 100); an earlier frame bringing more than it asked for would push the output past it.
      {"earlier frame brings too much", three, 100 + 246,
       Cat(FakeLink::Long(0x08, Seq(240, 0)), last), 0, -1, 84},
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

// (Opening a file is checked against the simulator in the file tests.)
TEST(FileTransfer, OpenNotSentOrRefusedAndTheReadReplyWalk) {
  FakeLink f;
  Bytes open(252, 'n');  // a name that does not end within one frame is not sent
  open[1] = 2;
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, open.data()), -1);
  EXPECT_TRUE(f.ep.requests.empty());
  open[100] = 0;
  f.ep.reply = FakeLink::Long(0x0C, {0x30, 0x0B});  // a refusal is the check's code
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, open.data()), -1);
  EXPECT_EQ(f.link.error.load(), 523u);
  DORVIK_T closed{};
  EXPECT_EQ(Dorvik_FILETRANSFER(&closed, open.data()), -1);

  const Bytes first = Reply(0, 7, 0, 230, Seq(230, 0));
  const struct {
    const char* what;
    uint32_t length;
    Bytes reply;
    int rc;
    uint32_t status, code;
  } rows[] = {
      // A later frame with status 5 or with length 0 ends the read at the earlier frames.
      {"later status 5", 500,
       Cat(Cat(first, Reply(5, 7, 230, 100, Seq(100, 0))), Reply(0, 7, 460, 40, Seq(40, 0))), 230,
       5, 0},
      {"later length 0", 500, Cat(Reply(0, 7, 0, 100, Seq(100, 0)), Reply(0, 7, 230, 0)), 100, 0,
       0},
      {"status only", 100, FakeLink::Long(0x08, Le32(3)), 0, 3, 0},
      // Replies that claim more than they carry, or miss a frame, are refused.
      {"later frame claims more", 460, Cat(first, Reply(0, 7, 230, 200, Seq(10, 0))), -1, 0, 84},
      {"first frame claims more", 100, Reply(0, 7, 0, 0xFFFFFF00u, Seq(4, 0)), -1, 0, 84},
      {"frame missing", 460, first, -1, 0, 16},  // zeros fail SD
      {"length 0: no frame", 0, {}, -1, 0, 0},
      {"negative length: no frame", 0x80000000u, {}, -1, 0, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    FakeLink f;
    Bytes rec = Record(r.length);
    f.ep.reply = r.reply;
    EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), r.rc);
    EXPECT_TRUE(r.rc < 0 || Get32(rec.data()) == r.status);
    EXPECT_EQ(f.link.error.load(), r.code);
    EXPECT_EQ(f.ep.requests.size(), r.reply.empty() ? 0u : 1u);
  }
}
