// Value conversion between register bytes and text, and the bit helpers.
#include "plc/plcvalue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/globals.h"
#include "plc/plcdef.h"
#include "plc_test_support.h"

namespace {

struct Settings : ::testing::Test {
  void SetUp() override { ResetGlobalSettings(); }
  void TearDown() override { ResetGlobalSettings(); }
};

std::string Text(const void* bytes, uint8_t type, uint8_t bit = 0, uint32_t size = 0) {
  char out[kPlcValueText];
  memset(out, 'Z', sizeof out);
  out[sizeof out - 1] = '\0';
  BinToCharPlc(static_cast<const unsigned char*>(bytes), out, type, bit, size);
  return out;
}

template <typename T>
T Bin(const char* text, uint8_t type, int* rc = nullptr) {
  unsigned char buf[8] = {};
  int r = CharToBinPlc(buf, text, type, 0, 0);
  if (rc) *rc = r;
  T v;
  memcpy(&v, buf, sizeof v);
  return v;
}

}  // namespace

using PlcValue = Settings;

TEST_F(PlcValue, BoolTextsKeepTheOtherBits) {
  for (const char* t : {"true", "True", "TRUE"}) {
    unsigned char b = 0x00;
    EXPECT_EQ(CharToBinPlc(&b, t, PLC_BOOL, 3, 0), 0);
    EXPECT_EQ(b, 0x08) << t;
  }
  unsigned char b = 0xFF;
  EXPECT_EQ(CharToBinPlc(&b, "false", PLC_BOOL, 3, 0), 0);
  EXPECT_EQ(b, 0xF7);
  b = 0;
  EXPECT_EQ(CharToBinPlc(&b, "5", PLC_BOOL, 3, 0), 0);
  EXPECT_EQ(b, 0x08);
  EXPECT_EQ(CharToBinPlc(&b, "0", PLC_BOOL, 3, 0), 0);
  EXPECT_EQ(b, 0x00);
  b = 0x42;
  EXPECT_EQ(CharToBinPlc(&b, "yes", PLC_BOOL, 3, 0), 1);
  EXPECT_EQ(b, 0x42);
  EXPECT_EQ(CharToBinPlc(nullptr, "TRUE", PLC_BOOL, 7, 0), 0);  // check only
  // A bit beyond the one byte is refused rather than silently writing nothing.
  EXPECT_EQ(CharToBinPlc(&b, "1", PLC_BOOL, 9, 0), 1);
  EXPECT_EQ(b, 0x42);

  const unsigned char v = 0x08;
  EXPECT_EQ(Text(&v, PLC_BOOL, 3), "1");
  EXPECT_EQ(Text(&v, PLC_BOOL, 2), "0");
  EXPECT_EQ(Text(&v, PLC_BOOL, 11), "0");
}

TEST_F(PlcValue, IntegersBothWaysAndWraps) {
  int rc = 0;
  EXPECT_EQ(Bin<uint8_t>("300", PLC_USINT), 44);
  EXPECT_EQ(Bin<uint8_t>("200", PLC_BYTE), 200);
  EXPECT_EQ(Bin<int8_t>("-5", PLC_SINT), -5);
  EXPECT_EQ(Bin<uint16_t>("-1", PLC_UINT), 65535);
  EXPECT_EQ(Bin<uint16_t>("4660", PLC_WORD), 0x1234);
  EXPECT_EQ(Bin<int16_t>("3.5", PLC_INT), 3);
  Bin<int16_t>("abc", PLC_INT, &rc);
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(Bin<uint32_t>("4000000000", PLC_UDINT), 4000000000u);
  EXPECT_EQ(Bin<uint32_t>("  17 trailing", PLC_DWORD), 17u);
  EXPECT_EQ(Bin<int32_t>("-100000", PLC_DINT), -100000);
  EXPECT_EQ(Bin<int32_t>("5000", PLC_TIME), 5000);
  EXPECT_EQ(Bin<int32_t>("3600000", PLC_TOD), 3600000);
  EXPECT_EQ(Bin<uint64_t>("18446744073709551615", PLC_ULINT), UINT64_MAX);
  EXPECT_EQ(Bin<uint64_t>("1", PLC_LWORD), 1u);
  EXPECT_EQ(Bin<int64_t>("-9000000000", PLC_LINT), -9000000000LL);

  unsigned char untouched[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(CharToBinPlc(untouched, "", PLC_DINT, 0, 0), 1);
  EXPECT_EQ(untouched[0], 1);
  {
    kt::LogCapture log;
    EXPECT_EQ(CharToBinPlc(untouched, "1", 20, 0, 0), 1);
    EXPECT_TRUE(log.Has("CharToBinPlc():: Unknown data type: 20"));
  }

  const uint8_t u8 = 250;
  const int8_t s8 = -3;
  const uint16_t u16 = 65535;
  const int16_t s16 = -2;
  const uint32_t u32 = 4000000000u;
  const int32_t s32 = -7;
  const uint64_t u64 = UINT64_MAX;
  const int64_t s64 = INT64_MIN;
  EXPECT_EQ(Text(&u8, PLC_USINT), "250");
  EXPECT_EQ(Text(&u8, PLC_BYTE), "250");
  EXPECT_EQ(Text(&s8, PLC_SINT), "-3");
  EXPECT_EQ(Text(&u16, PLC_UINT), "65535");
  EXPECT_EQ(Text(&u16, PLC_WORD), "65535");
  EXPECT_EQ(Text(&s16, PLC_INT), "-2");
  EXPECT_EQ(Text(&u32, PLC_UDINT), "4000000000");
  EXPECT_EQ(Text(&u32, PLC_DWORD), "4000000000");
  EXPECT_EQ(Text(&s32, PLC_DINT), "-7");
  EXPECT_EQ(Text(&s32, PLC_TIME), "-7");
  EXPECT_EQ(Text(&s32, PLC_TOD), "-7");
  EXPECT_EQ(Text(&u64, PLC_ULINT), "18446744073709551615");
  EXPECT_EQ(Text(&u64, PLC_LWORD), "18446744073709551615");
  EXPECT_EQ(Text(&s64, PLC_LINT), "-9223372036854775808");

  kt::LogCapture log;
  EXPECT_EQ(Text(&u8, 77), std::string(kPlcValueText - 1, 'Z'));  // untouched
  EXPECT_TRUE(log.Has("BinToCharPlc():: Unknown data type: 77"));
}

TEST_F(PlcValue, RealPrecisionAndScientificForm) {
  EXPECT_FLOAT_EQ(Bin<float>("1e3", PLC_REAL), 1000.0f);
  EXPECT_DOUBLE_EQ(Bin<double>("2.25", PLC_LREAL), 2.25);

  const float r = 1.5f;
  const double d = 1.5;
  num_of_decimals = 2;
  lim_of_decimals = 1;
  EXPECT_EQ(Text(&r, PLC_REAL), "1.50");
  EXPECT_EQ(Text(&d, PLC_LREAL), "1.50");
  lim_of_decimals = 0;
  EXPECT_EQ(Text(&r, PLC_REAL), "1.500000");  // REAL stops at 6 decimals
  EXPECT_EQ(Text(&d, PLC_LREAL), "1.500000000000000");
  num_of_decimals = 12;
  lim_of_decimals = 1;
  EXPECT_EQ(Text(&r, PLC_REAL), "1.500000");
  EXPECT_EQ(Text(&d, PLC_LREAL), "1.500000000000");
  num_of_decimals = 2;
  scient_notation = 1;
  EXPECT_EQ(Text(&r, PLC_REAL), "1.50e+00");
  EXPECT_EQ(Text(&d, PLC_LREAL), "1.50e+00");

  // A huge LREAL does not fit a value text in fixed form; it is shown whole in exponent form.
  scient_notation = 0;
  lim_of_decimals = 0;
  const double huge = 1e300;
  std::string t = Text(&huge, PLC_LREAL);
  EXPECT_LT(t.size(), static_cast<size_t>(kPlcValueText));
  EXPECT_EQ(t, "1.000000000000000e+300");
}

TEST_F(PlcValue, DateAndDateTimeBothModes) {
  date_time_decimal = 0;
  EXPECT_EQ(Bin<uint64_t>("1700000000", PLC_DATE), 1700000000u);
  const uint64_t secs = 1700000000u;
  EXPECT_EQ(Text(&secs, PLC_DATE), "1700000000");
  EXPECT_EQ(Text(&secs, PLC_DT), "1700000000");

  date_time_decimal = 1;
  EXPECT_DOUBLE_EQ(Bin<double>("45000.25", PLC_DT), 45000.25);
  const double days = 45000.25;
  EXPECT_EQ(Text(&days, PLC_DT), "45000.250");
  EXPECT_EQ(Text(&days, PLC_DATE), "45000.250");
}

TEST_F(PlcValue, StringsPadCutAndShowLineEndsAsSpaces) {
  unsigned char s[8];
  memset(s, 'x', sizeof s);
  EXPECT_EQ(CharToBinPlc(s, "ABCDEF", PLC_STRING, 0, 4), 0);
  EXPECT_EQ(0, memcmp(s, "ABCDxxxx", 8));
  EXPECT_EQ(CharToBinPlc(s, "AB", PLC_STRING, 0, 4), 0);
  EXPECT_EQ(0, memcmp(s, "AB\0\0xxxx", 8));
  EXPECT_EQ(CharToBinPlc(s, "AB", PLC_STRING, 0, 5000), 1);  // beyond the scratch buffer

  const unsigned char crlf[] = {'A', '\r', '\n', 'B', 0};
  EXPECT_EQ(Text(crlf, PLC_STRING, 0, 5), "A  B");
  const unsigned char full[] = {'W', 'X', 'Y', 'Z'};
  EXPECT_EQ(Text(full, PLC_STRING, 0, 4), "WXYZ");  // ends after size without a terminator
  EXPECT_EQ(Text(full, PLC_STRING, 0, 2), "WX");
  EXPECT_EQ(Text(full, PLC_STRING, 0, 0), std::string(kPlcValueText - 1, 'Z'));

  unsigned char big[300];
  memset(big, 'q', sizeof big);
  EXPECT_EQ(Text(big, PLC_STRING, 0, 255), std::string(255, 'q'));
  EXPECT_EQ(Text(big, PLC_STRING, 0, 300), std::string(255, 'q'));  // never past the text
}

TEST_F(PlcValue, BitWriteCodeAndBitChange) {
  EXPECT_EQ(GetPlcBit(5, "1", 0), 133);
  EXPECT_EQ(GetPlcBit(5, "0", 0), 5);
  EXPECT_EQ(GetPlcBit(5, "TRUE", 0), 133);
  EXPECT_EQ(GetPlcBit(5, "maybe", 0), 5);
  EXPECT_EQ(GetPlcBit(9, "1", 0), 137);
  const char one[] = {1}, zero[] = {0};
  EXPECT_EQ(GetPlcBit(2, one, 1), 130);
  EXPECT_EQ(GetPlcBit(2, zero, 1), 2);

  EXPECT_EQ(TestBitPlc(0x08, 0x00, 3), 1);
  EXPECT_EQ(TestBitPlc(0x08, 0x08, 3), 0);
  EXPECT_EQ(TestBitPlc(0x08, 0x00, 2), 0);
  EXPECT_EQ(TestBitPlc(0xFF, 0x00, 8), 0);
}
