// Type names, direct addresses, IdentPlc and crcPLC.
#include "plc/plcdef.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

TEST(PlcDef, TypeNamesAndStringLengths) {
  const std::string overlong(500, 'B');
  const struct {
    const char* text;
    uint8_t type;
    uint32_t size;
  } rows[] = {{"int", PLC_INT, 2},
              {"Int", PLC_INT, 2},
              {"INT", PLC_INT, 2},
              {"STRING[20]", PLC_STRING, 20},
              {"STRING", PLC_STRING, 80},
              {"STRING[0]", PLC_STRING, 80},
              {"STRING[abc]", PLC_STRING, 80},
              {"STRING[300]", PLC_STRING, 255},
              {"STRING[-5]", PLC_STRING, 0},
              {"LREAL[3]", PLC_LREAL, 8},  // argument ignored
              {"FLOAT", PLC_TYPE_NONE, 99},
              {"", PLC_TYPE_NONE, 99},
              {overlong.c_str(), PLC_TYPE_NONE, 99}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    uint32_t size = 99;
    EXPECT_EQ(GetPlcType(row.text, &size), row.type);
    if (row.type != PLC_TYPE_NONE) {
      EXPECT_EQ(size, row.size);
    }
  }
  EXPECT_EQ(SizeofPlcReg(99), 0u);
  EXPECT_EQ(GetPlcTypeName(99), nullptr);
  EXPECT_EQ(GetPlcReg("r"), 255);  // case-sensitive
}

TEST(PlcDef, DirectAddressGrammar) {
  const struct {
    const char* text;
    uint8_t reg;
    uint32_t off;
    uint8_t bit, type;
    uint32_t size;
  } good[] = {{"%R100", PLC_REG_R, 100, 0, PLC_BYTE, 1}, {"%YW4", PLC_REG_Y, 4, 0, PLC_WORD, 2},
              {"%X0.3", PLC_REG_X, 0, 3, PLC_BOOL, 1},   {"%RW10.3", PLC_REG_R, 10, 3, PLC_BOOL, 1},
              {"%SD8", PLC_REG_S, 8, 0, PLC_LREAL, 8},   {"%EF0", 10, 0, 0, PLC_REAL, 4},
              {"%RL2", PLC_REG_R, 2, 0, PLC_DWORD, 4},   {"%RQ2", PLC_REG_R, 2, 0, PLC_LWORD, 8},
              {"%R0.300", PLC_REG_R, 0, 44, PLC_BOOL, 1}};  // bit kept modulo 256
  uint8_t reg, bit, type;
  uint32_t off, size;
  for (const auto& g : good) {
    SCOPED_TRACE(g.text);
    reg = bit = type = 0;
    off = size = 0;
    ASSERT_EQ(ParsePlcAddr(g.text, &reg, &off, &bit, &type, &size), 0);
    EXPECT_EQ(reg, g.reg);
    EXPECT_EQ(off, g.off);
    EXPECT_EQ(bit, g.bit);
    EXPECT_EQ(type, g.type);
    EXPECT_EQ(size, g.size);
  }
  for (const char* bad : {"R100", "%Z1", "%RB1", "%R", "%R-1", "%R1.", "%R1.2.3", "%R1 ", "%", "",
                          "%D01", "% R1", "%R+1", "%RW", "%R1x"}) {
    EXPECT_EQ(ParsePlcAddr(bad, &reg, &off, &bit, &type, &size), 1) << bad;
  }
}

TEST(PlcDef, IdentificationFields) {
  const unsigned char rec[] = {4,   3,   2,   3,   'B', 'O', 'O', 'T',
                               'C', 'P', 'U', 'V', '2', '1', '.', 'A'};
  const char* want[] = {"BOOT", "CPU", "V2", "1.10", ""};
  for (int f = 1; f <= 5; ++f) EXPECT_STREQ(IdentPlc(rec, sizeof rec, f), want[f - 1]) << f;
  const unsigned char longver[] = {1, 1, 1, 5, 'a', 'b', 'c', '1', '.', '2', '.', '3'};
  EXPECT_STREQ(IdentPlc(longver, sizeof longver, 4), "1.2.3");

  // Lengths that reach past the received bytes are cut to them.
  const unsigned char lying[] = {200, 200, 200, 2, 'X', 'Y'};
  EXPECT_STREQ(IdentPlc(lying, sizeof lying, 1), "XY");
  EXPECT_STREQ(IdentPlc(lying, sizeof lying, 3), "");
  EXPECT_STREQ(IdentPlc(lying, sizeof lying, 4), "");
  EXPECT_STREQ(IdentPlc(lying, 3, 1), "");

  // Each thread has its own buffer.
  const char* mine = IdentPlc(rec, sizeof rec, 2);
  std::thread other([&] { EXPECT_STREQ(IdentPlc(rec, sizeof rec, 1), "BOOT"); });
  other.join();
  EXPECT_STREQ(mine, "CPU");
}

TEST(PlcDef, CrcPlc) {
  EXPECT_EQ(crcPLCTable(1), 0x0049);
  EXPECT_EQ(crcPLCTable(128), 0x2480);
  EXPECT_EQ(crcPLCTable(255), 0x38C7);
  EXPECT_EQ(crcPLC("abc", 3), 0x2FE6);
  EXPECT_EQ(crcPLC("", 0), 0);
  EXPECT_EQ(crcPLC(nullptr, 0), 0);
}
