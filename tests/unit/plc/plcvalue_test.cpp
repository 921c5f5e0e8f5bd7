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

// The low `n` bytes written for `text`, as an unsigned number.
uint64_t Bin(const char* text, uint8_t type, size_t n) {
  unsigned char buf[8] = {};
  EXPECT_EQ(CharToBinPlc(buf, text, type, 0, 0), 0) << text;
  uint64_t v = 0;
  memcpy(&v, buf, n);
  return v;
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
  // Text in, bytes out, and those bytes back to text.
  const struct {
    const char* in;
    uint8_t type;
    size_t n;
    uint64_t bytes;
    const char* out;
  } rows[] = {{"300", PLC_USINT, 1, 44, "44"},
              {"200", PLC_BYTE, 1, 200, "200"},
              {"-5", PLC_SINT, 1, 0xFB, "-5"},
              {"-1", PLC_UINT, 2, 65535, "65535"},
              {"4660", PLC_WORD, 2, 0x1234, "4660"},
              {"3.5", PLC_INT, 2, 3, "3"},
              {"-2", PLC_INT, 2, 0xFFFE, "-2"},
              {"4000000000", PLC_UDINT, 4, 4000000000u, "4000000000"},
              {"  17 trailing", PLC_DWORD, 4, 17, "17"},
              {"-100000", PLC_DINT, 4, 0xFFFE7960u, "-100000"},
              {"-7", PLC_TIME, 4, 0xFFFFFFF9u, "-7"},
              {"3600000", PLC_TOD, 4, 3600000, "3600000"},
              {"18446744073709551615", PLC_ULINT, 8, UINT64_MAX, "18446744073709551615"},
              {"1", PLC_LWORD, 8, 1, "1"},
              {"-9223372036854775808", PLC_LINT, 8, 0x8000000000000000u, "-9223372036854775808"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.in);
    const uint64_t got = Bin(row.in, row.type, row.n);
    EXPECT_EQ(got, row.bytes);
    EXPECT_EQ(Text(&got, row.type), row.out);
  }

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
  float f = 0;
  double d = 0;
  ASSERT_EQ(CharToBinPlc(reinterpret_cast<unsigned char*>(&f), "1e3", PLC_REAL, 0, 0), 0);
  ASSERT_EQ(CharToBinPlc(reinterpret_cast<unsigned char*>(&d), "2.25", PLC_LREAL, 0, 0), 0);
  EXPECT_FLOAT_EQ(f, 1000.0f);
  EXPECT_DOUBLE_EQ(d, 2.25);

  const float r = 1.5f;
  const double l = 1.5;
  const struct {
    int num, lim, sci;
    const char *real, *lreal;
  } rows[] = {{2, 1, 0, "1.50", "1.50"},
              {2, 0, 0, "1.500000", "1.500000000000000"},  // REAL stops at 6 decimals
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
  scient_notation = 0;
  lim_of_decimals = 0;
  const double huge = 1e300;
  EXPECT_EQ(Text(&huge, PLC_LREAL), "1.000000000000000e+300");
}

TEST_F(PlcValue, DateAndDateTimeBothModes) {
  date_time_decimal = 0;
  const uint64_t secs = Bin("1700000000", PLC_DATE, 8);
  EXPECT_EQ(secs, 1700000000u);
  EXPECT_EQ(Text(&secs, PLC_DATE), "1700000000");
  EXPECT_EQ(Text(&secs, PLC_DT), "1700000000");

  date_time_decimal = 1;
  const uint64_t raw = Bin("45000.25", PLC_DT, 8);
  double days;
  memcpy(&days, &raw, sizeof days);
  EXPECT_DOUBLE_EQ(days, 45000.25);
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
