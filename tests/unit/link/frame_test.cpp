// Checksums, the reply check with every code in its order, and the error texts.
#include <gtest/gtest.h>
#include <pthread.h>

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

}  // namespace

TEST(Frame, Checksums) {
  // PLC reply DA 5, SA 0, FC 0x00: FCS 0x05.
  Bytes s = ShortFrame(5, 0, 0x00);
  EXPECT_EQ(Dorvik_FCS1(s.data()), 0x05);
  EXPECT_EQ(s[4], 0x05);
  // LE 3 carries no data: FCS = DA + SA + FC.
  const unsigned char le3[] = {0x68, 3, 3, 0x68, 0x05, 0x00, 0x08, 0x0D, 0x16};
  EXPECT_EQ(Dorvik_FCS2(le3), 0x0D);
  // Data bytes count, modulo 256.
  Bytes l = LongFrame(0xF0, 0x10, 0x08, {0x80, 0x01});
  EXPECT_EQ(Dorvik_FCS2(l.data()), (0xF0 + 0x10 + 0x08 + 0x80 + 0x01) % 256);
  // LE below 3 adds nothing.
  const unsigned char le1[] = {0x68, 1, 1, 0x68, 1, 2, 3, 0x99};
  EXPECT_EQ(Dorvik_FCS2(le1), 6);
}

TEST(Frame, AcknowledgementCheck) {
  EXPECT_EQ(Check({0xE5}, 0xE5, 0), 0u);
  EXPECT_EQ(Check(ShortFrame(5, 0, 0x00), 0xE5, 0), 84u);  // a short frame is no 0xE5
  EXPECT_EQ(Check({0x68}, 0x11, 0), 84u);                  // unknown expected shape
}

TEST(Frame, ShortFrameCheckInOrder) {
  EXPECT_EQ(Check(ShortFrame(5, 0, 0x00), 0x10, 0x00), 0u);
  EXPECT_EQ(Check({0x11, 5, 0, 0, 5, 0x16}, 0x10, 0x00), 16u);
  EXPECT_EQ(Check(ShortFrame(4, 0, 0x00), 0x10, 0x00), 20u);  // DA must be the request's SA
  EXPECT_EQ(Check(ShortFrame(5, 1, 0x00), 0x10, 0x00), 20u);  // SA must be the request's DA
  EXPECT_EQ(Check(ShortFrame(5, 0, 0x02), 0x10, 0x00), 258u);
  EXPECT_EQ(Check(ShortFrame(5, 0, 0x03), 0x10, 0x00), 259u);
  EXPECT_EQ(Check(ShortFrame(5, 0, 0x04), 0x10, 0x00), 260u);
  EXPECT_EQ(Check(ShortFrame(5, 0, 0x09), 0x10, 0x00), 265u);
  EXPECT_EQ(Check(ShortFrame(5, 0, 0x08), 0x10, 0x00), 23u);
  EXPECT_EQ(Check({0x10, 5, 0, 0, 6, 0x16}, 0x10, 0x00), 24u);
  EXPECT_EQ(Check({0x10, 5, 0, 0, 5, 0x17}, 0x10, 0x00), 25u);
  // Address fault comes before FC fault.
  EXPECT_EQ(Check(ShortFrame(4, 0, 0x02), 0x10, 0x00), 20u);
}

TEST(Frame, LongFrameCheckInOrder) {
  Bytes good = LongFrame(5, 0, 0x08, {1, 2, 3});
  EXPECT_EQ(Check(good, 0x68, 0x08), 0u);
  Bytes b = good;
  b[0] = 0x10;
  EXPECT_EQ(Check(b, 0x68, 0x08), 16u);
  // LER differs: 18 even though the addresses are wrong as well.
  b = LongFrame(4, 1, 0x08, {1, 2, 3});
  b[2] = 7;
  EXPECT_EQ(Check(b, 0x68, 0x08), 18u);
  b = good;
  b[3] = 0x69;
  EXPECT_EQ(Check(b, 0x68, 0x08), 19u);
  EXPECT_EQ(Check(LongFrame(5, 1, 0x08, {1}), 0x68, 0x08), 20u);
  EXPECT_EQ(Check(LongFrame(5, 0, 0x00, {1}), 0x68, 0x08), 23u);
  b = good;
  b[10] ^= 1;
  EXPECT_EQ(Check(b, 0x68, 0x08), 24u);
  b = good;
  b[11] = 0;
  EXPECT_EQ(Check(b, 0x68, 0x08), 25u);
  // A frame with LE 3 has no data and passes.
  EXPECT_EQ(Check(LongFrame(5, 0, 0x08, {}), 0x68, 0x08), 0u);
}

TEST(Frame, RefusalCodes) {
  EXPECT_EQ(Check(LongFrame(5, 0, 0x0C, {0x30, 0x0B}), 0x68, 0x08), 523u);
  EXPECT_EQ(Check(LongFrame(5, 0, 0x0C, {0x30, 20}), 0x68, 0x08), 532u);
  EXPECT_EQ(Check(LongFrame(5, 0, 0x0C, {0x30, 23}), 0x68, 0x08), 535u);
  EXPECT_EQ(Check(LongFrame(5, 0, 0x0C, {0x30, 0x0E}), 0x68, 0x08), 526u);
  EXPECT_EQ(Check(LongFrame(5, 0, 0x0C, {0x30, 0x15}), 0x68, 0x08), 560u);
  EXPECT_EQ(Check(LongFrame(5, 0, 0x0C, {0x30, 10}), 0x68, 0x08), 560u);
  EXPECT_EQ(Check(LongFrame(5, 0, 0x0C, {0x30, 22}), 0x68, 0x08), 560u);
  EXPECT_EQ(Check(LongFrame(5, 0, 0x0C, {0x31, 0x0B}), 0x68, 0x08), 8716u);
}

TEST(Frame, ErrorMessages) {
  DORVIK_T link{};
  link.error = 0;
  EXPECT_STREQ(Dorvik_ErrorMSG(&link), "[0x00] ");
  link.error = 0x1234;  // not in the table
  EXPECT_STREQ(Dorvik_ErrorMSG(&link), "[0x00] ");
  link.error = 0x220C;
  EXPECT_STREQ(Dorvik_ErrorMSG(&link), "[0x220c] Communication service invalid parameters.");
  link.error = 523;
  EXPECT_STREQ(Dorvik_ErrorMSG(&link),
               "[0x20b] Invalid parameters of communication services READN / READND.");
  link.error = 80;
  EXPECT_STREQ(Dorvik_ErrorMSG(&link), "[0x50] The slave station does not response.");
  link.error = 16;
  EXPECT_STREQ(Dorvik_ErrorMSG(&link), "[0x10] Invalid start delimiter SD.");
}

TEST(Frame, ErrorTableRowsInOrder) {
  const uint32_t codes[] = {16,  17,  18,  19,  20,  21,   23,  24,    25,    32,  80,
                            84,  258, 259, 260, 265, 8716, 560, 523,   524,   525, 526,
                            527, 528, 529, 530, 531, 532,  535, 65520, 65521, 0};
  size_t i = 0;
  for (; i < sizeof codes / sizeof codes[0]; i++) EXPECT_EQ(dorvik_err_msgs[i].code, codes[i]);
  EXPECT_STREQ(dorvik_err_msgs[i - 1].en, "");
  EXPECT_STREQ(dorvik_err_msgs[0].cz, "Chybný počáteční znak SD.");
  EXPECT_STREQ(dorvik_err_msgs[12].cz, "Neznámá komunikační služba.");
  EXPECT_STREQ(dorvik_err_msgs[18].en,
               "Invalid parameters of communication services READN / READND.");
  EXPECT_STREQ(dorvik_err_msgs[20].cz,
               "V komunikační službě READN / READND se čte neexistující tabulkaz uživatelského "
               "programu.");
  EXPECT_STREQ(dorvik_err_msgs[30].en, "SERIAL interface can not be initialized.");
}

TEST(Frame, ErrorMessageBufferBelongsToTheThread) {
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
}

TEST(Frame, ZeroFilledMutexIsTheStaticInitializer) {
  // A zero-filled link record is a valid closed link with a usable mutex.
  pthread_mutex_t init = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_t zero;
  memset(&zero, 0, sizeof zero);
  EXPECT_EQ(memcmp(&init, &zero, sizeof zero), 0);
}
