// File-system helpers: CRC file round trip, creating local folders, PLC root names.
#include "app/fsutil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/scratch.h"

namespace {

// Runs the body with the working directory set to the scratch folder.
struct InDir {
  std::string old;
  explicit InDir(const std::string& dir) {
    char buf[4096];
    old = getcwd(buf, sizeof buf) ? buf : ".";
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~InDir() { (void)chdir(old.c_str()); }
};

bool IsDir(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(CrcFile, RoundTripAsSignedDecimal) {
  kt::ScratchDir dir;
  std::string path = dir / "Korvane.crc";
  EXPECT_EQ(SetCrcFile(path.c_str(), 0xFFFFFFFEu), 0);
  EXPECT_EQ(kt::ReadFile(path), "-2");
  EXPECT_EQ(GetCrcFile(path.c_str()), 0xFFFFFFFEu);
  EXPECT_EQ(SetCrcFile(path.c_str(), 12345), 0);
  EXPECT_EQ(GetCrcFile(path.c_str()), 12345u);
  EXPECT_EQ(GetCrcFile((dir / "missing").c_str()), 0u);
  kt::WriteFile(path, "junk");
  EXPECT_EQ(GetCrcFile(path.c_str()), 0u);
  EXPECT_EQ(SetCrcFile((dir / "no/such/dir/x").c_str(), 1), 1);
}

TEST(CreateLocalFilePath, CreatesFoldersButNotTheFile) {
  kt::ScratchDir dir;
  InDir in(dir.path);
  EXPECT_EQ(CreateLocalFilePath("./plc1/dir/file.txt"), 0);
  EXPECT_TRUE(IsDir("plc1"));
  EXPECT_TRUE(IsDir("plc1/dir"));
  EXPECT_FALSE(kt::FileExists("plc1/dir/file.txt"));
  EXPECT_EQ(CreateLocalFilePath(".//a//b"), 0);  // doubled slashes are skipped
  EXPECT_TRUE(IsDir("a"));
  EXPECT_EQ(CreateLocalFilePath("plain"), 0);
  EXPECT_EQ(CreateLocalFilePath(nullptr), 1);
  kt::WriteFile("blocker", "x");
  EXPECT_EQ(CreateLocalFilePath("./blocker/x/y"), 1);
}

TEST(IsDorvikRootDir, EmptyOrOnlySlashes) {
  EXPECT_EQ(IsDorvikRootDir("/"), 1);
  EXPECT_EQ(IsDorvikRootDir(""), 1);
  EXPECT_EQ(IsDorvikRootDir("///"), 1);
  EXPECT_EQ(IsDorvikRootDir("/ROOT"), 0);
}
