// Reading public file text, the two indexes, look-ups, enumeration, counts and the checksum line.
#include "plc/pubfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plc_test_support.h"

using PubFileTest = kt::PlcTest;

TEST_F(PubFileTest, LongAndShortForms) {
  auto pf = kt::ReadText(
      "pub_x r 0 10 .3 bool pub_in ; note\n"  // the seven-word form
      "LEVEL R 0 12 REAL\n"
      "NAME R 0 14 STRING[20]\n"
      "NAME2 R 0 40 STRING\n"
      "FLAG X 0 2 .7 BOOL\n"
      "OTHER Y 0 1 INT PUB_IN\n");
  ASSERT_TRUE(pf);
  EXPECT_EQ(CountRecPublicFile(pf.get()), 6);
  EXPECT_EQ(kt::States(pf.get()), "FLAG=1 LEVEL=1 NAME=1 NAME2=1 OTHER=1 PUB_X=1 ");
  const std::pair<const char*, const char*> rows[] = {
      {"PUB_X", "R10.3 BOOL 1"},    {"LEVEL", "R12.0 REAL 4"}, {"NAME", "R14.0 STRING 20"},
      {"NAME2", "R40.0 STRING 80"}, {"FLAG", "X2.7 BOOL 1"},   {"OTHER", "Y1.0 INT 2"}};
  for (const auto& [name, want] : rows) {
    EXPECT_EQ(kt::Rec(pf.get(), name), want);
    // Both copies carry the key.
    EXPECT_STREQ(FindPubFileRecByKey(pf.get(), FindPubFileRec(pf.get(), name)->key)->name, name);
  }
  EXPECT_EQ(FindPubFileRec(pf.get(), "level"), nullptr);  // names are upper case, exact look-up
}

TEST_F(PubFileTest, LineNumbersDuplicatesAndBadFields) {
  kt::LogCapture log;
  auto pf = kt::ReadText(
      "A R 0 1 INT\r\n"        // line 2
      "\r\n\r\n"               // empty lines are not counted
      "; comment\r"            // line 3
      "A R 0 5 REAL\n"         // line 4: duplicate
      "B Q 0 1 INT\n"          // line 5
      "C R 0 x1 INT\n"         // line 6
      "D R 0 1 3 INT\n"        // line 7
      "E R 0 1 FLOAT\n"        // line 8
      "F R 0 7junk .x BOOL\n"  // line 9
      "   \n"                  // line 10: blank but not empty
      "G R\n"                  // line 11: too few words, skipped quietly
      "H R 0 3 DINT\n");       // line 12
  ASSERT_TRUE(pf);
  EXPECT_EQ(CountRecPublicFile(pf.get()), 2);
  EXPECT_EQ(kt::Rec(pf.get(), "A"), "R1.0 INT 2");  // the first definition is kept
  EXPECT_EQ(kt::Rec(pf.get(), "H"), "R3.0 DINT 4");
  EXPECT_TRUE(
      log.Has("ReadPubFile():: Found duplicity at line 4 for variable: 'A'. Skiping this record!"));
  for (const char* msg : {"line 5! Unknown register: 'Q'", "line 6! Bad address: 'X1'",
                          "line 7! Wrong bit number: '3'", "line 8! Unknown data type: 'FLOAT'",
                          "line 9! Wrong bit number: '.X'"}) {
    EXPECT_TRUE(log.Has(std::string("Parse error at ") + msg + ". Skiping this record!")) << msg;
  }
}

TEST_F(PubFileTest, OverlongWordsAndLinesAreCutNotSpilled) {
  kt::LogCapture log;
  std::string text = std::string(300, 'N') + " R 0 4 INT\n";
  text += "T " + std::string(40, 'R') + " 0 4 INT\n";         // register cut to 31: unknown
  text += "L R 0 8 DINT ;" + std::string(3000, 'c') + "\n";   // long comment cut away
  text += "M R 0 9 STRING[" + std::string(100, '1') + "]\n";  // cut, still a long STRING
  auto pf = kt::ReadText(text);
  ASSERT_TRUE(pf);
  EXPECT_EQ(CountRecPublicFile(pf.get()), 3);
  EXPECT_NE(FindPubFileRec(pf.get(), std::string(255, 'N').c_str()), nullptr);
  EXPECT_TRUE(log.Has("Unknown register: '" + std::string(31, 'R') + "'"));
  EXPECT_EQ(kt::Rec(pf.get(), "L"), "R8.0 DINT 4");
  EXPECT_EQ(kt::Rec(pf.get(), "M"), "R9.0 STRING 255");
}

TEST_F(PubFileTest, EqualKeysFailTheFile) {
  kt::LogCapture log;
  // A second name with the checksum of "K0" collides with it on the address key.
  const char* digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string a = "K0", b;
  for (int i = 0; i < 36 * 36 * 36 * 36 && b.empty(); ++i) {
    char n[5] = {digits[i % 36], digits[i / 36 % 36], digits[i / 1296 % 36], digits[i / 46656], 0};
    if (crcPLC(n, 4) == crcPLC(a.data(), 2)) b = n;
  }
  ASSERT_FALSE(b.empty());
  EXPECT_FALSE(kt::ReadText(a + " R 0 4 INT\n" + b + " R 0 4 INT\n"));
  EXPECT_TRUE(log.Has("Unable to insert (addrs) new public file record!"));
  EXPECT_TRUE(log.Has("Unable to add record '" + b + "' to table!"));
  // At another address the same two names live side by side.
  auto ok = kt::ReadText(a + " R 0 4 INT\n" + b + " R 0 6 INT\n");
  ASSERT_TRUE(ok);
  EXPECT_EQ(CountRecPublicFile(ok.get()), 2);
}

TEST_F(PubFileTest, DisabledSettingAndCounts) {
  pf_var_disabled = 1;
  auto pf = kt::ReadText("A R 0 0 INT\nB R 0 2 INT\n");
  ASSERT_TRUE(pf);
  EXPECT_EQ(kt::States(pf.get()), "A=2 B=2 ");
  EXPECT_EQ(kt::Sets(pf.get()), "-A -B ");
  EXPECT_EQ(MaxRegPublicFile(pf.get()), 2u);
  EXPECT_EQ(ReadPubFile(nullptr), nullptr);
}

TEST_F(PubFileTest, EnumerationByNameAndKey) {
  auto pf = kt::ReadText("TEMP_2 R 0 8 INT\nLEVEL R 0 0 INT\nTEMP_1 X 0 0 .1 BOOL\n");
  ASSERT_TRUE(pf);
  auto names = [&](const char* pattern) {
    std::string out;
    while (PUBFILE_R* r = FindPubFileRec(pf.get(), pattern)) out += std::string(r->name) + " ";
    return out;
  };
  EXPECT_EQ(names("*"), "LEVEL TEMP_1 TEMP_2 ");
  EXPECT_EQ(names("*"), "LEVEL TEMP_1 TEMP_2 ");  // starts again after the end
  EXPECT_EQ(names("TEMP*"), "TEMP_1 TEMP_2 ");
  EXPECT_EQ(names("*_1"), "TEMP_1 ");

  // Key order: X before R, then by address; -1 resets the cursor.
  std::string keys;
  while (PUBFILE_R* r = FindPubFileRecByKey(pf.get(), 0)) keys += std::string(r->name) + " ";
  EXPECT_EQ(keys, "TEMP_1 LEVEL TEMP_2 ");
  EXPECT_STREQ(FindPubFileRecByKey(pf.get(), 0)->name, "TEMP_1");
  EXPECT_EQ(FindPubFileRecByKey(pf.get(), -1), nullptr);
  EXPECT_STREQ(FindPubFileRecByKey(pf.get(), 0)->name, "TEMP_1");
  EXPECT_EQ(FindPubFileRecByKey(pf.get(), 12345.0), nullptr);
}

TEST_F(PubFileTest, MemSizeAddsRatherThanTakesTheMaximum) {
  auto pf = kt::ReadText("A R 0 0 DINT\nB R 0 10 INT\nC X 0 3 BYTE\nD Y 0 1 LREAL\nF S 0 2 INT\n");
  ASSERT_TRUE(pf);
  uint32_t x = 9, y = 9, r = 9, s = 9;
  EXPECT_EQ(GetPubFileMemSize(pf.get(), &x, &y, &r, &s), 0);
  EXPECT_EQ(r, 16u);  // 4, then 4 + 12
  EXPECT_EQ(x, 4u);
  EXPECT_EQ(y, 9u);
  EXPECT_EQ(s, 4u);
  auto other = kt::ReadText("A R 0 0 DINT\nB E 0 1 INT\n");
  EXPECT_EQ(GetPubFileMemSize(other.get(), &x, &y, &r, &s), 1);
}

TEST_F(PubFileTest, ChecksumLineOverRawBytes) {
  const std::string body = "A R 0 0 INT\r\nB R 0 2 INT\r\n";
  const uint16_t crc = crcPLC(body.data(), body.size());
  const std::string text = kt::WithCrc(body);
  uint32_t pos = 99;
  EXPECT_EQ(GetPubFileCrc(text.c_str(), &pos), crc);
  EXPECT_EQ(pos, body.size());
  EXPECT_EQ(GetPubFileCrc(body.c_str(), &pos), 0u);
  EXPECT_EQ(pos, 0u);

  auto pf = kt::ReadText(text);
  ASSERT_TRUE(pf);
  EXPECT_EQ(CountRecPublicFile(pf.get()), 2);
  EXPECT_EQ(VerifyPubFileCrc(&pf->file), crc);
  EXPECT_EQ(VerifyPubFileCrc(&kt::ReadText(body)->file), 0u);
  // Line ends count as obtained: the same lines with LF only do not match.
  const std::string line = text.substr(body.size());
  EXPECT_EQ(VerifyPubFileCrc(&kt::ReadText("A R 0 0 INT\nB R 0 2 INT\n" + line)->file), 0u);
  // Only the low 16 bits take part.
  EXPECT_EQ(VerifyPubFileCrc(&kt::ReadText(body + ";* Crc=\"1" + line.substr(8))->file), crc);
}
