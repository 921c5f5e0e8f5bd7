// Local files below the working directory: reading, writing with times and mode, directory
// listings, information, and every way a name could lead out of the tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstring>
#include <string>

#include "app/globals.h"
#include "files/ffile.h"
#include "files/fileaccess.h"
#include "files_test_support.h"

namespace {

using LocalFiles = ft::InScratch;

void SetMtime(const std::string& path, time_t t) {
  struct utimbuf times = {t, t};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
}

time_t MtimeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

}  // namespace

TEST_F(LocalFiles, ReadWriteAndInformation) {
  ASSERT_EQ(mkdir("plc1", 0755), 0);
  ASSERT_TRUE(kt::WriteFile("plc1/a.bin", std::string("abc\0def", 7)));
  SetMtime("plc1/a.bin", 1718808736);
  ft::fake_now = 1000;

  ft::Rec rec;
  ASSERT_EQ(GetLocalFile(&rec, "plc1", "a.bin"), 0);
  EXPECT_EQ(rec.source, 1);
  EXPECT_EQ(rec.size.load(), 7);
  EXPECT_EQ(std::string(rec.data, 7), std::string("abc\0def", 7));
  EXPECT_EQ(rec.data[7], '\0');
  EXPECT_EQ(rec.end.load(), rec.data + 7);
  EXPECT_EQ(rec.sent, rec.data);
  EXPECT_EQ(rec.busy.load(), 0);
  EXPECT_EQ(rec.mtime, 1718808736);
  const unsigned char want_b[6] = {124, 6, 19, 14, 52, 16};
  EXPECT_EQ(memcmp(rec.stamp_b, want_b, 6), 0);
  EXPECT_EQ(rec.attr, 0);
  EXPECT_EQ(rec.use_time.load(), 1000 + ffile_timeout);

  // Writing creates the folders and applies the record's modification time and mode.
  rec.mode = S_IFREG | 0600;
  rec.mtime = 1600000000;
  ASSERT_EQ(WriteLocalFile(&rec, "plc2", "deep/er/b.bin"), 0);
  EXPECT_EQ(kt::ReadFile("plc2/deep/er/b.bin"), std::string("abc\0def", 7));
  struct stat st;
  ASSERT_EQ(stat("plc2/deep/er/b.bin", &st), 0);
  EXPECT_EQ(st.st_mtime, 1600000000);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(rec.busy.load(), 0);
  EXPECT_EQ(rec.end.load(), rec.data + 7);

  ft::Rec info;
  ASSERT_EQ(GetLocalFileInfo(&info, "plc2", "deep/er/b.bin"), 0);
  EXPECT_EQ(info.size.load(), 7);
  EXPECT_EQ(info.mtime, 1600000000);
  EXPECT_STREQ(info.name, "deep/er/b.bin");
  EXPECT_EQ(GetLocalFileInfo(&info, "plc2", "deep/er"), -1);  // a folder needs its slash
  ASSERT_EQ(GetLocalFileInfo(&info, "plc2", "deep/er/"), 0);
  EXPECT_EQ(info.attr, 0x10);
  EXPECT_EQ(GetLocalFile(&rec, "plc1", "missing.bin"), -1);
  EXPECT_TRUE(log->Has("Unable to get size of local file!"));

  // Information writes: a name beginning with '.' is a local file.
  ASSERT_EQ(mkdir(".cfg", 0755), 0);
  ASSERT_TRUE(kt::WriteFile(".cfg/x", "1"));
  info.mtime = 1500000000;
  ft::fake_now = 1500000100;
  ASSERT_EQ(WriteFileInfo(&info, "", ".cfg/x", nullptr, 0), 0);
  EXPECT_EQ(info.source, 1);
  EXPECT_EQ(info.use_time.load(), 1500000100);
  EXPECT_EQ(MtimeOf(".cfg/x"), 1500000000);
}

TEST_F(LocalFiles, DirectoryListingNeedsTheTrailingSlash) {
  ASSERT_EQ(mkdir("sub", 0755), 0);
  ASSERT_EQ(mkdir("sub/inner", 0755), 0);
  ASSERT_TRUE(kt::WriteFile("sub/a.txt", "x"));
  ft::Rec rec;
  EXPECT_EQ(GetLocalFile(&rec, "", "sub"), -1);
  ASSERT_EQ(GetLocalFile(&rec, "", "sub/"), 0);
  const std::string want = "sub/a.txt\nsub/inner/\n";
  EXPECT_EQ(rec.size.load(), static_cast<int64_t>(want.size()));
  EXPECT_EQ(std::string(rec.data), want);
  EXPECT_EQ(rec.attr, 0x10);
  EXPECT_EQ(GetLocalFile(&rec, "", ""), -1);  // the root is never listed locally
}

TEST_F(LocalFiles, NamesNeverLeaveTheWorkingDirectory) {
  // The server runs in "work"; "secret.txt" lies beside it.
  ASSERT_TRUE(kt::WriteFile("secret.txt", "secret"));
  SetMtime("secret.txt", 1000000);
  ASSERT_EQ(mkdir("work", 0755), 0);
  ASSERT_EQ(chdir("work"), 0);
  ASSERT_EQ(mkdir("a", 0755), 0);
  ASSERT_EQ(mkdir("data", 0755), 0);
  ASSERT_TRUE(kt::WriteFile("data/in.txt", "inside"));
  ASSERT_EQ(symlink("..", "up"), 0);
  ASSERT_EQ(symlink("../secret.txt", "fl"), 0);
  ASSERT_EQ(symlink("../new.txt", "dangling"), 0);
  ASSERT_EQ(symlink("data", "alias"), 0);

  struct Case {
    const char* dir;
    const char* name;
  } reads[] = {{"", "../secret.txt"},        {"", "./../secret.txt"},
               {"", "./a/../../secret.txt"}, {"..", "secret.txt"},
               {"a/..", "../secret.txt"},    {"", "up/secret.txt"},
               {"up", "secret.txt"},         {"", "fl"},
               {"", "/etc/passwd"},          {"", "../work/data/in.txt"}};
  for (const Case& c : reads) {
    SCOPED_TRACE(std::string(c.dir) + " | " + c.name);
    ft::Rec rec;
    EXPECT_EQ(GetLocalFile(&rec, c.dir, c.name), -1);
    EXPECT_EQ(rec.data, nullptr);
    EXPECT_EQ(GetLocalFileInfo(&rec, c.dir, c.name), -1);
    // Through the cache decision, with the cache on and off (no PLC behind it).
    ffile_maxrec = 256;
    EXPECT_EQ(GetFile(&rec, c.dir, c.name, nullptr, 0), -1);
    ffile_maxrec = 0;
    EXPECT_EQ(GetFile(&rec, c.dir, c.name, nullptr, 0), -1);
    EXPECT_EQ(rec.data, nullptr);
    ffile_maxrec = 256;
  }
  // A symbolic link that stays inside the tree is fine.
  ft::Rec ok;
  ASSERT_EQ(GetLocalFile(&ok, "", "alias/in.txt"), 0);
  EXPECT_EQ(std::string(ok.data), "inside");

  // Writes and information writes are refused the same way, and nothing outside changes.
  const char* writes[] = {"../evil.txt", "./../evil.txt", "./a/../../evil.txt", "up/evil.txt",
                          "fl",          "dangling",      "../secret.txt"};
  for (const char* name : writes) {
    SCOPED_TRACE(name);
    ft::Rec rec;
    rec.data = static_cast<char*>(malloc(4));
    memcpy(rec.data, "bad", 4);
    rec.size.store(3);
    rec.mode = S_IFREG | 0644;
    EXPECT_EQ(WriteLocalFile(&rec, "", name), -1);
    EXPECT_EQ(WriteLocalFileInfo(&rec, "", name), -1);
    EXPECT_EQ(WriteFileInfo(&rec, "", name, nullptr, 0), -1);
    ASSERT_EQ(WriteFileBg(&rec, "", name, nullptr, 0), 0);
    ASSERT_TRUE(kt::WaitForCond([&] { return rec.result.load() != 0 || rec.busy.load() == 0; }));
  }
  // Let the last background write end before its record goes away.
  {
    ft::Rec last;
    last.mode = S_IFREG | 0644;
    ASSERT_EQ(WriteFileBg(&last, "", "./data/fine.txt", nullptr, 0), 0);
    ASSERT_TRUE(kt::WaitForCond([&] { return last.busy.load() == 0; }));
    EXPECT_EQ(last.result.load(), 0);
    EXPECT_TRUE(kt::FileExists("data/fine.txt"));
  }
  EXPECT_FALSE(kt::FileExists("../evil.txt"));
  EXPECT_FALSE(kt::FileExists("../new.txt"));
  EXPECT_EQ(kt::ReadFile("../secret.txt"), "secret");
  EXPECT_EQ(MtimeOf("../secret.txt"), 1000000);
}
