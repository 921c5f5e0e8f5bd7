// Text helpers: wildcard matching, in-place edits, address normalising.
#include "app/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(Strmcmp, WildcardsMatchWithoutBacktracking) {
  struct {
    const char *text, *pattern;
    int result;
  } cases[] = {
      {"TEMP_1", "TEMP*", 0},
      {"MY_TEMP", "TEMP*", 1},
      {"MY_TEMP", "*TEMP", 0},
      {"A_B_C", "A*C", 0},
      {"ABC", "abc", 1},
      {"anything", "*", 0},
      {"", "*", 0},
      {"", "", 0},
      {"x", "", 1},
      {"ABC", "A**C", 0},
      {"ABCD", "ABC", 1},
      {"A1B2C", "A*B*C", 0},
      {"xabyab", "*ab", 1},  // the first "ab" is taken for good, so text remains after it
  };
  for (const auto& c : cases)
    EXPECT_EQ(strmcmp(c.text, c.pattern), c.result) << c.text << " ~ " << c.pattern;
  // A pattern beyond 255 characters is cut, not overrun.
  EXPECT_EQ(strmcmp(std::string(255, 'A').c_str(), std::string(400, 'A').c_str()), 0);
}

TEST(TextEdits, DosLineEndsUpperCaseAndAddresses) {
  char t[] = "a\r\nb\rc";
  EXPECT_EQ(Dos2Unix(t), 0);
  EXPECT_STREQ(t, "a\nb\nc");
  EXPECT_EQ(t[6], '\0');  // the freed tail is cleared
  char u[] = "pub_x r";
  EXPECT_EQ(strtoupper(u), 0);
  EXPECT_STREQ(u, "PUB_X R");
  // Addresses (their leading zeros are dropped in the PLC section tests).
  char name[] = "plc.local", empty[] = "", big[] = "99999999999.1.1.1";
  EXPECT_EQ(FixIPaddr(name), 0);
  EXPECT_STREQ(name, "plc.local");
  EXPECT_TRUE(FixIPaddr(empty) == 1 && FixIPaddr(nullptr) == 1);
  FixIPaddr(big);  // would print longer than the buffer: not written
  EXPECT_LE(strlen(big), sizeof big - 1);
}
