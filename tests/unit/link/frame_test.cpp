// Checksums, the reply check with every code in its order, and the error texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "link/dorvik.h"
#include "link_fake.h"

using lt::Bytes;
using lt::LongFrame;
using lt::ShortFrame;

namespace {

// Reply check as the services run it for a request with DA 0 (PLC) and SA 5 (server).
uint32_t Check(const Bytes& frame, unsigned char sd, unsigned char fc) {
  DORVIK_T link{};
  Bytes area(300, 0);
  std::copy(frame.begin(), frame.end(), area.begin());
  uint32_t code = Dorvik_FRAMETEST(&link, area.data(), sd, 0, 5, fc);
  EXPECT_EQ(code, link.error.load());
  return code;
}

Bytes With(Bytes b, size_t at, unsigned char v) {
  b[at] = v;
  return b;
}

}  // namespace

TEST(Frame, Checksums) {
  EXPECT_EQ(Dorvik_FCS1(ShortFrame(5, 0, 0x00).data()), 0x05);
  const unsigned char le3[] = {0x68, 3, 3, 0x68, 0x05, 0x00, 0x08, 0x0D, 0x16};
  EXPECT_EQ(Dorvik_FCS2(le3), 0x0D);  // no data: DA + SA + FC
  Bytes l = LongFrame(0xF0, 0x10, 0x08, {0x80, 0x01});
  EXPECT_EQ(Dorvik_FCS2(l.data()), (0xF0 + 0x10 + 0x08 + 0x80 + 0x01) % 256);
  const unsigned char le1[] = {0x68, 1, 1, 0x68, 1, 2, 3, 0x99};
  EXPECT_EQ(Dorvik_FCS2(le1), 6);  // LE below 3 adds nothing
}

TEST(Frame, EveryCheckCodeInOrder) {
  const Bytes good = LongFrame(5, 0, 0x08, {1, 2, 3});
  const Bytes ler_and_addr = With(LongFrame(4, 1, 0x08, {1, 2, 3}), 2, 7);
  const struct {
    const char* what;
    Bytes frame;
    unsigned char sd, fc;
    uint32_t code;
  } rows[] = {
      {"E5 ack", {0xE5}, 0xE5, 0, 0},
      {"short frame is no E5", ShortFrame(5, 0, 0), 0xE5, 0, 84},
      {"unknown expected shape", {0x68}, 0x11, 0, 84},
      {"short good", ShortFrame(5, 0, 0), 0x10, 0, 0},
      {"short SD", {0x11, 5, 0, 0, 5, 0x16}, 0x10, 0, 16},
      {"short DA", ShortFrame(4, 0, 0), 0x10, 0, 20},
      {"short SA", ShortFrame(5, 1, 0), 0x10, 0, 20},
      {"short FC 2", ShortFrame(5, 0, 2), 0x10, 0, 258},
      {"short FC 3", ShortFrame(5, 0, 3), 0x10, 0, 259},
      {"short FC 4", ShortFrame(5, 0, 4), 0x10, 0, 260},
      {"short FC 9", ShortFrame(5, 0, 9), 0x10, 0, 265},
      {"short FC 8", ShortFrame(5, 0, 8), 0x10, 0, 23},
      {"short FCS", {0x10, 5, 0, 0, 6, 0x16}, 0x10, 0, 24},
      {"short ED", {0x10, 5, 0, 0, 5, 0x17}, 0x10, 0, 25},
      {"address before FC", ShortFrame(4, 0, 2), 0x10, 0, 20},
      {"long good", good, 0x68, 8, 0},
      {"long SD", With(good, 0, 0x10), 0x68, 8, 16},
      {"LER before addresses", ler_and_addr, 0x68, 8, 18},
      {"long SD2", With(good, 3, 0x69), 0x68, 8, 19},
      {"long SA", LongFrame(5, 1, 8, {1}), 0x68, 8, 20},
      {"long FC", LongFrame(5, 0, 0, {1}), 0x68, 8, 23},
      {"long FCS", With(good, 10, good[10] ^ 1), 0x68, 8, 24},
      {"long ED", With(good, 11, 0), 0x68, 8, 25},
      {"LE 3 no data", LongFrame(5, 0, 8, {}), 0x68, 8, 0},
      // FC 0x0C with 0x30 n: 0x200 + n for known n, else 560; anything else 8716.
      {"refuse 0x0B", LongFrame(5, 0, 0x0C, {0x30, 0x0B}), 0x68, 8, 523},
      {"refuse 0x0E", LongFrame(5, 0, 0x0C, {0x30, 0x0E}), 0x68, 8, 526},
      {"refuse 20", LongFrame(5, 0, 0x0C, {0x30, 20}), 0x68, 8, 532},
      {"refuse 23", LongFrame(5, 0, 0x0C, {0x30, 23}), 0x68, 8, 535},
      {"refuse 0x15", LongFrame(5, 0, 0x0C, {0x30, 0x15}), 0x68, 8, 560},
      {"refuse 10", LongFrame(5, 0, 0x0C, {0x30, 10}), 0x68, 8, 560},
      {"refuse 22", LongFrame(5, 0, 0x0C, {0x30, 22}), 0x68, 8, 560},
      {"refuse not 0x30", LongFrame(5, 0, 0x0C, {0x31, 0x0B}), 0x68, 8, 8716},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(Check(r.frame, r.sd, r.fc), r.code);
  }
}

TEST(Frame, ErrorMessages) {
  const struct {
    uint32_t code;
    const char* text;
  } rows[] = {
      {0, "[0x00] "},
      {0x1234, "[0x00] "},  // not in the table
      {0x220C, "[0x220c] Communication service invalid parameters."},
      {523, "[0x20b] Invalid parameters of communication services READN / READND."},
      {80, "[0x50] The slave station does not response."},
  };
  for (const auto& r : rows) {
    DORVIK_T link{};
    link.error = r.code;
    EXPECT_STREQ(Dorvik_ErrorMSG(&link), r.text) << r.code;
  }
  EXPECT_STREQ(dorvik_err_msgs[0].cz, "Chybný počáteční znak SD.");

  // The text buffer belongs to the calling thread.
  DORVIK_T a{};
  a.error = 80;
  const char* mine = Dorvik_ErrorMSG(&a);
  std::string other;
  std::thread t([&] {
    DORVIK_T b{};
    b.error = 84;
    other = Dorvik_ErrorMSG(&b);
  });
  t.join();
  EXPECT_STREQ(mine, "[0x50] The slave station does not response.");
  EXPECT_EQ(other, "[0x54] The slave station responded incorrectly.");

  // A zero-filled link record is a closed link whose mutex is usable as it is.
  pthread_mutex_t init = PTHREAD_MUTEX_INITIALIZER, zero;
  memset(&zero, 0, sizeof zero);
  EXPECT_EQ(memcmp(&init, &zero, sizeof zero), 0);
}
