// Public files obtained through the real file services: from the PLC, through the cache (first
// read, then served from memory after one information query), and from a local copy.
#include "files/pubfile_io.h"

#include <gtest/gtest.h>

#include <string>

#include "app/globals.h"
#include "files_test_support.h"
#include "plc/pubfile_ops.h"

namespace {

struct PubFiles : ft::InScratch {
  ft::SimPlc sim;
  DORVIK_T link{};
  std::string demo;
  void SetUp() override {
    ft::InScratch::SetUp();
    pubfile_read_pause_ms = 0;
    demo = kt::ReadFile(std::string(KORVANE_SOURCE_DIR) + "/examples/plc/files/iRovanta.pub");
    ASSERT_FALSE(demo.empty());
    ASSERT_TRUE(sim.Start(dir / "plcfs"));
    ASSERT_EQ(sim.Ctl("fileput iRovanta.pub " + ft::Hex(demo)), "OK");
    ASSERT_TRUE(ft::OpenUdp(&link, sim.udp_port));
  }
  void TearDown() override {
    Dorvik_EXIT(&link);
    pubfile_read_pause_ms = 10;
    ft::InScratch::TearDown();
  }
};

}  // namespace

TEST_F(PubFiles, FromThePlcTheCacheAndTheLocalCopy) {
  int flag = 0, source = PF_SRC_PLC;
  uint32_t crc = 0;
  PUBFILE_T* pf = GetPubFile(nullptr, "plc1", "iRovanta.pub", &flag, &link, 5, &source, &crc);
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(source, PF_SRC_PLC);
  EXPECT_EQ(flag, 0);
  EXPECT_NE(crc, 0u);
  const int items = CountRecPublicFile(pf);
  EXPECT_GE(items, 4);
  EXPECT_NE(FindPubFileRec(pf, "TEMP"), nullptr);

  // Through the cache with an empty directory: no local copy, so the PLC; then again from
  // memory after one information query.
  RemovePubFile(pf, 2);
  source = PF_SRC_CACHE;
  pf = GetPubFile(nullptr, "", "iRovanta.pub", &flag, &link, 5, &source, &crc);
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(source, PF_SRC_PLC);
  ft::fake_now += 5;
  long before = sim.Requests();
  source = PF_SRC_CACHE;
  uint32_t crc2 = 0;
  ASSERT_EQ(GetPubFile(pf, "", "iRovanta.pub", &flag, &link, 5, &source, &crc2), pf);
  EXPECT_EQ(source, PF_SRC_MEMORY);
  EXPECT_EQ(sim.Requests() - before, 1);
  EXPECT_EQ(crc2, crc);

  // Written as a local copy and read back from it.
  ASSERT_EQ(WritePubFile(pf, "plc1"), pf);
  EXPECT_EQ(kt::ReadFile("plc1/iRovanta.pub"), demo);
  RemovePubFile(pf, 2);
  source = PF_SRC_LOCAL;
  before = sim.Requests();
  pf = GetPubFile(nullptr, "plc1", "iRovanta.pub", &flag, &link, 5, &source, &crc2);
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(source, PF_SRC_LOCAL);
  EXPECT_EQ(crc2, crc);
  EXPECT_EQ(CountRecPublicFile(pf), items);
  EXPECT_EQ(sim.Requests() - before, 0);
  RemovePubFile(pf, 2);

  // A file the PLC does not have: nothing, with the error flag.
  source = PF_SRC_PLC;
  EXPECT_EQ(GetPubFile(nullptr, "", "none.pub", &flag, &link, 5, &source, nullptr), nullptr);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(source, 0);
}
