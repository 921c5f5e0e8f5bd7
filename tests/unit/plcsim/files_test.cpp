// The file transfer service: open, read, write and close over UDP, time stamps, folder
// listings, and names that try to leave the file folder.
#include <gtest/gtest.h>

#include "sim_harness.h"
#include "support/scratch.h"

using namespace simtest;

namespace {

Bytes Open(uint8_t mode, const std::string& name) {
  Bytes d = {0x28, 2, mode, 0, 0, 0, 0};
  for (char c : name) d.push_back(static_cast<uint8_t>(c));
  d.push_back(0);
  return Request(0x6C, d);
}

Bytes ReadReq(uint32_t h, uint32_t off, uint32_t len) {
  return Request(0x6C, Cat({{0x28, 4}, Le32(h), Le32(off), Le32(len)}));
}

Bytes WriteReq(uint32_t h, uint32_t off, const Bytes& piece) {
  return Request(0x6C, Cat({{0x28, 5}, Le32(h), Le32(off), Le32(piece.size()), piece}));
}

Bytes CloseReq(uint32_t h, const Bytes& a, const Bytes& b, uint32_t attr) {
  return Request(0x6C, Cat({{0x28, 3, 0}, Le32(h), a, b, Le32(attr)}));
}

const Bytes kZeroStamp(6, 0);

}  // namespace

TEST(PlcsimFiles, WriteReadRoundTripWithStamps) {
  kt::ScratchDir dir;
  Sim sim;
  ASSERT_TRUE(sim.Start({"--files", dir.path}));
  Bytes content;
  for (int i = 0; i < 300; i++) content.push_back(static_cast<uint8_t>(i ^ 0x5A));

  // Open for writing creates the missing folder; the data goes in two frames of one datagram.
  Bytes open = LongData(sim.Exchange(Open(6, "/logs/new.bin")));
  ASSERT_EQ(open.size(), 32u);
  ASSERT_EQ(GetLe32(open, 0), 0u);
  uint32_t h = GetLe32(open, 4);
  EXPECT_NE(h, 0u);
  Bytes rep = sim.Exchange(Cat({WriteReq(h, 0, Bytes(content.begin(), content.begin() + 230)),
                                WriteReq(h, 230, Bytes(content.begin() + 230, content.end()))}));
  Bytes w1 = LongData(rep, 0), w2 = LongData(rep, 16 + 9);
  EXPECT_EQ(w1, Cat({Le32(0), Le32(h), Le32(0), Le32(230)}));
  EXPECT_EQ(w2, Cat({Le32(0), Le32(h), Le32(230), Le32(70)}));
  const Bytes stamp_b = {124, 6, 19, 14, 52, 16};
  EXPECT_EQ(LongData(sim.Exchange(CloseReq(h, stamp_b, stamp_b, 0))), Le32(0));
  EXPECT_EQ(kt::ReadFile(dir / "logs/new.bin"), std::string(content.begin(), content.end()));

  // Information only: length, stamp B as set, a plain file, no handle to close.
  Bytes info = LongData(sim.Exchange(Open(4, "logs/new.bin")));
  ASSERT_EQ(info.size(), 32u);
  EXPECT_EQ(GetLe32(info, 0), 0u);
  EXPECT_EQ(GetLe32(info, 8), 300u);
  EXPECT_EQ(Bytes(info.begin() + 18, info.begin() + 24), stamp_b);
  EXPECT_EQ(GetLe32(info, 24), 0u);
  EXPECT_GE(info[12], 124);  // stamp A: the status change, which is now
  EXPECT_TRUE(info[13] >= 1 && info[13] <= 12);

  // Read as the master does it: three frames of 230 at 0, 230, 460; the end of file ends it.
  open = LongData(sim.Exchange(Open(1, "/logs/new.bin")));
  ASSERT_EQ(GetLe32(open, 0), 0u);
  h = GetLe32(open, 4);
  EXPECT_EQ(GetLe32(open, 8), 300u);
  rep = sim.Exchange(Cat({ReadReq(h, 0, 230), ReadReq(h, 230, 230), ReadReq(h, 460, 230)}));
  Bytes r1 = LongData(rep, 0);
  Bytes r2 = LongData(rep, 16 + 230 + 9);
  Bytes r3 = LongData(rep, 16 + 230 + 9 + 16 + 70 + 9);
  ASSERT_EQ(r1.size(), 246u);
  ASSERT_EQ(r2.size(), 86u);
  EXPECT_EQ(Bytes(r1.begin(), r1.begin() + 16), Cat({Le32(0), Le32(h), Le32(0), Le32(230)}));
  EXPECT_EQ(Bytes(r2.begin(), r2.begin() + 16), Cat({Le32(0), Le32(h), Le32(230), Le32(70)}));
  EXPECT_EQ(r3, Cat({Le32(0), Le32(h), Le32(460), Le32(0)}));
  EXPECT_EQ(Cat({Bytes(r1.begin() + 16, r1.end()), Bytes(r2.begin() + 16, r2.end())}), content);
  EXPECT_EQ(LongData(sim.Exchange(CloseReq(h, kZeroStamp, kZeroStamp, 0))), Le32(0));
  // The handle is gone after the close.
  EXPECT_EQ(GetLe32(LongData(sim.Exchange(ReadReq(h, 0, 10))), 0), 9u);
  EXPECT_EQ(LongData(sim.Exchange(CloseReq(h, kZeroStamp, kZeroStamp, 0))), Le32(9));
}

TEST(PlcsimFiles, NamesStayInsideTheFolder) {
  kt::ScratchDir dir;
  ASSERT_TRUE(kt::WriteFile(dir / "outside.txt", "secret"));
  ASSERT_EQ(system(("mkdir -p " + dir.path + "/plc/sub").c_str()), 0);
  ASSERT_TRUE(kt::WriteFile(dir / "plc/readme.txt", "hi"));
  ASSERT_EQ(symlink((dir.path + "/outside.txt").c_str(), (dir.path + "/plc/link.txt").c_str()), 0);
  Sim sim;
  ASSERT_TRUE(sim.Start({"--files", dir / "plc"}));

  for (const char* name : {"../outside.txt", "/sub/../../outside.txt", "link.txt"}) {
    for (uint8_t mode : {1, 4, 6}) {
      Bytes rep = LongData(sim.Exchange(Open(mode, name)));
      EXPECT_EQ(GetLe32(rep, 0), 13u) << name << " mode " << int(mode);
    }
  }
  EXPECT_EQ(kt::ReadFile(dir / "outside.txt"), "secret");
  EXPECT_EQ(sim.Ctl("fileput ../evil.txt 41"), "ERR bad name");
  EXPECT_EQ(sim.Ctl("fileget ../outside.txt"), "ERR bad name");
  EXPECT_FALSE(kt::FileExists(dir / "evil.txt"));

  EXPECT_EQ(GetLe32(LongData(sim.Exchange(Open(1, "/missing.txt"))), 0), 2u);
  EXPECT_EQ(GetLe32(LongData(sim.Exchange(Open(9, "/readme.txt"))), 0), 22u);

  // The root read as a file: a listing, marked as a folder.
  Bytes open = LongData(sim.Exchange(Open(1, "/")));
  ASSERT_EQ(GetLe32(open, 0), 0u);
  EXPECT_EQ(GetLe32(open, 24), 0x10u);
  const std::string listing = "/link.txt\n/readme.txt\n/sub/\n";
  EXPECT_EQ(GetLe32(open, 8), listing.size());
  Bytes rd = LongData(sim.Exchange(ReadReq(GetLe32(open, 4), 0, 230)));
  EXPECT_EQ(std::string(rd.begin() + 16, rd.end()), listing);
}

TEST(PlcsimFiles, ControlManagesFiles) {
  kt::ScratchDir dir;
  Sim sim;
  ASSERT_TRUE(sim.Start({"--files", dir.path}));
  EXPECT_EQ(sim.Ctl("fileput a/b.txt 68656c6c6f"), "OK");
  EXPECT_EQ(kt::ReadFile(dir / "a/b.txt"), "hello");
  EXPECT_EQ(sim.Ctl("fileget /a/b.txt"), "OK 68656c6c6f");
  EXPECT_EQ(sim.Ctl("fileput empty.txt"), "OK");
  EXPECT_EQ(sim.Ctl("fileget empty.txt"), "OK");
  EXPECT_EQ(sim.Ctl("fileput x.txt 6"), "ERR bad hex");
  EXPECT_EQ(sim.Ctl("filestamp a/b.txt 2024 6 19 14 52 16"), "OK");
  Bytes info = LongData(sim.Exchange(Open(4, "/a/b.txt")));
  EXPECT_EQ(Bytes(info.begin() + 18, info.begin() + 24), (Bytes{124, 6, 19, 14, 52, 16}));
  EXPECT_EQ(sim.Ctl("filestamp a/b.txt 2024 13 19 14 52 16"),
            "ERR usage: filestamp NAME Y M D h m s");
  EXPECT_EQ(sim.Ctl("filedel a/b.txt"), "OK");
  EXPECT_EQ(GetLe32(LongData(sim.Exchange(Open(4, "/a/b.txt"))), 0), 2u);
  EXPECT_EQ(sim.Ctl("filedel a/b.txt"), "ERR no such file");
  EXPECT_EQ(sim.Ctl("fileget nothing"), "ERR no such file");
}
