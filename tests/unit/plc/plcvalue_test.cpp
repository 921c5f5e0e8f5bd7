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

uint8_t Type(const std::string& name) {
  return GetPlcType(name.c_str(), nullptr);
}

// 16 bytes of 0xEE starting with the bytes of `hex`, and the first `n` of them as hex.
void FromHex(const std::string& hex, unsigned char* out) {
  memset(out, 0xEE, 16);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out[i / 2] = std::stoi(hex.substr(i, 2), 0, 16);
}
std::string ToHex(const unsigned char* p, size_t n) {
  std::string out;
  char b[3];
  for (size_t i = 0; i < n; ++i) out += (snprintf(b, sizeof b, "%02x", p[i]), b);
  return out;
}

}  // namespace

using PlcValue = kt::PlcTest;

TEST_F(PlcValue, TextToBytes) {
  // text | type | bit | size | bytes before | result | bytes after | text after. A BOOL text is
  // upper-cased in place and changes only its bit (0..7); a failure leaves the bytes alone.
  for (const char* row :
       {"true|BOOL|3|0|00|0|08|TRUE", "True|BOOL|3|0|00|0|08|TRUE", "5|BOOL|3|0|00|0|08|5",
        "false|BOOL|3|0|ff|0|f7|FALSE", "0|BOOL|3|0|08|0|00|0", "yes|BOOL|3|0|42|1|42|YES",
        "1|BOOL|0|0|80|0|81|1", "0|BOOL|7|0|ff|0|7f|0", "1|BOOL|9|0|42|1|42|1",
        "ABCDEF|STRING|0|4|7878787878|0|4142434478|ABCDEF",
        "AB|STRING|0|4|7878787878|0|4142000078|AB", "AB|STRING|0|5000|78|1|78|AB",
        "abc|INT|0|0|010203|1|010203|abc", "|DINT|0|0|0102030405|1|0102030405|",
        "1|#20|0|0|01|1|01|1"}) {
    auto c = kt::Cols(row);
    unsigned char buf[16];
    FromHex(c[4], buf);
    const uint8_t type = c[1] == "#20" ? 20 : Type(c[1]);
    const int rc = CharToBinPlc(buf, c[0].data(), type, std::stoi(c[2]), std::stoul(c[3]));
    EXPECT_EQ(std::to_string(rc) + "|" + ToHex(buf, c[6].size() / 2) + "|" + c[0],
              c[5] + "|" + c[6] + "|" + c[7])
        << row;
  }
  EXPECT_TRUE(Logged("CharToBinPlc():: Unknown data type: 20"));
}

TEST_F(PlcValue, NumbersBothWays) {
  // text | type | text read back [| date_time_decimal]; the bytes past the type stay as they were
  for (const char* row : {"300|USINT|44",
                          "200|BYTE|200",
                          "-5|SINT|-5",
                          "-1|UINT|65535",
                          "4660|WORD|4660",
                          "3.5|INT|3",
                          "-2|INT|-2",
                          "4000000000|UDINT|4000000000",
                          "  17 trailing|DWORD|17",
                          "-100000|DINT|-100000",
                          "-7|TIME|-7",
                          "3600000|TOD|3600000",
                          "1|LWORD|1",
                          "18446744073709551615|ULINT|18446744073709551615",
                          "-9223372036854775808|LINT|-9223372036854775808",
                          "1e3|REAL|1000.000000",
                          "2.25|LREAL|2.250000000000000",
                          "1700000000|DATE|1700000000",
                          "17|DT|17",
                          "45000.25|DATE|45000.250|1",
                          "0.5|DT|0.500|1"}) {
    auto c = kt::Cols(row);
    date_time_decimal = c.size() > 3;
    unsigned char buf[16];
    FromHex("", buf);
    ASSERT_EQ(CharToBinPlc(buf, c[0].data(), Type(c[1]), 0, 0), 0) << row;
    EXPECT_EQ(Text(buf, Type(c[1])), c[2]) << row;
    EXPECT_EQ(buf[SizeofPlcReg(Type(c[1]))], 0xEE) << row;
  }
}

TEST_F(PlcValue, BytesToTextAndBits) {
  // bytes | type | bit | size | text: BOOL bits 0..7 only; a STRING ends after its size or at
  // its zero byte and shows line ends as spaces; size 0 or an unknown type writes nothing.
  for (const char* row : {"08|BOOL|3|0|1", "08|BOOL|2|0|0", "08|BOOL|11|0|0",
                          "410d0a4200|STRING|0|5|A  B", "5758595a|STRING|0|4|WXYZ",
                          "5758595a|STRING|0|2|WX", "5758595a|STRING|0|0|Z", "01|#77|0|0|Z"}) {
    auto c = kt::Cols(row);
    unsigned char buf[16];
    FromHex(c[0], buf);
    const uint8_t type = c[1] == "#77" ? 77 : Type(c[1]);
    EXPECT_EQ(Text(buf, type, std::stoi(c[2]), std::stoul(c[3])).substr(0, c[4].size()), c[4]);
  }
  EXPECT_TRUE(Logged("BinToCharPlc():: Unknown data type: 77"));
  unsigned char big[300];
  memset(big, 'q', sizeof big);
  EXPECT_EQ(Text(big, PLC_STRING, 0, 300), std::string(255, 'q'));  // never past the text

  const float r = 1.5f;
  const double l = 1.5, huge = 1e300;
  // num_of_decimals | lim_of_decimals | scient_notation | REAL text | LREAL text
  for (const char* row : {"2|1|0|1.50|1.50", "2|0|0|1.500000|1.500000000000000",
                          "12|1|0|1.500000|1.500000000000", "2|1|1|1.50e+00|1.50e+00"}) {
    auto c = kt::Cols(row);
    num_of_decimals = std::stoi(c[0]), lim_of_decimals = std::stoi(c[1]);
    scient_notation = std::stoi(c[2]);
    EXPECT_EQ(Text(&r, PLC_REAL) + "|" + Text(&l, PLC_LREAL), c[3] + "|" + c[4]) << row;
  }
  scient_notation = lim_of_decimals = 0;  // too long in fixed form: shown whole as an exponent
  EXPECT_EQ(Text(&huge, PLC_LREAL), "1.000000000000000e+300");
  // bit | value | mode | code: text is converted at the given bit, mode 1 reads a byte
  for (const char* row : {"5|1|0|133", "5|0|0|5", "5|true|0|133", "5|maybe|0|5", "0|1|0|128",
                          "7|TRUE|0|135", "9|1|0|9", "2|\1|1|130", "2||1|2"}) {
    auto c = kt::Cols(row);
    EXPECT_EQ(GetPlcBit(std::stoi(c[0]), c[1].data(), std::stoi(c[2])), std::stoi(c[3])) << row;
  }
  EXPECT_EQ(TestBitPlc(0x08, 0x00, 3) + TestBitPlc(0x01, 0x00, 0), 2);
  EXPECT_EQ(TestBitPlc(0x08, 0x08, 3) + TestBitPlc(0xFF, 0x00, 8), 0);
}
