// Register and type tables, direct addresses, IdentPlc and crcPLC.
#include "plc/plcdef.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

TEST(PlcDef, TypeNamesAndStringLengths) {
  uint32_t size = 0;
  for (const char* t : {"int", "Int", "INT"}) {
    size = 0;
    EXPECT_EQ(GetPlcType(t, &size), PLC_INT) << t;
    EXPECT_EQ(size, 2u) << t;
  }
  EXPECT_EQ(GetPlcType("STRING[20]", &size), PLC_STRING);
  EXPECT_EQ(size, 20u);
  EXPECT_EQ(GetPlcType("STRING", &size), PLC_STRING);
  EXPECT_EQ(size, 80u);
  EXPECT_EQ(GetPlcType("STRING[0]", &size), PLC_STRING);
  EXPECT_EQ(size, 80u);
  EXPECT_EQ(GetPlcType("STRING[abc]", &size), PLC_STRING);
  EXPECT_EQ(size, 80u);
  EXPECT_EQ(GetPlcType("STRING[300]", &size), PLC_STRING);
  EXPECT_EQ(size, 255u);
  EXPECT_EQ(GetPlcType("STRING[-5]", &size), PLC_STRING);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(GetPlcType("LREAL[3]", &size), PLC_LREAL);  // argument ignored
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(GetPlcType("FLOAT", &size), PLC_TYPE_NONE);
  EXPECT_EQ(GetPlcType("", &size), PLC_TYPE_NONE);
  EXPECT_EQ(GetPlcType(std::string(500, 'B').c_str(), &size), PLC_TYPE_NONE);

  EXPECT_EQ(SizeofPlcReg(PLC_DT), 8u);
  EXPECT_EQ(SizeofPlcReg(99), 0u);
  EXPECT_STREQ(GetPlcTypeName(PLC_TOD), "TOD");
  EXPECT_EQ(GetPlcTypeName(99), nullptr);
}

TEST(PlcDef, RegistersAndAddressBytes) {
  EXPECT_EQ(GetPlcReg("R"), 3);
  EXPECT_EQ(GetPlcReg("D1"), 129);
  EXPECT_EQ(GetPlcReg("r"), 255);  // case-sensitive
  EXPECT_EQ(GetPlcReg("Q"), 255);
  EXPECT_EQ(GetPlcDir("PUB_IN"), 0);
  EXPECT_EQ(GetPlcAddrLo(0x00031234), 0x34);
  EXPECT_EQ(GetPlcAddrHi(0x00031234) & 0xFF, 0x12);
  EXPECT_TRUE(IsPlcAddr("%R1"));
  EXPECT_FALSE(IsPlcAddr("R1"));
}

TEST(PlcDef, DirectAddressGrammar) {
  uint8_t reg = 0, bit = 0, type = 0;
  uint32_t off = 0, size = 0;
  ASSERT_EQ(ParsePlcAddr("%R100", &reg, &off, &bit, &type, &size), 0);
  EXPECT_EQ(reg, PLC_REG_R);
  EXPECT_EQ(off, 100u);
  EXPECT_EQ(type, PLC_BYTE);
  EXPECT_EQ(size, 1u);
  ASSERT_EQ(ParsePlcAddr("%YW4", &reg, &off, &bit, &type, &size), 0);
  EXPECT_EQ(reg, PLC_REG_Y);
  EXPECT_EQ(off, 4u);
  EXPECT_EQ(type, PLC_WORD);
  EXPECT_EQ(size, 2u);
  ASSERT_EQ(ParsePlcAddr("%X0.3", &reg, &off, &bit, &type, &size), 0);
  EXPECT_EQ(reg, PLC_REG_X);
  EXPECT_EQ(bit, 3);
  EXPECT_EQ(type, PLC_BOOL);
  ASSERT_EQ(ParsePlcAddr("%RW10.3", &reg, &off, &bit, &type, &size), 0);
  EXPECT_EQ(off, 10u);
  EXPECT_EQ(bit, 3);
  EXPECT_EQ(type, PLC_BOOL);
  EXPECT_EQ(size, 1u);
  ASSERT_EQ(ParsePlcAddr("%SD8", &reg, &off, &bit, &type, &size), 0);
  EXPECT_EQ(type, PLC_LREAL);
  EXPECT_EQ(size, 8u);
  ASSERT_EQ(ParsePlcAddr("%EF0", &reg, &off, &bit, &type, &size), 0);
  EXPECT_EQ(reg, 10);
  EXPECT_EQ(type, PLC_REAL);
  ASSERT_EQ(ParsePlcAddr("%RL2", &reg, &off, &bit, &type, &size), 0);
  EXPECT_EQ(type, PLC_DWORD);
  ASSERT_EQ(ParsePlcAddr("%RQ2", &reg, &off, &bit, &type, &size), 0);
  EXPECT_EQ(type, PLC_LWORD);
  ASSERT_EQ(ParsePlcAddr("%R0.300", &reg, &off, &bit, &type, &size), 0);
  EXPECT_EQ(bit, 44);  // kept modulo 256

  for (const char* bad : {"R100", "%Z1", "%RB1", "%R", "%R-1", "%R1.", "%R1.2.3", "%R1 ", "%", "",
                          "%D01", "% R1", "%R+1", "%RW", "%R1x"}) {
    EXPECT_EQ(ParsePlcAddr(bad, &reg, &off, &bit, &type, &size), 1) << bad;
  }
  EXPECT_EQ(ParsePlcAddr("%Z1", &reg, &off, &bit, &type, &size), 1);
  EXPECT_EQ(reg, 255);
}

TEST(PlcDef, IdentificationFields) {
  const unsigned char rec[] = {4,   3,   2,   3,   'B', 'O', 'O', 'T',
                               'C', 'P', 'U', 'V', '2', '1', '.', 'A'};
  EXPECT_STREQ(IdentPlc(rec, sizeof rec, 1), "BOOT");
  EXPECT_STREQ(IdentPlc(rec, sizeof rec, 2), "CPU");
  EXPECT_STREQ(IdentPlc(rec, sizeof rec, 3), "V2");
  EXPECT_STREQ(IdentPlc(rec, sizeof rec, 4), "1.10");
  EXPECT_STREQ(IdentPlc(rec, sizeof rec, 5), "");

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
  EXPECT_EQ(crcPLCTable(0), 0x0000);
  EXPECT_EQ(crcPLCTable(1), 0x0049);
  EXPECT_EQ(crcPLCTable(128), 0x2480);
  EXPECT_EQ(crcPLCTable(255), 0x38C7);
  EXPECT_EQ(crcPLC("abc", 3), 0x2FE6);
  EXPECT_EQ(crcPLC("", 0), 0);
  EXPECT_EQ(crcPLC(nullptr, 0), 0);
  EXPECT_NE(crcPLC("abd", 3), crcPLC("abc", 3));
}
