// Obtaining public files from the local disk and writing them back; the example files.
#include "files/pubfile_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "app/globals.h"
#include "plc/plcdef.h"
#include "plc_test_support.h"
#include "support/scratch.h"

namespace {

// Runs a test inside a scratch folder, as the server runs in its working directory.
struct InScratch : ::testing::Test {
  kt::ScratchDir dir;
  std::string old;
  void SetUp() override {
    ResetGlobalSettings();
    pubfile_read_pause_ms = 0;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    old = cwd;
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(old.c_str()), 0);
    ResetGlobalSettings();
  }
};

std::string WithCrc(const std::string& body) {
  char line[64];
  snprintf(line, sizeof line, ";* Crc=\"%04X\"\n", crcPLC(body.data(), body.size()));
  return body + line;
}

}  // namespace

using PubFileIo = InScratch;

TEST_F(PubFileIo, GetFromLocalDiskWithChecksum) {
  ASSERT_EQ(mkdir("plc1", 0755), 0);
  ASSERT_TRUE(kt::WriteFile("plc1/pf.pub", WithCrc("A R 0 0 INT\r\nB R 0 2 INT\r\n")));
  ASSERT_TRUE(kt::WriteFile("plain.pub", "A R 0 0 INT\n"));

  int flag = 0, source = PF_SRC_LOCAL;
  uint32_t crc = 7;
  kt::PubFilePtr pf(GetPubFile(nullptr, "plc1", "pf.pub", &flag, nullptr, 0, &source, &crc));
  ASSERT_TRUE(pf);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(source, PF_SRC_LOCAL);
  EXPECT_EQ(crc, crcPLC("A R 0 0 INT\r\nB R 0 2 INT\r\n", 26));
  EXPECT_EQ(CountRecPublicFile(pf.get()), 2);
  EXPECT_STREQ(pf->file.name, "pf.pub");

  source = PF_SRC_CACHE;  // through the cache: found on the local disk
  kt::PubFilePtr plain(GetPubFile(nullptr, "", "plain.pub", &flag, nullptr, 0, &source, &crc));
  ASSERT_TRUE(plain);
  EXPECT_EQ(source, PF_SRC_LOCAL);
  EXPECT_EQ(crc, 0u);  // no checksum line

  for (int src : {static_cast<int>(PF_SRC_PLC), 7}) {
    source = src;
    flag = 0;
    EXPECT_EQ(GetPubFile(nullptr, "plc1", "pf.pub", &flag, nullptr, 0, &source, nullptr), nullptr);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(source, 0);
  }
  source = PF_SRC_LOCAL;
  EXPECT_EQ(GetPubFile(nullptr, "plc1", "missing.pub", &flag, nullptr, 0, &source, nullptr),
            nullptr);
  EXPECT_EQ(flag, 1);
  // Names never lead out of the working directory.
  ASSERT_TRUE(kt::WriteFile(dir.path + "/../outside.pub", "A R 0 0 INT\n"));
  source = PF_SRC_LOCAL;
  EXPECT_EQ(GetPubFile(nullptr, "..", "outside.pub", &flag, nullptr, 0, &source, nullptr), nullptr);
  source = PF_SRC_LOCAL;
  EXPECT_EQ(GetPubFile(nullptr, "", "../outside.pub", &flag, nullptr, 0, &source, nullptr),
            nullptr);
  unlink((dir.path + "/../outside.pub").c_str());
}

TEST_F(PubFileIo, WriteRawBytesUnderItsOwnName) {
  const std::string text = WithCrc("A R 0 0 INT\r\n");
  ASSERT_TRUE(kt::WriteFile("src.pub", text));
  int flag = 0, source = PF_SRC_LOCAL;
  kt::PubFilePtr pf(GetPubFile(nullptr, "", "src.pub", &flag, nullptr, 0, &source, nullptr));
  ASSERT_TRUE(pf);
  EXPECT_EQ(WritePubFile(pf.get(), "plc9/sub"), pf.get());
  EXPECT_EQ(kt::ReadFile("plc9/sub/src.pub"), text);
  EXPECT_EQ(WritePubFile(pf.get(), ".."), nullptr);
  EXPECT_EQ(WritePubFile(nullptr, "x"), nullptr);
}

TEST(PubFileExamples, CarryValidChecksumsAndTheDemoVariables) {
  pubfile_read_pause_ms = 0;
  const std::string root = KORVANE_SOURCE_DIR;
  auto fixed = kt::ReadText(kt::ReadFile(root + "/examples/FIXED_Rovanta.pub"));
  ASSERT_TRUE(fixed);
  EXPECT_NE(VerifyPubFileCrc(&fixed->file), 0u);
  PUBFILE_R* crc = FindPubFileRec(fixed.get(), "__PF_CRC");
  ASSERT_NE(crc, nullptr);
  EXPECT_EQ(crc->type, PLC_UDINT);

  auto demo = kt::ReadText(kt::ReadFile(root + "/examples/plc/files/iRovanta.pub"));
  ASSERT_TRUE(demo);
  EXPECT_NE(VerifyPubFileCrc(&demo->file), 0u);
  struct Want {
    const char* name;
    uint8_t reg, type;
    uint32_t addr, size;
    uint8_t bit;
  } wants[] = {{"TEMP", PLC_REG_R, PLC_REAL, 16, 4, 0},
               {"LEVEL", PLC_REG_R, PLC_INT, 20, 2, 0},
               {"PUMP_ON", PLC_REG_X, PLC_BOOL, 0, 1, 3},
               {"MESSAGE", PLC_REG_R, PLC_STRING, 32, 16, 0}};
  for (const Want& w : wants) {
    PUBFILE_R* r = FindPubFileRec(demo.get(), w.name);
    ASSERT_NE(r, nullptr) << w.name;
    EXPECT_EQ(r->reg, w.reg) << w.name;
    EXPECT_EQ(r->type, w.type) << w.name;
    EXPECT_EQ(r->addr, w.addr) << w.name;
    EXPECT_EQ(r->size, w.size) << w.name;
    EXPECT_EQ(r->bit, w.bit) << w.name;
  }
  pubfile_read_pause_ms = 10;
}
