// Text helpers: wildcard matching, line ends, address normalising, in-place edits.
#include "app/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

TEST(Strmcmp, WildcardsMatchWithoutBacktracking) {
  EXPECT_EQ(strmcmp("TEMP_1", "TEMP*"), 0);
  EXPECT_EQ(strmcmp("MY_TEMP", "TEMP*"), 1);
  EXPECT_EQ(strmcmp("MY_TEMP", "*TEMP"), 0);
  EXPECT_EQ(strmcmp("A_B_C", "A*C"), 0);
  EXPECT_EQ(strmcmp("ABC", "abc"), 1);
  // The first occurrence of "ab" is taken for good, so text remains after it.
  EXPECT_EQ(strmcmp("xabyab", "*ab"), 1);
  EXPECT_EQ(strmcmp("anything", "*"), 0);
  EXPECT_EQ(strmcmp("", "*"), 0);
  EXPECT_EQ(strmcmp("", ""), 0);
  EXPECT_EQ(strmcmp("x", ""), 1);
  EXPECT_EQ(strmcmp("ABC", "A**C"), 0);
  EXPECT_EQ(strmcmp("ABC", "ABC"), 0);
  EXPECT_EQ(strmcmp("ABCD", "ABC"), 1);
  EXPECT_EQ(strmcmp("A1B2C", "A*B*C"), 0);
}

TEST(Strmcmp, OverlongPatternIsCutNotOverrun) {
  std::string pat(400, 'A');
  std::string text(255, 'A');
  EXPECT_EQ(strmcmp(text.c_str(), pat.c_str()), 0);
}

TEST(TextEdits, Dos2UnixStrchrdelStrchrchgStrtoupper) {
  char t[] = "a\r\nb\rc";
  EXPECT_EQ(Dos2Unix(t), 0);
  EXPECT_STREQ(t, "a\nb\nc");
  EXPECT_EQ(t[6], '\0');  // the freed tail is cleared

  char d[] = "A B C";
  EXPECT_EQ(strchrdel(d, ' '), 1);
  EXPECT_STREQ(d, "ABC");
  EXPECT_EQ(strchrdel(d, ' '), 0);

  char c[] = "a.b.c";
  EXPECT_EQ(strchrchg(c, '.', '/'), 1);
  EXPECT_STREQ(c, "a/b/c");
  EXPECT_EQ(strchrchg(c, '.', '/'), 0);

  char u[] = "pub_x r";
  EXPECT_EQ(strtoupper(u), 0);
  EXPECT_STREQ(u, "PUB_X R");
}

TEST(TextEdits, StrstrrepReplacesWithoutOverlap) {
  char* r = strstrrep("aaaa", "aa", "b");
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r, "bb");
  free(r);
  r = strstrrep("abc", "x", "y");
  EXPECT_STREQ(r, "abc");
  free(r);
  r = strstrrep("abc", "", "y");
  EXPECT_STREQ(r, "abc");
  free(r);
  r = strstrrep("a-b-c", "-", "--");
  EXPECT_STREQ(r, "a--b--c");
  free(r);
}

TEST(FixIPaddr, RemovesLeadingZerosAndLeavesOtherTextAlone) {
  char a[] = "010.000.000.001";
  EXPECT_EQ(FixIPaddr(a), 0);
  EXPECT_STREQ(a, "10.0.0.1");
  char b[] = "192.168.001.010";
  FixIPaddr(b);
  EXPECT_STREQ(b, "192.168.1.10");
  char e[] = "";
  EXPECT_EQ(FixIPaddr(e), 1);
  EXPECT_EQ(FixIPaddr(nullptr), 1);
  char host[] = "plc.local";
  EXPECT_EQ(FixIPaddr(host), 0);
  EXPECT_STREQ(host, "plc.local");
  // A value that would print longer than the buffer holds is not written.
  char big[] = "99999999999.1.1.1";
  FixIPaddr(big);
  EXPECT_LE(strlen(big), sizeof big - 1);
}

TEST(FixDouble, LeavesIeeeDoublesAlone) {
  double v = 1.5;
  EXPECT_EQ(FixDouble(&v), 0);
  EXPECT_EQ(v, 1.5);
}
