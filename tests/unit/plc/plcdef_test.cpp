// Type names, direct addresses, IdentPlc and crcPLC.
#include "plc/plcdef.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>

#include "plc_test_support.h"

TEST(PlcDef, TypeNamesAndStringLengths) {
  uint32_t size = 0;
  for (const char* t : {"int", "Int", "INT"}) {
    EXPECT_EQ(GetPlcType(t, &size), PLC_INT) << t;
    EXPECT_EQ(size, 2u) << t;
  }
  const std::pair<const char*, uint32_t> strings[] = {{"STRING[20]", 20},   {"STRING", 80},
                                                      {"STRING[0]", 80},    {"STRING[abc]", 80},
                                                      {"STRING[300]", 255}, {"STRING[-5]", 0}};
  for (const auto& [text, want] : strings) {
    EXPECT_EQ(GetPlcType(text, &size), PLC_STRING) << text;
    EXPECT_EQ(size, want) << text;
  }
  EXPECT_EQ(GetPlcType("LREAL[3]", &size), PLC_LREAL);  // argument ignored
  EXPECT_EQ(size, 8u);
  for (const std::string& bad : {std::string("FLOAT"), std::string(), std::string(500, 'B')})
    EXPECT_EQ(GetPlcType(bad.c_str(), &size), PLC_TYPE_NONE) << bad;
  EXPECT_EQ(GetPlcReg("r"), 255);  // case-sensitive
}

TEST(PlcDef, DirectAddressGrammar) {
  const std::pair<const char*, const char*> good[] = {
      {"%R100", "R100.0 BYTE 1"}, {"%YW4", "Y4.0 WORD 2"},
      {"%X0.3", "X0.3 BOOL 1"},   {"%RW10.3", "R10.3 BOOL 1"},
      {"%SD8", "S8.0 LREAL 8"},   {"%EF0", "#10:0.0 REAL 4"},
      {"%RL2", "R2.0 DWORD 4"},   {"%RQ2", "R2.0 LWORD 8"},
      {"%R0.300", "R0.44 BOOL 1"}};  // bit modulo 256
  uint8_t reg, bit, type;
  uint32_t off, size;
  for (const auto& [text, want] : good) {
    reg = bit = type = 0;
    off = size = 0;
    ASSERT_EQ(ParsePlcAddr(text, &reg, &off, &bit, &type, &size), 0) << text;
    EXPECT_EQ(kt::Where(reg, off, bit, type, size), want) << text;
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
