// Type names, direct addresses, IdentPlc and crcPLC.
#include "plc/plcdef.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "plc_test_support.h"

using PlcDef = kt::PlcTest;

TEST_F(PlcDef, TypeNamesSizesAndDirectAddresses) {
  // Case does not count; STRING sizes are clamped; other types ignore an argument.
  for (std::string row :
       {"int|INT 2", "Int|INT 2", "LREAL[3]|LREAL 8", "STRING[20]|STRING 20", "STRING|STRING 80",
        "STRING[0]|STRING 80", "STRING[abc]|STRING 80", "STRING[1]|STRING 1",
        "STRING[255]|STRING 255", "STRING[256]|STRING 255", "STRING[300]|STRING 255",
        "STRING[-1]|STRING 0", "STRING[-5]|STRING 0", "FLOAT|none", "|none"}) {
    uint32_t size = 12345;
    const char* name = GetPlcTypeName(GetPlcType(kt::Cols(row)[0].c_str(), &size));
    EXPECT_EQ(kt::Cols(row)[0] + "|" + (name ? name + (" " + std::to_string(size)) : "none"), row);
  }
  EXPECT_EQ(GetPlcType(std::string(500, 'B').c_str(), nullptr), PLC_TYPE_NONE);
  EXPECT_EQ(GetPlcReg("r"), 255);  // case-sensitive
  EXPECT_EQ(GetPlcReg("D2"), 130);
  uint8_t reg, bit, type;
  uint32_t off, size;
  for (std::string row : {"%R100|R100.0 BYTE 1", "%YW4|Y4.0 WORD 2", "%X0.3|X0.3 BOOL 1",
                          "%RW10.3|R10.3 BOOL 1", "%SD8|S8.0 LREAL 8", "%EF0|#10:0.0 REAL 4",
                          "%RL2|R2.0 DWORD 4", "%RQ2|R2.0 LWORD 8", "%R0.300|R0.44 BOOL 1"}) {
    reg = bit = type = off = size = 0;
    ASSERT_EQ(ParsePlcAddr(kt::Cols(row)[0].c_str(), &reg, &off, &bit, &type, &size), 0) << row;
    EXPECT_EQ(kt::Cols(row)[0] + "|" + kt::Where(reg, off, bit, type, size), row);
  }
  for (const char* bad : {"R100", "%Z1", "%RB1", "%R", "%R-1", "%R1.", "%R1.2.3", "%R1 ", "%", "",
                          "%D01", "% R1", "%R+1", "%RW", "%R1x"}) {
    EXPECT_EQ(ParsePlcAddr(bad, &reg, &off, &bit, &type, &size), 1) << bad;
  }
  EXPECT_EQ(GetPlcAddrLo(0x00031234), 0x34);
  EXPECT_EQ(GetPlcAddrHi(0x00031234) & 0xFF, 0x12);
}

TEST_F(PlcDef, IdentificationFieldsAndCrc) {
  const unsigned char rec[] = {4,   3,   2,   3,   'B', 'O', 'O', 'T',
                               'C', 'P', 'U', 'V', '2', '1', '.', 'A'};
  const char* want[] = {"BOOT", "CPU", "V2", "1.10", ""};
  for (int f = 1; f <= 5; ++f) EXPECT_STREQ(IdentPlc(rec, sizeof rec, f), want[f - 1]) << f;
  const unsigned char longver[] = {1, 1, 1, 5, 'a', 'b', 'c', '1', '.', '2', '.', '3'};
  EXPECT_STREQ(IdentPlc(longver, sizeof longver, 4), "1.2.3");
  const unsigned char lying[] = {200, 200, 200, 2, 'X', 'Y'};  // cut to the bytes received
  EXPECT_STREQ(IdentPlc(lying, sizeof lying, 1), "XY");
  EXPECT_STREQ(IdentPlc(lying, sizeof lying, 4), "");
  EXPECT_STREQ(IdentPlc(lying, 3, 1), "");
  const char* mine = IdentPlc(rec, sizeof rec, 2);  // each thread has its own buffer
  std::thread([&] { EXPECT_STREQ(IdentPlc(rec, sizeof rec, 1), "BOOT"); }).join();
  EXPECT_STREQ(mine, "CPU");

  EXPECT_EQ(crcPLC("abc", 3), 0x2FE6);
  EXPECT_EQ(crcPLC(nullptr, 0), 0);
}
