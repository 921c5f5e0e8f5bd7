// Reading public file text, the two indexes, look-ups, enumeration, counts, the checksum line and
// the example files.
#include "plc/pubfile.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "plc_test_support.h"

using PubFileTest = kt::PlcTest;

TEST_F(PubFileTest, FormsLineNumbersBadFieldsAndEqualKeys) {
  auto pf = kt::ReadText(
      "pub_x r 0 10 .3 bool pub_in ; note\r\n"  // line 2: the seven-word form
      "\r\n\r\n"                                // empty lines are not counted
      "; comment\r"                             // line 3
      "LEVEL R 0 12 REAL\nNAME R 0 14 STRING[20]\nNAME2 R 0 40 STRING\nFLAG X 0 2 .7 BOOL\n"
      "OTHER Y 0 1 INT PUB_IN\n"  // line 8
      "LEVEL R 0 5 REAL\nB Q 0 1 INT\nC R 0 x1 INT\nD R 0 1 3 INT\nE R 0 1 FLOAT\n"
      "F R 0 7junk .x BOOL\n"  // line 14
      "   \nG R\n"             // blank but not empty, and too few words: skipped quietly
      "H R 0 3 DINT\n" +
      std::string(300, 'N') + " R 0 50 INT\n" +           // a long name is cut at 255
      "T " + std::string(40, 'R') + " 0 4 INT\n" +        // register cut to 31: unknown
      "L R 0 8 DINT ;" + std::string(3000, 'c') + "\n" +  // a long comment is cut away
      "M R 0 60 STRING[" + std::string(100, '1') + "]\n");
  ASSERT_TRUE(pf);
  for (std::string row : {"PUB_X=R10.3 BOOL 1", "LEVEL=R12.0 REAL 4", "NAME=R14.0 STRING 20",
                          "NAME2=R40.0 STRING 80", "FLAG=X2.7 BOOL 1", "OTHER=Y1.0 INT 2",
                          "H=R3.0 DINT 4", "L=R8.0 DINT 4", "M=R60.0 STRING 255", "level=none"})
    EXPECT_EQ(kt::Rec(pf.get(), row), row);
  EXPECT_EQ(kt::Rec(pf.get(), std::string(255, 'N')), std::string(255, 'N') + "=R50.0 INT 2");
  EXPECT_EQ(CountRecPublicFile(pf.get()), 10);
  EXPECT_TRUE(Logged("ReadPubFile():: Found duplicity at line 9 for variable: 'LEVEL'. Skiping"));
  for (const char* msg : {"line 10! Unknown register: 'Q'", "line 11! Bad address: 'X1'",
                          "line 12! Wrong bit number: '3'", "line 13! Unknown data type: 'FLOAT'",
                          "line 14! Wrong bit number: '.X'"}) {
    EXPECT_TRUE(Logged(std::string("Parse error at ") + msg + ". Skiping this record!")) << msg;
  }
  EXPECT_TRUE(Logged("Unknown register: '" + std::string(31, 'R') + "'"));
  EXPECT_EQ(ReadPubFile(nullptr), nullptr);
  // Equal keys fail the whole file.
  ASSERT_EQ(crcPLC("AY9", 3), crcPLC("K0", 2));  // the same key at the same address
  EXPECT_FALSE(kt::ReadText("K0 R 0 4 INT\nAY9 R 0 4 INT\n"));
  EXPECT_TRUE(Logged("Unable to insert (addrs) new public file record!"));
  EXPECT_TRUE(Logged("Unable to add record 'AY9' to table!"));
  EXPECT_EQ(CountRecPublicFile(kt::ReadText("K0 R 0 4 INT\nAY9 R 0 6 INT\n").get()), 2);
}

TEST_F(PubFileTest, EnumerationCountsAndSizes) {
  pf_var_disabled = 1;
  auto pf = kt::ReadText(
      "TEMP_2 R 0 8 INT\nA R 0 0 DINT\nTEMP_1 X 0 3 .1 BOOL\nB R 0 10 INT\nD Y 0 1 LREAL\n"
      "F S 0 2 INT\n");
  ASSERT_TRUE(pf);
  EXPECT_EQ(kt::States(pf.get()),
            "A=2 B=2 D=2 F=2 TEMP_1=2 TEMP_2=2 | -A -B -D -F -TEMP_1 -TEMP_2");
  EXPECT_EQ(CountActRecPublicFile(pf.get()), 0);
  auto walk = [&](const std::function<PUBFILE_R*()>& next) {
    std::string out;
    while (PUBFILE_R* r = next()) out += std::string(r->name) + " ";
    return out;
  };
  auto by_name = [&](const char* p) { return walk([&] { return FindPubFileRec(pf.get(), p); }); };
  EXPECT_EQ(by_name("*"), "A B D F TEMP_1 TEMP_2 ");
  EXPECT_EQ(by_name("*"), "A B D F TEMP_1 TEMP_2 ");  // starts again after the end
  EXPECT_EQ(by_name("TEMP*") + by_name("*_1"), "TEMP_1 TEMP_2 TEMP_1 ");
  // Key order: X, Y, S, R, each by address; -1 resets the cursor.
  auto by_key = [&] { return walk([&] { return FindPubFileRecByKey(pf.get(), 0); }); };
  EXPECT_EQ(by_key(), "TEMP_1 D F A TEMP_2 B ");
  EXPECT_STREQ(FindPubFileRecByKey(pf.get(), 0)->name, "TEMP_1");
  EXPECT_EQ(FindPubFileRecByKey(pf.get(), -1), nullptr);
  EXPECT_STREQ(FindPubFileRecByKey(pf.get(), 0)->name, "TEMP_1");
  EXPECT_EQ(FindPubFileRecByKey(pf.get(), 12345.0), nullptr);

  // Sizes add in name order rather than take the maximum: R is 4 (A), then 4 + 12 (B).
  uint32_t x = 9, y = 9, r = 9, s = 9;
  EXPECT_EQ(GetPubFileMemSize(pf.get(), &x, &y, &r, &s), 0);
  EXPECT_EQ(std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(r) + " " +
                std::to_string(s),
            "4 9 16 4");
  auto other = kt::ReadText("A R 0 0 DINT\nB E 0 1 INT\n");
  EXPECT_EQ(GetPubFileMemSize(other.get(), &x, &y, &r, &s), 1);
}

TEST_F(PubFileTest, ChecksumLineOverRawBytesAndTheExamples) {
  const std::string body = "A R 0 0 INT\r\nB R 0 2 INT\r\n";
  const uint16_t crc = crcPLC(body.data(), body.size());
  const std::string text = kt::SignPubFile(body), line = text.substr(body.size());
  uint32_t pos = 99;
  EXPECT_EQ(GetPubFileCrc(text.c_str(), &pos), crc);
  EXPECT_EQ(pos, body.size());
  EXPECT_EQ(GetPubFileCrc(body.c_str(), &pos) + pos, 0u);
  const std::pair<std::string, uint32_t> rows[] = {
      {text, crc},
      {body, 0},                                       // no checksum line
      {"A R 0 0 INT\nB R 0 2 INT\n" + line, 0},        // line ends count as obtained
      {body + ";* Crc=\"1" + line.substr(8), crc},     // only the low 16 bits take part
      {std::string("A R 0 0 INT\0x", 13) + line, 0}};  // a NUL byte before the line
  for (const auto& [t, want] : rows) {
    PUBTEXT_T pt;
    ASSERT_EQ(SetPubText(&pt, t.data(), static_cast<int64_t>(t.size())), 0);
    EXPECT_EQ(VerifyPubFileCrc(&pt), want) << t;
  }
  // The examples carry valid checksums.
  const std::string root = KORVANE_SOURCE_DIR;
  auto fixed = kt::ReadText(kt::ReadFile(root + "/examples/FIXED_Rovanta.pub"));
  auto demo = kt::ReadText(kt::ReadFile(root + "/examples/plc/files/iRovanta.pub"));
  ASSERT_TRUE(fixed && demo);
  EXPECT_NE(VerifyPubFileCrc(&fixed->file) * VerifyPubFileCrc(&demo->file), 0u);
  EXPECT_EQ(kt::Rec(fixed.get(), "__PF_CRC"), "__PF_CRC=R0.0 UDINT 4");
  for (std::string row :
       {"TEMP=R16.0 REAL 4", "LEVEL=R20.0 INT 2", "PUMP_ON=X0.3 BOOL 1", "MESSAGE=R32.0 STRING 16"})
    EXPECT_EQ(kt::Rec(demo.get(), row), row);
}
