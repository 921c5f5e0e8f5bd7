// Local files below the working directory: reading, writing with times and mode, directory
// listings, information with its PLC time stamps, and every way a name could lead out of the tree.
#include "files/fileaccess.h"
#include "files_test_support.h"

namespace {

using LocalFiles = ft::InScratch;

time_t MtimeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

}  // namespace

TEST_F(LocalFiles, ReadWriteListingInformationAndNamesThatLeave) {
  const std::string text("abc\0def", 7);
  ASSERT_TRUE(kt::WriteFile("a.bin", text));
  ft::Rec rec, info, list;
  ASSERT_EQ(GetLocalFile(&rec, "", "a.bin"), 0);
  // Writing creates the folders and applies the record's modification time and mode.
  rec.mode = S_IFREG | 0600;
  rec.mtime = 1600000000;
  ASSERT_EQ(WriteLocalFile(&rec, "plc2", "deep/b.bin"), 0);
  EXPECT_EQ(kt::ReadFile("plc2/deep/b.bin"), text);
  struct stat st;
  ASSERT_EQ(stat("plc2/deep/b.bin", &st), 0);
  EXPECT_EQ(st.st_mtime, 1600000000);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(GetLocalFileInfo(&info, "plc2", "deep/b.bin"), 0);
  EXPECT_EQ(info.size.load(), 7);
  EXPECT_EQ(info.mtime, 1600000000);
  const unsigned char utc[6] = {120, 9, 13, 12, 26, 40};  // 2020-09-13 12:26:40 UTC
  EXPECT_EQ(memcmp(info.stamp_b, utc, 6), 0);
  // A folder is listed, and its information given, only when asked for with the trailing slash.
  ASSERT_EQ(mkdir("plc2/deep/inner", 0755), 0);
  EXPECT_EQ(GetLocalFileInfo(&info, "plc2", "deep"), -1);
  ASSERT_EQ(GetLocalFileInfo(&info, "plc2", "deep/"), 0);
  EXPECT_EQ(info.attr, 0x10);
  EXPECT_EQ(GetLocalFile(&list, "plc2", "deep"), -1);
  ASSERT_EQ(GetLocalFile(&list, "plc2", "deep/"), 0);
  EXPECT_EQ(std::string(list.data), "deep/b.bin\ndeep/inner/\n");
  EXPECT_EQ(list.size.load(), 23);

  // The server runs in "work"; "secret.txt" and the folder "work2" lie beside it.
  ASSERT_TRUE(kt::WriteFile("secret.txt", "secret"));
  ASSERT_EQ(mkdir("work2", 0755), 0);
  ASSERT_TRUE(kt::WriteFile("work2/s.txt", "sibling"));
  ASSERT_EQ(mkdir("work", 0755), 0);
  ASSERT_EQ(chdir("work"), 0);
  ASSERT_EQ(mkdir("data", 0755), 0);
  ASSERT_TRUE(kt::WriteFile("data/in.txt", "inside"));
  ASSERT_EQ(symlink("..", "up"), 0);
  ASSERT_EQ(symlink("../secret.txt", "fl"), 0);
  ASSERT_EQ(symlink("../new.txt", "dangling"), 0);
  ASSERT_EQ(symlink("../work2", "sib"), 0);  // its path starts like the working directory's
  ASSERT_EQ(symlink("data", "alias"), 0);
  const time_t secret_mtime = MtimeOf("../secret.txt");

  const char* reads[][2] = {{"", "../secret.txt"},
                            {"", "./data/../../secret.txt"},
                            {"..", "secret.txt"},
                            {"data/..", "../secret.txt"},
                            {"", "up/secret.txt"},
                            {"up", "secret.txt"},
                            {"", "fl"},
                            {"", "../work/data/in.txt"},
                            {"", "data/../data/in.txt"},
                            {"", "sib/s.txt"},
                            {"sib", "s.txt"}};
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
  for (const char* name : {"../evil.txt", "./data/../../evil.txt", "./up/evil.txt", "./fl",
                           "./dangling", "./sib/s.txt", "./sib/evil.txt"}) {
    SCOPED_TRACE(name);
    ft::Rec rec;
    rec.data = strdup("bad");
    rec.size.store(3);
    rec.mode = S_IFREG | 0644;
    EXPECT_EQ(WriteLocalFile(&rec, "", name), -1);
    EXPECT_EQ(WriteFileInfo(&rec, "", name, nullptr, 0), -1);
    ASSERT_EQ(WriteFileBg(&rec, "", name, nullptr, 0), 0);
    ASSERT_TRUE(kt::WaitForCond([&] { return !ffw_thread.running.load(); }));  // free again
  }
  EXPECT_FALSE(kt::FileExists("../evil.txt") || kt::FileExists("../new.txt") ||
               kt::FileExists("../work2/evil.txt"));
  EXPECT_EQ(kt::ReadFile("../work2/s.txt"), "sibling");
  EXPECT_EQ(kt::ReadFile("../secret.txt"), "secret");
  EXPECT_EQ(MtimeOf("../secret.txt"), secret_mtime);
}
