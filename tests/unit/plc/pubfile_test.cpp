// Reading public file text, the two indexes, look-ups, enumeration, counts and the checksum line.
#include "plc/pubfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/globals.h"
#include "plc/plcdef.h"
#include "plc_test_support.h"

namespace {

struct PubFileTest : ::testing::Test {
  void SetUp() override {
    ResetGlobalSettings();
    pubfile_read_pause_ms = 0;
  }
  void TearDown() override {
    ResetGlobalSettings();
    pubfile_read_pause_ms = 10;
  }
};

std::string WithCrc(const std::string& body) {
  char line[64];
  snprintf(line, sizeof line, ";* Crc=\"%04X\"\n", crcPLC(body.data(), body.size()));
  return body + line;
}

}  // namespace

TEST_F(PubFileTest, LongAndShortForms) {
  auto pf = kt::ReadText(
      "pub_x r 0 10 .3 bool pub_in ; note\n"
      "LEVEL R 0 12 REAL\n"
      "NAME R 0 14 STRING[20]\n"
      "NAME2 R 0 40 STRING\n"
      "FLAG X 0 2 .7 BOOL\n"
      "PUB_W R 0 30 WORD PUB_OUT\n"
      "OTHER Y 0 1 INT PUB_IN\n");
  ASSERT_TRUE(pf);
  EXPECT_EQ(CountRecPublicFile(pf.get()), 7);

  PUBFILE_R* r = FindPubFileRec(pf.get(), "PUB_X");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->reg, PLC_REG_R);
  EXPECT_EQ(r->addr, 10u);
  EXPECT_EQ(r->bit, 3);
  EXPECT_EQ(r->type, PLC_BOOL);
  EXPECT_EQ(r->size, 1u);
  EXPECT_EQ(r->state, PF_ENABLED);
  EXPECT_EQ(r->dir, 0);

  r = FindPubFileRec(pf.get(), "LEVEL");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->type, PLC_REAL);
  EXPECT_EQ(r->addr, 12u);
  EXPECT_EQ(r->size, 4u);
  EXPECT_EQ(r->bit, 0);
  EXPECT_EQ(FindPubFileRec(pf.get(), "NAME")->size, 20u);
  EXPECT_EQ(FindPubFileRec(pf.get(), "NAME2")->size, 80u);
  EXPECT_EQ(FindPubFileRec(pf.get(), "FLAG")->bit, 7);
  EXPECT_EQ(FindPubFileRec(pf.get(), "PUB_W")->type, PLC_WORD);
  EXPECT_EQ(FindPubFileRec(pf.get(), "OTHER")->reg, PLC_REG_Y);
  EXPECT_EQ(FindPubFileRec(pf.get(), "level"), nullptr);  // names are upper case, exact look-up

  // Both copies of a record carry the key.
  r = FindPubFileRec(pf.get(), "LEVEL");
  PUBFILE_R* byKey = FindPubFileRecByKey(pf.get(), r->key);
  ASSERT_NE(byKey, nullptr);
  EXPECT_STREQ(byKey->name, "LEVEL");
  EXPECT_DOUBLE_EQ(r->key, crcPLC("LEVEL", 5) * 0.000001 + 12 + 4000000);
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
  EXPECT_EQ(FindPubFileRec(pf.get(), "A")->type, PLC_INT);  // the first definition is kept
  EXPECT_TRUE(
      log.Has("ReadPubFile():: Found duplicity at line 4 for variable: 'A'. Skiping this record!"));
  EXPECT_TRUE(log.Has("Parse error at line 5! Unknown register: 'Q'. Skiping this record!"));
  EXPECT_TRUE(log.Has("Parse error at line 6! Bad address: 'X1'. Skiping this record!"));
  EXPECT_TRUE(log.Has("Parse error at line 7! Wrong bit number: '3'. Skiping this record!"));
  EXPECT_TRUE(log.Has("Parse error at line 8! Unknown data type: 'FLOAT'. Skiping this record!"));
  EXPECT_TRUE(log.Has("Parse error at line 9! Wrong bit number: '.X'. Skiping this record!"));
  EXPECT_NE(FindPubFileRec(pf.get(), "H"), nullptr);
}

TEST_F(PubFileTest, OverlongWordsAndLinesAreCutNotSpilled) {
  kt::LogCapture log;
  std::string longname(300, 'N');
  std::string text = longname + " R 0 4 INT\n";
  text += "T " + std::string(40, 'R') + " 0 4 INT\n";         // register cut to 31: unknown
  text += "L R 0 8 DINT ;" + std::string(3000, 'c') + "\n";   // long comment cut away
  text += "M R 0 9 STRING[" + std::string(100, '1') + "]\n";  // cut, still a long STRING
  auto pf = kt::ReadText(text);
  ASSERT_TRUE(pf);
  EXPECT_NE(FindPubFileRec(pf.get(), std::string(255, 'N').c_str()), nullptr);
  EXPECT_TRUE(log.Has("Unknown register: '" + std::string(31, 'R') + "'"));
  EXPECT_NE(FindPubFileRec(pf.get(), "L"), nullptr);
  ASSERT_NE(FindPubFileRec(pf.get(), "M"), nullptr);
  EXPECT_EQ(FindPubFileRec(pf.get(), "M")->size, 255u);
  EXPECT_EQ(CountRecPublicFile(pf.get()), 3);
}

TEST_F(PubFileTest, EqualKeysFailTheFile) {
  kt::LogCapture log;
  // Two names with equal checksums at the same place collide on the address key.
  std::string a = "K0", b;
  const uint16_t want = crcPLC(a.data(), 2);
  for (int i = 0; i < 36 * 36 * 36 * 36 && b.empty(); ++i) {
    const char* digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    char n[5] = {digits[i % 36], digits[i / 36 % 36], digits[i / 1296 % 36], digits[i / 46656], 0};
    if (crcPLC(n, 4) == want) b = n;
  }
  ASSERT_FALSE(b.empty());
  auto fail = kt::ReadText(a + " R 0 4 INT\n" + b + " R 0 4 INT\n");
  EXPECT_FALSE(fail);
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
  EXPECT_EQ(FindPubFileRec(pf.get(), "A")->state, PF_DISABLED);
  EXPECT_EQ(CountActRecPublicFile(pf.get()), 0);
  EXPECT_EQ(pf->disabled_names.size(), 2u);
  EXPECT_TRUE(pf->enabled_names.empty());
  FindPubFileRec(pf.get(), "B")->hidden = 1;
  EXPECT_EQ(CountHideRecPubFile(pf.get()), 1);
  EXPECT_EQ(MaxRegPublicFile(pf.get()), 2u);
  EXPECT_EQ(CountRecPublicFile(nullptr), 0);
  EXPECT_EQ(FindFirstPubFileRec(nullptr), nullptr);
  EXPECT_STREQ(FindFirstPubFileRec(pf.get())->name, "A");
}

TEST_F(PubFileTest, EnumerationByNameAndKey) {
  auto pf = kt::ReadText("TEMP_2 R 0 8 INT\nLEVEL R 0 0 INT\nTEMP_1 X 0 0 .1 BOOL\n");
  ASSERT_TRUE(pf);
  std::vector<std::string> seen;
  for (int i = 0; i < 3; ++i) seen.push_back(FindPubFileRec(pf.get(), "*")->name);
  EXPECT_EQ(seen, (std::vector<std::string>{"LEVEL", "TEMP_1", "TEMP_2"}));
  EXPECT_EQ(FindPubFileRec(pf.get(), "*"), nullptr);
  EXPECT_STREQ(FindPubFileRec(pf.get(), "*")->name, "LEVEL");  // starts again
  FindPubFileRec(pf.get(), "*");
  FindPubFileRec(pf.get(), "*");
  EXPECT_EQ(FindPubFileRec(pf.get(), "*"), nullptr);

  EXPECT_STREQ(FindPubFileRec(pf.get(), "TEMP*")->name, "TEMP_1");
  EXPECT_STREQ(FindPubFileRec(pf.get(), "TEMP*")->name, "TEMP_2");
  EXPECT_EQ(FindPubFileRec(pf.get(), "TEMP*"), nullptr);
  EXPECT_STREQ(FindPubFileRec(pf.get(), "*_1")->name, "TEMP_1");
  EXPECT_EQ(FindPubFileRec(pf.get(), "*_1"), nullptr);

  // Key order: X before R, then by address.
  seen.clear();
  while (PUBFILE_R* r = FindPubFileRecByKey(pf.get(), 0)) seen.push_back(r->name);
  EXPECT_EQ(seen, (std::vector<std::string>{"TEMP_1", "LEVEL", "TEMP_2"}));
  EXPECT_STREQ(FindPubFileRecByKey(pf.get(), 0)->name, "TEMP_1");
  EXPECT_EQ(FindPubFileRecByKey(pf.get(), -1), nullptr);  // reset
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
  std::string body = "A R 0 0 INT\r\nB R 0 2 INT\r\n";
  std::string text = WithCrc(body);
  uint32_t pos = 99;
  EXPECT_EQ(GetPubFileCrc(text.c_str(), &pos), crcPLC(body.data(), body.size()));
  EXPECT_EQ(pos, body.size());

  auto pf = kt::ReadText(text);
  ASSERT_TRUE(pf);
  EXPECT_EQ(CountRecPublicFile(pf.get()), 2);
  EXPECT_EQ(VerifyPubFileCrc(&pf->file), crcPLC(body.data(), body.size()));

  // Line ends count as obtained: the same lines with LF only give another checksum.
  std::string lf = "A R 0 0 INT\nB R 0 2 INT\n";
  char line[64];
  snprintf(line, sizeof line, ";* Crc=\"%04X\"\n", crcPLC(body.data(), body.size()));
  auto wrong = kt::ReadText(lf + line);
  EXPECT_EQ(VerifyPubFileCrc(&wrong->file), 0u);

  auto none = kt::ReadText(body);
  EXPECT_EQ(VerifyPubFileCrc(&none->file), 0u);
  EXPECT_EQ(GetPubFileCrc(body.c_str(), &pos), 0u);
  EXPECT_EQ(pos, 0u);

  // Only the low 16 bits take part.
  snprintf(line, sizeof line, ";* Crc=\"1%04X\"\n", crcPLC(body.data(), body.size()));
  auto wide = kt::ReadText(body + line);
  EXPECT_EQ(VerifyPubFileCrc(&wide->file), crcPLC(body.data(), body.size()));
}

TEST_F(PubFileTest, NothingToReadAndCreate) {
  EXPECT_EQ(ReadPubFile(nullptr), nullptr);
  kt::PubFilePtr empty(CreatePubFile(nullptr));
  EXPECT_EQ(ReadPubFile(empty.get()), nullptr);
  empty->enable_mark = 3;
  EXPECT_EQ(CreatePubFile(empty.get()), empty.get());
  EXPECT_EQ(empty->enable_mark, 0);
  auto comments = kt::ReadText(";only\n;comments\n");
  ASSERT_TRUE(comments);
  EXPECT_EQ(CountRecPublicFile(comments.get()), 0);
}
