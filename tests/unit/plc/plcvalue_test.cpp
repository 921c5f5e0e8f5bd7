// Value conversion between register bytes and text, and the bit helpers.
#include "plc/plcvalue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plc_test_support.h"

namespace {

// The text of `bytes`; an untouched output shows as a run of 'Z'.
std::string Text(const void* bytes, uint8_t type, uint8_t bit = 0, uint32_t size = 0) {
  char out[kPlcValueText];
  memset(out, 'Z', sizeof out);
  out[sizeof out - 1] = '\0';
  BinToCharPlc(static_cast<const unsigned char*>(bytes), out, type, bit, size);
  return out;
}
const std::string kUntouched(kPlcValueText - 1, 'Z');

// Writes `text` over 0xEE bytes and reads it back; the bytes past the type stay untouched.
std::string RoundTrip(const char* text, uint8_t type) {
  unsigned char buf[8];
  memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(CharToBinPlc(buf, text, type, 0, 0), 0) << text;
  for (size_t i = SizeofPlcReg(type); i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0xEE) << text;
  return Text(buf, type);
}

}  // namespace

using PlcValue = kt::PlcTest;

TEST_F(PlcValue, BoolTextsKeepTheOtherBits) {
  const struct {
    const char* text;
    unsigned char before, after;
    int rc;
  } rows[] = {{"true", 0, 0x08, 0},  {"True", 0, 0x08, 0},     {"TRUE", 0, 0x08, 0},
              {"5", 0, 0x08, 0},     {"false", 0xFF, 0xF7, 0}, {"0", 0x08, 0, 0},
              {"yes", 0x42, 0x42, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    unsigned char b = row.before;
    EXPECT_EQ(CharToBinPlc(&b, row.text, PLC_BOOL, 3, 0), row.rc);
    EXPECT_EQ(b, row.after);
  }
  EXPECT_EQ(CharToBinPlc(nullptr, "TRUE", PLC_BOOL, 7, 0), 0);  // check only
  // A bit beyond the one byte is refused rather than silently writing nothing.
  unsigned char b = 0x42;
  EXPECT_EQ(CharToBinPlc(&b, "1", PLC_BOOL, 9, 0), 1);
  EXPECT_EQ(b, 0x42);

  const unsigned char v = 0x08;
  EXPECT_EQ(Text(&v, PLC_BOOL, 3), "1");
  EXPECT_EQ(Text(&v, PLC_BOOL, 2), "0");
  EXPECT_EQ(Text(&v, PLC_BOOL, 11), "0");
}

TEST_F(PlcValue, IntegersBothWaysAndWraps) {
  const struct {
    const char* in;
    uint8_t type;
    const char* out;
  } rows[] = {{"300", PLC_USINT, "44"},
              {"200", PLC_BYTE, "200"},
              {"-5", PLC_SINT, "-5"},
              {"-1", PLC_UINT, "65535"},
              {"4660", PLC_WORD, "4660"},
              {"3.5", PLC_INT, "3"},
              {"-2", PLC_INT, "-2"},
              {"4000000000", PLC_UDINT, "4000000000"},
              {"  17 trailing", PLC_DWORD, "17"},
              {"-100000", PLC_DINT, "-100000"},
              {"-7", PLC_TIME, "-7"},
              {"3600000", PLC_TOD, "3600000"},
              {"1", PLC_LWORD, "1"},
              {"18446744073709551615", PLC_ULINT, "18446744073709551615"},
              {"-9223372036854775808", PLC_LINT, "-9223372036854775808"}};
  for (const auto& row : rows) EXPECT_EQ(RoundTrip(row.in, row.type), row.out) << row.in;

  unsigned char untouched[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(CharToBinPlc(untouched, "abc", PLC_INT, 0, 0), 1);
  EXPECT_EQ(CharToBinPlc(untouched, "", PLC_DINT, 0, 0), 1);
  EXPECT_EQ(untouched[0], 1);
  kt::LogCapture log;
  EXPECT_EQ(CharToBinPlc(untouched, "1", 20, 0, 0), 1);
  EXPECT_TRUE(log.Has("CharToBinPlc():: Unknown data type: 20"));
  EXPECT_EQ(Text(untouched, 77), kUntouched);
  EXPECT_TRUE(log.Has("BinToCharPlc():: Unknown data type: 77"));
}

TEST_F(PlcValue, RealPrecisionAndScientificForm) {
  EXPECT_EQ(RoundTrip("1e3", PLC_REAL), "1000.000000");  // REAL stops at 6 decimals
  EXPECT_EQ(RoundTrip("2.25", PLC_LREAL), "2.250000000000000");
  const float r = 1.5f;
  const double l = 1.5;
  const struct {
    int num, lim, sci;
    const char *real, *lreal;
  } rows[] = {{2, 1, 0, "1.50", "1.50"},
              {2, 0, 0, "1.500000", "1.500000000000000"},
              {12, 1, 0, "1.500000", "1.500000000000"},
              {2, 1, 1, "1.50e+00", "1.50e+00"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lreal);
    num_of_decimals = row.num;
    lim_of_decimals = row.lim;
    scient_notation = row.sci;
    EXPECT_EQ(Text(&r, PLC_REAL), row.real);
    EXPECT_EQ(Text(&l, PLC_LREAL), row.lreal);
  }
  // A huge LREAL does not fit a value text in fixed form; it is shown whole in exponent form.
  scient_notation = lim_of_decimals = 0;
  const double huge = 1e300;
  EXPECT_EQ(Text(&huge, PLC_LREAL), "1.000000000000000e+300");
}

TEST_F(PlcValue, DateAndDateTimeBothModes) {
  for (uint8_t type : {PLC_DATE, PLC_DT}) {
    date_time_decimal = 0;  // seconds
    EXPECT_EQ(RoundTrip("1700000000", type), "1700000000");
    date_time_decimal = 1;  // days with a fraction
    EXPECT_EQ(RoundTrip("45000.25", type), "45000.250");
  }
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
  EXPECT_EQ(Text(full, PLC_STRING, 0, 0), kUntouched);
  unsigned char big[300];
  memset(big, 'q', sizeof big);
  EXPECT_EQ(Text(big, PLC_STRING, 0, 300), std::string(255, 'q'));  // never past the text
}

TEST_F(PlcValue, BitWriteCodeAndBitChange) {
  EXPECT_EQ(GetPlcBit(5, "1", 0), 133);
  EXPECT_EQ(GetPlcBit(5, "0", 0), 5);
  EXPECT_EQ(GetPlcBit(5, "TRUE", 0), 133);
  EXPECT_EQ(GetPlcBit(5, "maybe", 0), 5);
  const char one[] = {1}, zero[] = {0};
  EXPECT_EQ(GetPlcBit(2, one, 1), 130);
  EXPECT_EQ(GetPlcBit(2, zero, 1), 2);

  EXPECT_EQ(TestBitPlc(0x08, 0x00, 3), 1);
  EXPECT_EQ(TestBitPlc(0x08, 0x08, 3), 0);
  EXPECT_EQ(TestBitPlc(0xFF, 0x00, 8), 0);
}
