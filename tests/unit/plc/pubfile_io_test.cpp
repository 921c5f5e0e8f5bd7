// Obtaining public files from the local disk, writing them back as the same file version, and
// the example files.
#include "files/pubfile_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <string>
#include <utility>
#include <vector>

#include "files/fileaccess.h"
#include "plc_test_support.h"

namespace {

// GetPubFile from `source`; `flag` and `source` as it left them.
kt::PubFilePtr Get(PUBFILE_T* pf, const char* dir, const char* name, int& source, int& flag,
                   uint32_t* crc = nullptr) {
  flag = 0;
  return kt::PubFilePtr(GetPubFile(pf, dir, name, &flag, nullptr, 0, &source, crc));
}

const std::string kBody = "A R 0 0 INT\r\nB R 0 2 INT\r\n";

}  // namespace

using PubFileIo = kt::PlcTest;

TEST_F(PubFileIo, GetFromLocalDiskWithChecksum) {
  ASSERT_EQ(mkdir("plc1", 0755), 0);
  ASSERT_TRUE(kt::WriteFile("plc1/pf.pub", kt::WithCrc(kBody)));
  ASSERT_TRUE(kt::WriteFile("plain.pub", "A R 0 0 INT\n"));
  ASSERT_TRUE(kt::WriteFile(dir / "outside.pub", "A R 0 0 INT\n"));
  // source asked | folder | name | records (-1: none) | error flag, source found, checksum
  const uint32_t crc_ok = crcPLC(kBody.data(), kBody.size());
  for (const char* row : {"1|plc1|pf.pub|2|0 1 1", "0||plain.pub|1|0 1 0", "2|plc1|pf.pub|-1|1 0 0",
                          "7|plc1|pf.pub|-1|1 0 0", "1|plc1|missing.pub|-1|1 0 0",
                          "1|..|outside.pub|-1|1 0 0", "1||../outside.pub|-1|1 0 0"}) {
    auto c = kt::Cols(row);
    int flag, source = std::stoi(c[0]);
    uint32_t crc = 7;
    auto pf = Get(nullptr, c[1].c_str(), c[2].c_str(), source, flag, &crc);
    EXPECT_EQ(pf ? CountRecPublicFile(pf.get()) : -1, std::stoi(c[3])) << row;
    EXPECT_EQ(
        std::to_string(flag) + " " + std::to_string(source) + " " + std::to_string(crc == crc_ok),
        c[4])
        << row;
  }
}

TEST_F(PubFileIo, LocalCopyIsTheSameFileVersion) {
  const std::string text = kt::WithCrc(kBody);
  ASSERT_TRUE(kt::WriteFile("src.pub", text));
  struct utimbuf times = {1000000000, 1000000000};
  ASSERT_EQ(chmod("src.pub", 0600) + utime("src.pub", &times), 0);
  std::vector<std::pair<kt::PubFilePtr, int>> files;  // a text and the place its file lives
  int flag, source = PF_SRC_LOCAL;
  files.emplace_back(Get(nullptr, "", "src.pub", source, flag), 1);
  kt::PubFilePtr first = Get(nullptr, "", "src.pub", source = PF_SRC_CACHE, flag);
  files.emplace_back(Get(first.release(), "", "src.pub", source = PF_SRC_CACHE, flag), 1);
  EXPECT_EQ(source, PF_SRC_MEMORY);
  files.emplace_back(kt::ReadText(text), 2);  // as the PLC file service leaves it
  PUBTEXT_T& plc = files.back().first->file;
  const unsigned char stamp[6] = {124, 6, 19, 14, 52, 16};
  snprintf(plc.name, sizeof plc.name, "plc.pub");
  plc.source = 2, plc.mode = S_IFREG | 0644, plc.mtime = UnpackPlcTime(stamp);
  memcpy(plc.stamp_b, stamp, sizeof stamp);

  for (const auto& [pf, where] : files) {
    ASSERT_TRUE(pf);
    SCOPED_TRACE(pf->file.name);
    ASSERT_EQ(WritePubFile(pf.get(), "plc9/sub"), pf.get());
    EXPECT_EQ(kt::ReadFile(std::string("plc9/sub/") + pf->file.name), text);
    FFILE_T info, copy;
    ASSERT_EQ(PubFileInfo(pf.get(), &info), 0);
    EXPECT_EQ(info.source, where);
    ASSERT_EQ(GetLocalFileInfo(&copy, "plc9/sub", pf->file.name), 0);
    copy.source = 1;  // as GetFileInfo marks a local file
    EXPECT_EQ(CompareFileInfo(&info, &copy) + CompareFileInfo(&copy, &info), 0);
  }
  EXPECT_EQ(WritePubFile(files[0].first.get(), ".."), nullptr);
  FFILE_T none;
  EXPECT_EQ(PubFileInfo(nullptr, &none), 1);
}

TEST_F(PubFileIo, ExamplesCarryValidChecksums) {
  const std::string root = KORVANE_SOURCE_DIR;
  auto fixed = kt::ReadText(kt::ReadFile(root + "/examples/FIXED_Rovanta.pub"));
  auto demo = kt::ReadText(kt::ReadFile(root + "/examples/plc/files/iRovanta.pub"));
  ASSERT_TRUE(fixed && demo);
  EXPECT_NE(VerifyPubFileCrc(&fixed->file) * VerifyPubFileCrc(&demo->file), 0u);
  EXPECT_EQ(kt::Rec(fixed.get(), "__PF_CRC"), "__PF_CRC=R0.0 UDINT 4");
  for (std::string row :
       {"TEMP=R16.0 REAL 4", "LEVEL=R20.0 INT 2", "PUMP_ON=X0.3 BOOL 1", "MESSAGE=R32.0 STRING 16"})
    EXPECT_EQ(kt::Rec(demo.get(), row), row);
}
