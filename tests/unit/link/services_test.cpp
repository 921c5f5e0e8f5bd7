// Opening a link and every service over a scripted transport: request layouts, reply checks,
// acknowledgement rules, READN packing, file transfers split into frames, the reply walks and
// the bound of every copy-out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <thread>

#include "link/dorvik.h"
#include "link_fake.h"

using lt::Bytes;
using lt::Cat;
using lt::FakeLink;
using lt::Get32;
using lt::Le32;
using lt::Seq;

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

// A read/write record (sub-command, handle, offset, length, data) with room for five frames.
Bytes Record(unsigned char sub, uint32_t handle, uint32_t offset, uint32_t length,
             const Bytes& data = {}) {
  Bytes rec = Fields({0, sub}, handle, offset, length, data);
  rec.resize(16 + 5 * DORVIK_FILE_PIECE);
  return rec;
}

// A reply frame of a read or write (status, handle, offset, length, data), and a request frame.
Bytes Reply(uint32_t status, uint32_t handle, uint32_t offset, uint32_t length,
            const Bytes& data = {}) {
  return FakeLink::Long(0x08, Cat(Le32(status), Fields({}, handle, offset, length, data)));
}
Bytes RwRequest(unsigned char sub, uint32_t handle, uint32_t offset, uint32_t length,
                const Bytes& data = {}) {
  return FakeLink::Request(0x6C, Fields({0x28, sub}, handle, offset, length, data));
}

}  // namespace

TEST(Services, RequestsRepliesAndCodes) {
  const Bytes ident = {4, 3, 2, 1, 'C', 'P', 'U', '1', 'V', '2', 'X', 'Y', 'Z', 'Q'};
  unsigned char out[300];
  unsigned char wn[] = {0, 2, 0x10, 0, 2, 0xAB, 0xCD}, wb[] = {0, 2, 0x10, 0, 0x83};
  using Call = std::function<int(DORVIK_T*)>;
  const Call id = [&](DORVIK_T* l) { return Dorvik_IDENT(l, out); };
  const Call writen = [&](DORVIK_T* l) { return Dorvik_WRITEN(l, wn, 1); };
  const Call writeb = [&](DORVIK_T* l) { return Dorvik_WRITEB(l, wb, 1); };
  const Bytes id_req = {0x10, 2, 5, 0x6E, 0x75, 0x16};
  const Bytes wn_req = Request(0x63, {0x0C, 2, 0x10, 0, 2, 0xAB, 0xCD}),
              wb_req = Request(0x63, {0x10, 2, 0x10, 0, 0x83});
  const auto L = FakeLink::Long;
  const auto S = FakeLink::Short;
  const struct {
    const char* what;
    Call call;
    Bytes reply;
    int rc;
    uint32_t code;
    Bytes request;
    int expect;
    Bytes out;
  } rows[] = {
      {"IDENT", id, L(0, ident), 14, 0, id_req, 255, ident},
      {"IDENT with the data FC", id, L(8, ident), -1, 23, id_req, 255, {}},
      {"IDENT nothing usable: LE 0", id, {}, -1, 84, id_req, 255, {}},
      {"IDENT LE past the 255 expected", id, L(0, Bytes(250, 1)), -1, 84, id_req, 255, {}},
      // The writes are acknowledged by 0xE5 only.
      {"WRITEN", writen, {0xE5}, 0, 0, wn_req, 1, {}},
      {"WRITEB", writeb, {0xE5}, 0, 0, wb_req, 1, {}},
      {"WRITEB only by 0xE5", writeb, S(0), 1, 84, wb_req, 1, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    FakeLink f;
    f.ep.reply = r.reply;
    memset(out, 0xAA, sizeof out);
    EXPECT_EQ(r.call(&f.link), r.rc);
    EXPECT_EQ(f.link.error.load(), r.code);
    ASSERT_EQ(f.ep.requests.size(), 1u);
    EXPECT_EQ(f.ep.requests[0], r.request);
    EXPECT_EQ(f.ep.expected[0], r.expect);
    EXPECT_EQ(Bytes(out, out + r.out.size()), r.out);
    // A closed link fails at once: nothing sent, the error code left alone.
    Dorvik_EXIT(&f.link);
    f.link.error = 7;
    EXPECT_EQ(std::abs(r.call(&f.link)), 1);
    EXPECT_EQ(f.ep.requests.size(), 1u);
    EXPECT_EQ(f.link.error.load(), 7u);
  }
  FakeLink f;  // nothing arrived
  f.ep.error = 80;
  EXPECT_EQ(Dorvik_WRITEN(&f.link, wn, 1), 1);
  EXPECT_EQ(f.link.error.load(), 80u);
}

TEST(Services, ReadnPacking) {
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
}

TEST(Services, ReadnReplyFaultsAndBounds) {
  FakeLink f;
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

TEST(FileTransfer, Open) {
  FakeLink f;
  Bytes open(252, 0);
  open[1] = 2;
  open[2] = 1;  // read
  memcpy(open.data() + 7, "a.txt", 6);
  f.ep.reply = FakeLink::Long(0x08, Cat(Fields({}, 0, 9, 1234), Bytes(20, 7)));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, open.data()), 0);
  // The service code in place of byte 0, then the record up to and with the name's zero: LE 16.
  EXPECT_EQ(f.ep.requests[0],
            FakeLink::Request(0x6C, Cat({0x28, 2, 1, 0, 0, 0, 0}, {'a', '.', 't', 'x', 't', 0})));
  EXPECT_EQ(Get32(open.data() + 4), 9u);  // handle
  EXPECT_EQ(Get32(open.data() + 8), 1234u);
  Bytes longname(400, 'n');  // a name that does not end within one frame is not sent
  longname[1] = 2;
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, longname.data()), -1);
  EXPECT_EQ(f.ep.requests.size(), 1u);

  f.ep.reply = FakeLink::Long(0x0C, {0x30, 0x0B});  // a refusal is the check's code
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, open.data()), -1);
  EXPECT_EQ(f.link.error.load(), 523u);

  DORVIK_T closed{};
  EXPECT_EQ(Dorvik_FILETRANSFER(&closed, open.data()), -1);
}

TEST(FileTransfer, ReadsAndWritesInFrames) {
  // 500 bytes over UDP: three frames each asking for 230, answered with 230, 230 and 40.
  FakeLink f;
  Bytes rec = Record(4, 7, 0, 500);
  f.ep.reply = Cat(Cat(Reply(0, 7, 0, 230, Seq(230, 0)), Reply(0, 7, 230, 230, Seq(230, 230))),
                   Reply(0, 7, 460, 40, Seq(40, 460)));
  EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), 500);
  EXPECT_EQ(Bytes(rec.begin() + 16, rec.begin() + 516), Seq(500, 0));
  EXPECT_EQ(Get32(rec.data() + 12), 500u);
  EXPECT_EQ(f.ep.requests[0], Cat(Cat(RwRequest(4, 7, 0, 230), RwRequest(4, 7, 230, 230)),
                                  RwRequest(4, 7, 460, 230)));
  EXPECT_EQ(f.ep.expected[0], 3 * 255);
  // On a serial link one frame.
  FakeLink s(1);
  rec = Record(4, 7, 0, 500);
  s.ep.reply = Reply(0, 7, 0, 230, Seq(230, 1));
  EXPECT_EQ(Dorvik_FILETRANSFER(&s.link, rec.data()), 230);
  EXPECT_EQ(s.ep.requests[0], RwRequest(4, 7, 0, 230));
  EXPECT_EQ(rec[16], 1);
  // 300 bytes written at 1000: pieces of 230 and 70; the result is what the PLC reports.
  FakeLink w;
  rec = Record(5, 3, 1000, 300, Seq(300, 0));
  w.ep.reply = Cat(Reply(0, 3, 1000, 230), Reply(0, 3, 1230, 60));
  EXPECT_EQ(Dorvik_FILETRANSFER(&w.link, rec.data()), 290);
  EXPECT_EQ(w.ep.requests[0],
            Cat(RwRequest(5, 3, 1000, 230, Seq(230, 0)), RwRequest(5, 3, 1230, 70, Seq(70, 230))));
}

TEST(FileTransfer, ReadReplyWalk) {
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
    Bytes rec = Record(4, 7, 0, r.length);
    f.ep.reply = r.reply;
    EXPECT_EQ(Dorvik_FILETRANSFER(&f.link, rec.data()), r.rc);
    EXPECT_TRUE(r.rc < 0 || Get32(rec.data()) == r.status);
    EXPECT_EQ(f.link.error.load(), r.code);
    EXPECT_EQ(f.ep.requests.size(), r.reply.empty() ? 0u : 1u);
  }
}
