// PLC files over the file transfer service: writes in pieces and information against the
// simulator; replies whose handle, offset or length is wrong, and a PLC that moves no bytes, from
// a scripted PLC.
#include "files/fileaccess.h"
#include "files_test_support.h"

using PlcFiles = ft::WithPlc;

TEST_F(PlcFiles, WritesInPiecesInformationAndWrongReplies) {
  // Written in pieces of 1150 bytes with the record's stamps, then read as information.
  const std::string text = ft::Pattern(3000);
  ft::Rec rec;
  rec.data = static_cast<char*>(malloc(text.size()));
  memcpy(rec.data, text.data(), text.size());
  const unsigned char stamp[6] = {124, 6, 19, 14, 52, 16};
  memcpy(rec.stamp_b, stamp, 6);
  rec.size.store(2500);
  long before = Stat("requests");
  ASSERT_EQ(WriteDorvikFile(&rec, "", "out/w.bin", &link, 5), 0);
  EXPECT_EQ(Stat("requests") - before, 5);  // open, 1150 + 1150 + 200 bytes, close
  EXPECT_EQ(rec.end.load(), rec.data + 2500);
  EXPECT_EQ(Ctl("fileget out/w.bin"), "OK " + ft::Hex(text.substr(0, 2500)));
  ft::Rec info;
  ASSERT_EQ(GetFileInfo(&info, "", "out/w.bin", &link, 5), 0);
  EXPECT_EQ(info.source, 2);
  EXPECT_EQ(info.size.load(), 2500);
  EXPECT_EQ(info.mtime, 1718808736);  // 2024-06-19 14:52:16 UTC
  const unsigned char later[6] = {125, 1, 2, 3, 4, 5};
  memcpy(info.stamp_b, later, 6);
  ASSERT_EQ(WriteFileInfo(&info, "", "out/w.bin", &link, 5), 0);
  ft::Rec again;
  ASSERT_EQ(GetFileInfo(&again, "", "out/w.bin", &link, 5), 0);
  EXPECT_EQ(again.mtime, 1735787045);  // 2025-01-02 03:04:05 UTC

  // Names leaving the root are refused before any exchange.
  before = Stat("requests");
  EXPECT_EQ(GetDorvikFile(&again, "", "../out/w.bin", &link, 5), -1);
  EXPECT_EQ(GetFileInfo(&again, "", "../out/w.bin", &link, 5), -1);
  EXPECT_EQ(Stat("requests") - before, 0);

  // Three wrong replies in a row fail the transfer; fewer are retried and the data is whole.
  const char* read_err = "Error in received data! (handle: ";
  const char* write_err = "Write data error! (handle: ";
  const struct {
    ft::ScriptedPlc::Fault fault;
    int bad, rc;
    const char* logged;  // once for every wrong reply, behind read_err or write_err
    bool write;
  } rows[] = {
      {ft::ScriptedPlc::HANDLE, 2, 0, "8 != 7, offset: 0 != 0, length: 100 <= 100)", false},
      {ft::ScriptedPlc::HANDLE, 3, -1, "8 != 7, offset: 0 != 0, length: 100 <= 100)", false},
      {ft::ScriptedPlc::OFFSET, 3, -1, "7 != 7, offset: 1 != 0, length: 100 <= 100)", false},
      {ft::ScriptedPlc::LENGTH, 3, -1, "7 != 7, offset: 0 != 0, length: 101 <= 100)", false},
      {ft::ScriptedPlc::EMPTY, 2, 0, "", false},
      {ft::ScriptedPlc::EMPTY, 3, -1, "", false},  // would otherwise go on for ever
      {ft::ScriptedPlc::STATUS, 2, 0, "", false},
      {ft::ScriptedPlc::OFFSET, 1, 0, "7 != 7, offset: 1 != 0, length: 100 <= 100)", true},
      {ft::ScriptedPlc::OFFSET, 3, -1, "7 != 7, offset: 1 != 0, length: 100 <= 100)", true},
      {ft::ScriptedPlc::LENGTH, 3, -1, "7 != 7, offset: 0 != 0, length: 101 <= 100)", true},
      {ft::ScriptedPlc::EMPTY, 3, -1, "", true},
  };
  for (const auto& r : rows) {
    const std::string logged = std::string(r.write ? write_err : read_err) + r.logged;
    SCOPED_TRACE(logged + " x" + std::to_string(r.bad));
    ft::ScriptedPlc plc{r.fault, r.bad, ft::Pattern(100), ""};
    DORVIK_T fake{};
    ft::Attach(&fake, &plc);
    const size_t before = LogCount(logged);
    ft::Rec rec;
    rec.data = strdup(plc.file.c_str());
    rec.size.store(100);
    EXPECT_EQ(
        r.write ? WriteDorvikFile(&rec, "", "f", &fake, 0) : GetDorvikFile(&rec, "", "f", &fake, 0),
        r.rc);
    EXPECT_EQ(LogCount(logged) - before, *r.logged ? size_t(r.bad) : 0u);
    if (r.rc == 0) {
      EXPECT_EQ(r.write ? plc.written : std::string(rec.data, 101),
                plc.file + (r.write ? "" : std::string(1, '\0')));
    }
    EXPECT_EQ(rec.busy.load(), r.rc == 0 ? 0 : 2);  // a failed transfer stays marked
    Dorvik_EXIT(&fake);
  }
  EXPECT_EQ(LogCount("Unable to read PLC file: f"), 4u);
  EXPECT_EQ(LogCount("Unable to write file to PLC: f"), 3u);
}
