// File-system helpers: CRC file round trip, creating local folders, PLC root names.
#include "app/fsutil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/scratch.h"

namespace {

bool IsDir(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(FsUtil, CrcFileRoundTripLocalFoldersAndTheRoot) {
  kt::ScratchDir dir;
  std::string path = dir / "Korvane.crc";
  EXPECT_EQ(SetCrcFile(path.c_str(), 0xFFFFFFFEu), 0);
  EXPECT_EQ(kt::ReadFile(path), "-2");
  EXPECT_EQ(GetCrcFile(path.c_str()), 0xFFFFFFFEu);
  EXPECT_EQ(GetCrcFile((dir / "missing").c_str()), 0u);
  kt::WriteFile(path, "junk");
  EXPECT_EQ(GetCrcFile(path.c_str()), 0u);
  EXPECT_EQ(SetCrcFile((dir / "no/such/dir/x").c_str(), 1), 1);
  char old[4096];
  ASSERT_TRUE(getcwd(old, sizeof old) && chdir(dir.path.c_str()) == 0);
  EXPECT_EQ(CreateLocalFilePath("./plc1/dir/file.txt"), 0);
  EXPECT_TRUE(IsDir("plc1/dir"));
  EXPECT_FALSE(kt::FileExists("plc1/dir/file.txt"));
  EXPECT_EQ(CreateLocalFilePath(".//a//b"), 0);  // doubled slashes are skipped
  EXPECT_TRUE(IsDir("a"));
  kt::WriteFile("blocker", "x");
  EXPECT_EQ(CreateLocalFilePath("./blocker/x/y"), 1);
  EXPECT_EQ(chdir(old), 0);
  for (auto [name, root] : {std::make_pair("/", 1), std::make_pair("", 1), std::make_pair("///", 1),
                            std::make_pair("/ROOT", 0)})
    EXPECT_EQ(IsDorvikRootDir(name), root) << name;
}
