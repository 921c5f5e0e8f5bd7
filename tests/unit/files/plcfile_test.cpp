// PLC files over the file transfer service, against korvane-plcsim: reading empty, small and
// multi-exchange files, a reply with the wrong handle, writing in pieces, information, and names
// that are never asked of the PLC.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "app/globals.h"
#include "files/ffile.h"
#include "files/fileaccess.h"
#include "files_test_support.h"

namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  return s;
}

struct PlcFiles : ft::InScratch {
  ft::SimPlc sim;
  DORVIK_T link{};
  void SetUp() override {
    ft::InScratch::SetUp();
    ASSERT_TRUE(sim.Start(dir / "plcfs"));
    ASSERT_TRUE(ft::OpenUdp(&link, sim.udp_port));
  }
  void TearDown() override {
    Dorvik_EXIT(&link);
    ft::InScratch::TearDown();
  }
};

}  // namespace

TEST_F(PlcFiles, ReadEmptySmallAndMultiExchangeFiles) {
  ASSERT_EQ(sim.Ctl("fileput empty.txt"), "OK");
  ft::Rec rec;
  long before = sim.Requests();
  ASSERT_EQ(GetDorvikFile(&rec, "", "empty.txt", &link, 10), 0);
  EXPECT_EQ(sim.Requests() - before, 2);  // open and close
  EXPECT_EQ(rec.size.load(), 0);
  ASSERT_NE(rec.data, nullptr);
  EXPECT_EQ(rec.data[0], '\0');
  EXPECT_EQ(rec.end.load(), rec.data);
  EXPECT_EQ(rec.source, 2);
  EXPECT_EQ(rec.busy.load(), 0);
  EXPECT_EQ(rec.mode, static_cast<uint32_t>(S_IFREG | 0644));

  // 500 bytes: one read call over UDP (three frames), stamps turned into UTC times.
  const std::string small = Pattern(500);
  ASSERT_EQ(sim.Ctl("fileput dir/small.bin " + ft::Hex(small)), "OK");
  ASSERT_EQ(sim.Ctl("filestamp dir/small.bin 2024 6 19 14 52 16"), "OK");
  ft::fake_now = 5000;
  before = sim.Requests();
  ASSERT_EQ(GetDorvikFile(&rec, "", "dir/small.bin", &link, 10), 0);
  EXPECT_EQ(sim.Requests() - before, 3);
  ASSERT_EQ(rec.size.load(), 500);
  EXPECT_EQ(std::string(rec.data, 500), small);
  EXPECT_EQ(rec.data[500], '\0');
  EXPECT_EQ(rec.end.load(), rec.data + 500);
  EXPECT_STREQ(rec.name, "dir/small.bin");
  const unsigned char want_b[6] = {124, 6, 19, 14, 52, 16};
  EXPECT_EQ(memcmp(rec.stamp_b, want_b, 6), 0);
  EXPECT_EQ(rec.mtime, 1718808736);
  EXPECT_EQ(rec.use_time.load(), 5000 + ffile_timeout);

  // 3000 bytes need three read calls of up to 1150 bytes each.
  const std::string big = Pattern(3000);
  ASSERT_EQ(sim.Ctl("fileput big.bin " + ft::Hex(big)), "OK");
  before = sim.Requests();
  ASSERT_EQ(GetDorvikFile(&rec, "", "big.bin", &link, 10), 0);
  EXPECT_EQ(sim.Requests() - before, 5);
  EXPECT_EQ(std::string(rec.data, static_cast<size_t>(rec.size.load())), big);
}

TEST_F(PlcFiles, WrongHandleIsRetriedThenFails) {
  const std::string text = Pattern(300);
  ASSERT_EQ(sim.Ctl("fileput h.bin " + ft::Hex(text)), "OK");
  ft::Rec rec;
  ASSERT_EQ(sim.Ctl("fault filehandle 2"), "OK");
  ASSERT_EQ(GetDorvikFile(&rec, "", "h.bin", &link, 5), 0);
  EXPECT_EQ(std::string(rec.data, 300), text);
  EXPECT_EQ(log->Count("Error in received data! (handle: "), 2u);

  ASSERT_EQ(sim.Ctl("fault filehandle 3"), "OK");
  EXPECT_EQ(GetDorvikFile(&rec, "", "h.bin", &link, 5), -1);
  EXPECT_EQ(log->Count("Error in received data! (handle: "), 5u);
  EXPECT_TRUE(log->Has(", offset: 0 != 0, length: 300 <= 300)")) << log->Text();
  EXPECT_TRUE(log->Has("Unable to read PLC file: h.bin"));
  EXPECT_EQ(rec.busy.load(), 2);  // a failed read stays marked until its user clears it

  EXPECT_EQ(GetDorvikFile(&rec, "", "missing.bin", &link, 5), -1);
  EXPECT_TRUE(log->Has("Unable to open PLC file: missing.bin"));
}

TEST_F(PlcFiles, WriteInPiecesWithStampsThenInformation) {
  const std::string text = Pattern(2500);
  ft::Rec rec;
  rec.data = static_cast<char*>(malloc(text.size() + 1));
  memcpy(rec.data, text.data(), text.size());
  rec.size.store(static_cast<int64_t>(text.size()));
  const unsigned char stamp[6] = {124, 6, 19, 14, 52, 16};
  memcpy(rec.stamp_a, stamp, 6);
  memcpy(rec.stamp_b, stamp, 6);
  long before = sim.Requests();
  ft::fake_now = 100;
  ASSERT_EQ(WriteDorvikFile(&rec, "", "out/w.bin", &link, 5), 0);
  // open, 1150 + 1150 + 200 bytes, close
  EXPECT_EQ(sim.Requests() - before, 5);
  EXPECT_EQ(rec.end.load(), rec.data + text.size());
  EXPECT_EQ(rec.busy.load(), 0);
  EXPECT_EQ(rec.use_time.load(), 100 + ffile_timeout);
  EXPECT_EQ(sim.Ctl("fileget out/w.bin"), "OK " + ft::Hex(text));

  // Information of the PLC file, then a new modification time written to it.
  ft::Rec info;
  ASSERT_EQ(GetFileInfo(&info, "", "out/w.bin", &link, 5), 0);
  EXPECT_EQ(info.source, 2);
  EXPECT_EQ(info.size.load(), 2500);
  EXPECT_EQ(info.attr, 0);
  EXPECT_EQ(memcmp(info.stamp_b, stamp, 6), 0);
  EXPECT_EQ(info.data, nullptr);

  const unsigned char later[6] = {125, 1, 2, 3, 4, 5};
  memcpy(info.stamp_b, later, 6);
  ASSERT_EQ(WriteFileInfo(&info, "", "out/w.bin", &link, 5), 0);
  EXPECT_EQ(info.source, 2);
  ft::Rec again;
  ASSERT_EQ(GetFileInfo(&again, "", "out/w.bin", &link, 5), 0);
  EXPECT_EQ(memcmp(again.stamp_b, later, 6), 0);
  EXPECT_EQ(again.mtime, 1735787045);  // 2025-01-02 03:04:05 UTC

  // A name without a leading '.' is the PLC's even when a local file of that path exists.
  ASSERT_EQ(sim.Ctl("fileput ROOT/x 31"), "OK");
  ASSERT_EQ(mkdir("ROOT", 0755), 0);
  ASSERT_TRUE(kt::WriteFile("ROOT/x", "local"));
  struct stat before_st;
  ASSERT_EQ(stat("ROOT/x", &before_st), 0);
  ASSERT_EQ(WriteFileInfo(&info, "", "/ROOT/x", &link, 5), 0);
  EXPECT_EQ(info.source, 2);
  ft::Rec root_x;
  ffile_maxrec = 0;
  ASSERT_EQ(GetFile(&root_x, "", "/ROOT/x", &link, 5), 0);
  EXPECT_EQ(root_x.source, 1);  // reading prefers the local file
  ASSERT_EQ(GetFileInfo(&root_x, "", "/ROOT/x", &link, 5), 0);
  struct stat after_st;
  ASSERT_EQ(stat("ROOT/x", &after_st), 0);
  EXPECT_EQ(after_st.st_mtime, before_st.st_mtime);
  EXPECT_EQ(sim.Ctl("fileget ROOT/x"), "OK 31");

  // The PLC root is always the PLC's, even with a local folder at hand.
  ft::Rec root;
  ASSERT_EQ(GetFile(&root, "", "/", &link, 5), 0);
  EXPECT_EQ(root.source, 2);
  EXPECT_NE(std::string(root.data).find("out/"), std::string::npos) << root.data;
  ffile_maxrec = 256;

  EXPECT_EQ(WriteFileInfo(&info, "", "nothing/here", &link, 5), -1);
  EXPECT_EQ(info.source, 0);
  EXPECT_TRUE(log->Has("Unable to open file in PLC: nothing/here"));
}

TEST_F(PlcFiles, NamesLeavingTheRootAreNeverAskedOfThePlc) {
  ASSERT_EQ(sim.Ctl("fileput x.txt 41"), "OK");
  ft::Rec rec;
  long before = sim.Requests();
  EXPECT_EQ(GetDorvikFile(&rec, "", "../x.txt", &link, 5), -1);
  EXPECT_EQ(GetFileInfo(&rec, "", "../x.txt", &link, 5), -1);
  EXPECT_EQ(GetFile(&rec, "", "../x.txt", &link, 5), -1);
  EXPECT_EQ(rec.source, 0);
  ffile_maxrec = 0;
  EXPECT_EQ(GetFile(&rec, "", "../x.txt", &link, 5), -1);
  EXPECT_EQ(sim.Requests() - before, 0);
}

TEST_F(PlcFiles, ReadAndWriteOverThePty) {
  {
    ft::SimPlc sim;
    ASSERT_TRUE(sim.Start(dir / "ptyfs", true));
    DORVIK_T link{};
    ASSERT_TRUE(ft::OpenPty(&link, sim.pty_path));
    const std::string text = Pattern(500);
    ASSERT_EQ(sim.Ctl("fileput s.bin " + ft::Hex(text)), "OK");
    ft::Rec rec;
    long before = sim.Requests();
    ASSERT_EQ(GetDorvikFile(&rec, "", "s.bin", &link, 5), 0);
    EXPECT_EQ(sim.Requests() - before, 5);  // open, 230 + 230 + 40, close
    EXPECT_EQ(std::string(rec.data, 500), text);
    before = sim.Requests();
    ASSERT_EQ(WriteDorvikFile(&rec, "", "s2.bin", &link, 5), 0);
    EXPECT_EQ(sim.Requests() - before, 5);
    EXPECT_EQ(sim.Ctl("fileget s2.bin"), "OK " + ft::Hex(text));
    Dorvik_EXIT(&link);
  }
}
