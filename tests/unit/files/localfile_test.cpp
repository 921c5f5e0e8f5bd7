// Local files below the working directory: reading, writing with times and mode, directory
// listings, information, every way a name could lead out of the tree, and PLC time stamps.
#include <utime.h>

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

TEST_F(LocalFiles, ReadWriteListingAndInformation) {
  const std::string text("abc\0def", 7);
  ASSERT_EQ(mkdir("plc1", 0755), 0);
  ASSERT_TRUE(kt::WriteFile("plc1/a.bin", text));
  SetMtime("plc1/a.bin", 1718808736);

  ft::Rec rec;
  ASSERT_EQ(GetLocalFile(&rec, "plc1", "a.bin"), 0);
  EXPECT_EQ(rec.source, 1);
  EXPECT_EQ(rec.size.load(), 7);
  EXPECT_EQ(std::string(rec.data, 7), text);
  EXPECT_EQ(rec.data[7], '\0');
  EXPECT_EQ(rec.end.load(), rec.data + 7);
  EXPECT_EQ(rec.mtime, 1718808736);

  // Writing creates the folders and applies the record's modification time and mode.
  rec.mode = S_IFREG | 0600;
  rec.mtime = 1600000000;
  ASSERT_EQ(WriteLocalFile(&rec, "plc2", "deep/er/b.bin"), 0);
  EXPECT_EQ(kt::ReadFile("plc2/deep/er/b.bin"), text);
  struct stat st;
  ASSERT_EQ(stat("plc2/deep/er/b.bin", &st), 0);
  EXPECT_EQ(st.st_mtime, 1600000000);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ft::Rec info;
  ASSERT_EQ(GetLocalFileInfo(&info, "plc2", "deep/er/b.bin"), 0);
  EXPECT_EQ(info.size.load(), 7);
  EXPECT_EQ(info.mtime, 1600000000);
  EXPECT_EQ(GetLocalFileInfo(&info, "plc2", "deep/er"), -1);  // a folder needs its slash
  ASSERT_EQ(GetLocalFileInfo(&info, "plc2", "deep/er/"), 0);
  EXPECT_EQ(info.attr, 0x10);

  // Information writes: a name beginning with '.' is a local file.
  ASSERT_EQ(mkdir(".cfg", 0755), 0);
  ASSERT_TRUE(kt::WriteFile(".cfg/x", "1"));
  info.mtime = 1500000000;
  ASSERT_EQ(WriteFileInfo(&info, "", ".cfg/x", nullptr, 0), 0);
  EXPECT_EQ(info.source, 1);
  EXPECT_EQ(MtimeOf(".cfg/x"), 1500000000);

  // A listing names files and folders below the asked one, and only with the trailing slash.
  ASSERT_EQ(mkdir("sub", 0755), 0);
  ASSERT_EQ(mkdir("sub/inner", 0755), 0);
  ASSERT_TRUE(kt::WriteFile("sub/a.txt", "x"));
  ft::Rec list;
  EXPECT_EQ(GetLocalFile(&list, "", "sub"), -1);
  ASSERT_EQ(GetLocalFile(&list, "", "sub/"), 0);
  EXPECT_EQ(std::string(list.data), "sub/a.txt\nsub/inner/\n");
  EXPECT_EQ(list.size.load(), 21);
  EXPECT_EQ(list.attr, 0x10);
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

  const char* reads[][2] = {{"", "../secret.txt"},        {"", "./../secret.txt"},
                            {"", "./a/../../secret.txt"}, {"..", "secret.txt"},
                            {"a/..", "../secret.txt"},    {"", "up/secret.txt"},
                            {"up", "secret.txt"},         {"", "fl"},
                            {"", "/etc/passwd"},          {"", "../work/data/in.txt"}};
  for (auto& c : reads) {
    SCOPED_TRACE(std::string(c[0]) + " | " + c[1]);
    ft::Rec rec;
    EXPECT_EQ(GetLocalFile(&rec, c[0], c[1]), -1);
    EXPECT_EQ(GetLocalFileInfo(&rec, c[0], c[1]), -1);
    for (int maxrec : {256, 0}) {  // through the cache decision, cache on and off
      ffile_maxrec = maxrec;
      EXPECT_EQ(GetFile(&rec, c[0], c[1], nullptr, 0), -1);
    }
    EXPECT_EQ(rec.data, nullptr);
  }
  ft::Rec ok;  // a symbolic link that stays inside the tree is fine
  ASSERT_EQ(GetLocalFile(&ok, "", "alias/in.txt"), 0);
  EXPECT_EQ(std::string(ok.data), "inside");

  // Writes and information writes are refused the same way, and nothing outside changes.
  for (const char* name : {"../evil.txt", "./../evil.txt", "./a/../../evil.txt", "up/evil.txt",
                           "fl", "dangling", "../secret.txt"}) {
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
  // A good background write after them: its end also means the last refused one has ended.
  ft::Rec last;
  last.mode = S_IFREG | 0644;
  ASSERT_EQ(WriteFileBg(&last, "", "./data/fine.txt", nullptr, 0), 0);
  ASSERT_TRUE(kt::WaitForCond([&] { return last.busy.load() == 0; }));
  EXPECT_EQ(last.result.load(), 0);
  EXPECT_FALSE(kt::FileExists("../evil.txt"));
  EXPECT_FALSE(kt::FileExists("../new.txt"));
  EXPECT_EQ(kt::ReadFile("../secret.txt"), "secret");
  EXPECT_EQ(MtimeOf("../secret.txt"), 1000000);
}

// PLC time stamps and local times are converted as UTC whatever the process's time zone.
TEST(PlcTimeStamps, AreUtcInEveryTimeZone) {
  const char* old = getenv("TZ");
  const std::string saved = old ? old : "";
  for (const char* tz : {"UTC", "Pacific/Auckland"}) {
    SCOPED_TRACE(tz);
    setenv("TZ", tz, 1);
    tzset();
    ft::Rec rec;
    const unsigned char stamp[6] = {124, 6, 19, 14, 52, 16};
    memcpy(rec.stamp_a, stamp, 6);
    memcpy(rec.stamp_b, stamp, 6);
    ASSERT_EQ(SetLocalFileAttr(&rec), 0);
    EXPECT_EQ(rec.mtime, 1718808736);  // 2024-06-19 14:52:16 UTC
    EXPECT_EQ(rec.ctime, 1718808736);
    memset(rec.stamp_b, 0, 6);  // and back
    ASSERT_EQ(SetDorvikFileAttr(&rec), 0);
    EXPECT_EQ(memcmp(rec.stamp_b, stamp, 6), 0);
  }
  old ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
}
