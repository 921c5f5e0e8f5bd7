// Obtaining public files from the local disk and writing them back; the example files.
#include "files/pubfile_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>

#include "plc_test_support.h"
#include "support/scratch.h"

namespace {

// Runs a test in a working directory inside a scratch folder, as the server runs in its own;
// the scratch folder itself stands for the world outside it.
struct PubFileIo : kt::PlcTest {
  kt::ScratchDir dir;
  std::filesystem::path old = std::filesystem::current_path();
  void SetUp() override {
    kt::PlcTest::SetUp();
    std::filesystem::create_directory(dir / "work");
    std::filesystem::current_path(dir / "work");
  }
  void TearDown() override {
    std::filesystem::current_path(old);
    kt::PlcTest::TearDown();
  }
};

// GetPubFile from `source`; `flag` and `source` as it left them.
kt::PubFilePtr Get(const char* plc, const char* name, int& source, int& flag,
                   uint32_t* crc = nullptr) {
  flag = 0;
  return kt::PubFilePtr(GetPubFile(nullptr, plc, name, &flag, nullptr, 0, &source, crc));
}

}  // namespace

TEST_F(PubFileIo, GetFromLocalDiskWithChecksum) {
  const std::string body = "A R 0 0 INT\r\nB R 0 2 INT\r\n";
  ASSERT_EQ(mkdir("plc1", 0755), 0);
  ASSERT_TRUE(kt::WriteFile("plc1/pf.pub", kt::WithCrc(body)));
  ASSERT_TRUE(kt::WriteFile("plain.pub", "A R 0 0 INT\n"));
  ASSERT_TRUE(kt::WriteFile(dir / "outside.pub", "A R 0 0 INT\n"));

  int flag, source = PF_SRC_LOCAL;
  uint32_t crc = 7;
  auto pf = Get("plc1", "pf.pub", source, flag, &crc);
  ASSERT_TRUE(pf);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(source, PF_SRC_LOCAL);
  EXPECT_EQ(crc, crcPLC(body.data(), body.size()));
  EXPECT_EQ(CountRecPublicFile(pf.get()), 2);
  EXPECT_STREQ(pf->file.name, "pf.pub");

  source = PF_SRC_CACHE;  // through the cache: found on the local disk
  ASSERT_TRUE(Get("", "plain.pub", source, flag, &crc));
  EXPECT_EQ(source, PF_SRC_LOCAL);
  EXPECT_EQ(crc, 0u);  // no checksum line

  // Unsupported sources, a missing file and names leading out of the working directory fail.
  const struct {
    int source;
    const char *plc, *name;
  } fails[] = {{PF_SRC_PLC, "plc1", "pf.pub"},
               {7, "plc1", "pf.pub"},
               {PF_SRC_LOCAL, "plc1", "missing.pub"},
               {PF_SRC_LOCAL, "..", "outside.pub"},
               {PF_SRC_LOCAL, "", "../outside.pub"}};
  for (const auto& f : fails) {
    SCOPED_TRACE(f.name);
    source = f.source;
    EXPECT_FALSE(Get(f.plc, f.name, source, flag));
    EXPECT_EQ(flag, 1);
    if (f.source != PF_SRC_LOCAL) {
      EXPECT_EQ(source, 0);
    }
  }
}

TEST_F(PubFileIo, WriteRawBytesUnderItsOwnName) {
  const std::string text = kt::WithCrc("A R 0 0 INT\r\n");
  ASSERT_TRUE(kt::WriteFile("src.pub", text));
  int flag, source = PF_SRC_LOCAL;
  auto pf = Get("", "src.pub", source, flag);
  ASSERT_TRUE(pf);
  EXPECT_EQ(WritePubFile(pf.get(), "plc9/sub"), pf.get());
  EXPECT_EQ(kt::ReadFile("plc9/sub/src.pub"), text);
  EXPECT_EQ(WritePubFile(pf.get(), ".."), nullptr);
}

TEST_F(PubFileIo, ExamplesCarryValidChecksums) {
  const std::string root = KORVANE_SOURCE_DIR;
  auto fixed = kt::ReadText(kt::ReadFile(root + "/examples/FIXED_Rovanta.pub"));
  ASSERT_TRUE(fixed);
  EXPECT_NE(VerifyPubFileCrc(&fixed->file), 0u);
  EXPECT_EQ(kt::Rec(fixed.get(), "__PF_CRC"), "R0.0 UDINT 4");
  auto demo = kt::ReadText(kt::ReadFile(root + "/examples/plc/files/iRovanta.pub"));
  ASSERT_TRUE(demo);
  EXPECT_NE(VerifyPubFileCrc(&demo->file), 0u);
  const std::pair<const char*, const char*> demo_vars[] = {{"TEMP", "R16.0 REAL 4"},
                                                           {"LEVEL", "R20.0 INT 2"},
                                                           {"PUMP_ON", "X0.3 BOOL 1"},
                                                           {"MESSAGE", "R32.0 STRING 16"}};
  for (const auto& [name, want] : demo_vars) EXPECT_EQ(kt::Rec(demo.get(), name), want);
}
