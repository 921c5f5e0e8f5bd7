// The reply check with every code in its order and its bound on what it may read; the error
// texts. (Checksums are checked through the requests the services build.)
#include <gtest/gtest.h>

#include <memory>

#include "link/dorvik.h"
#include "link/link_internal.h"
#include "link_fake.h"

using namespace lt;

namespace {

// The first `avail` bytes of `frame` in an area of exactly that size, so that a read past it
// shows under the address sanitizer.
std::unique_ptr<unsigned char[]> Exact(const Bytes& frame, size_t avail) {
  std::unique_ptr<unsigned char[]> area(new unsigned char[avail ? avail : 1]);
  memcpy(area.get(), frame.data(), std::min(avail, frame.size()));
  return area;
}

Bytes With(Bytes b, size_t at, unsigned char v) {
  b[at] = v;
  return b;
}

}  // namespace

TEST(Frame, EveryCheckCodeInOrderTheAreaBoundAndTheTexts) {
  const Bytes good = LongFrame(5, 3, 0x08, {1, 2, 3});
  const Bytes refuse = LongFrame(5, 3, 0x0C, {0x30, 0x0B});
  const struct {
    const char* what;
    Bytes frame;
    unsigned char sd, fc;
    uint32_t code;
  } rows[] = {
      {"E5 ack", {0xE5}, 0xE5, 0, 0},
      {"short frame is no E5", ShortFrame(5, 3, 0), 0xE5, 0, 84},
      {"unknown expected shape", {0x68}, 0x11, 0, 84},
      {"short good", ShortFrame(5, 3, 0), 0x10, 0, 0},
      {"short SD", With(ShortFrame(5, 3, 0), 0, 0x11), 0x10, 0, 16},
      {"short DA", ShortFrame(4, 3, 0), 0x10, 0, 20},
      {"short SA", ShortFrame(5, 1, 0), 0x10, 0, 20},
      {"address before FC", ShortFrame(4, 3, 2), 0x10, 0, 20},
      {"short FC 2", ShortFrame(5, 3, 2), 0x10, 0, 258},
      {"short FC 3", ShortFrame(5, 3, 3), 0x10, 0, 259},
      {"short FC 4", ShortFrame(5, 3, 4), 0x10, 0, 260},
      {"short FC 9", ShortFrame(5, 3, 9), 0x10, 0, 265},
      {"short FC 8", ShortFrame(5, 3, 8), 0x10, 0, 23},
      {"short FCS", With(ShortFrame(5, 3, 0), 4, 6), 0x10, 0, 24},
      {"short ED", With(ShortFrame(5, 3, 0), 5, 0x17), 0x10, 0, 25},
      {"long good", good, 0x68, 8, 0},
      {"long SD", With(good, 0, 0x10), 0x68, 8, 16},
      {"LER before addresses", With(LongFrame(4, 1, 0x08, {1, 2, 3}), 2, 7), 0x68, 8, 18},
      {"long SD2", With(good, 3, 0x69), 0x68, 8, 19},
      {"long SA", LongFrame(5, 1, 8, {1}), 0x68, 8, 20},
      {"long FC", LongFrame(5, 3, 0, {1}), 0x68, 8, 23},
      {"long FCS", With(good, 10, good[10] ^ 1), 0x68, 8, 24},
      {"long ED", With(good, 11, 0), 0x68, 8, 25},
      {"LE 3 no data", LongFrame(5, 3, 8, {}), 0x68, 8, 0},
      {"LE 4", LongFrame(5, 3, 8, {7}), 0x68, 8, 0},
      {"LE 255", LongFrame(5, 3, 8, Bytes(252, 0xEE)), 0x68, 8, 0},
      // FC 0x0C with 0x30 n: 0x200 + n for n 11..20 and 23, else 560; no 0x30: 8716.
      {"refuse 11", refuse, 0x68, 8, 523},
      {"refuse 14", With(refuse, 8, 14), 0x68, 8, 526},
      {"refuse 20", With(refuse, 8, 20), 0x68, 8, 532},
      {"refuse 23", With(refuse, 8, 23), 0x68, 8, 535},
      {"refuse 10", With(refuse, 8, 10), 0x68, 8, 560},
      {"refuse 21", With(refuse, 8, 21), 0x68, 8, 560},
      {"refuse 22", With(refuse, 8, 22), 0x68, 8, 560},
      {"refuse not 0x30", With(refuse, 7, 0x31), 0x68, 8, 8716},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const int size = static_cast<int>(r.frame.size());
    DORVIK_T link{};  // the request had DA 3 (the PLC) and SA 5 (the server)
    EXPECT_EQ(Dorvik_FRAMETEST(&link, Exact(r.frame, size).get(), r.sd, 3, 5, r.fc), r.code);
    EXPECT_EQ(link.error.load(), r.code);
    EXPECT_EQ(dorvik::FrameCheck(&link, Exact(r.frame, size).get(), size, r.sd, 3, 5, r.fc),
              r.code);
    if (r.code != 0) continue;
    // A good frame whose end lies one byte past what the reply area holds is refused, not read.
    EXPECT_EQ(dorvik::FrameCheck(&link, r.frame.data(), size - 1, r.sd, 3, 5, r.fc), 84u);
    auto cut = Exact(r.frame, size - 1);
    EXPECT_EQ(dorvik::FrameCheck(&link, cut.get(), size - 1, r.sd, 3, 5, r.fc), 84u);
  }
  // The error texts; a code not in the table has none.
  const std::pair<uint32_t, const char*> texts[] = {
      {0, "[0x00] "},
      {0x1234, "[0x00] "},
      {535, "[0x217] Unknown communications service."},
      {65521, "[0xfff1] SERIAL interface can not be initialized."},
  };
  for (const auto& r : texts) {
    DORVIK_T link{};
    link.error = r.first;
    EXPECT_STREQ(Dorvik_ErrorMSG(&link), r.second) << r.first;
  }
  EXPECT_STREQ(dorvik_err_msgs[0].cz, "Chybný počáteční znak SD.");
}
