// Memory block reads against korvane-plcsim: passes over UDP and the pty, the selector carry
// past 64 KiB, the empty read, failed passes, abort, and the background worker.
#include "files/mem.h"

#include "files_test_support.h"

namespace {

std::string Data(MEM_T* rec) {
  return std::string(reinterpret_cast<char*>(rec->data),
                     static_cast<size_t>(rec->end.load() - rec->data));
}

struct MemRead : ft::WithPlc {
  MEM_T* list = nullptr;
  void TearDown() override {
    AbortMem();
    RemoveMem(list);
    ft::WithPlc::TearDown();
  }
  MEM_T* Add() {
    MEM_T* rec = AddMemRec(list);
    if (!list) list = rec;
    return rec;
  }
};

}  // namespace

using MemPasses = ft::InScratch;

TEST_F(MemPasses, OverUdpThePtyAndPast64KiB) {
  // Register 1 from 0xFFF0 for 246 bytes carries into selector 2 from 0x00E6 for 54 bytes.
  struct Row {
    const char* what;
    bool pty;
    int sel;
    unsigned addr;
    std::vector<std::pair<std::string, size_t>> fills;  // "register address", length
    long exchanges, frames;
  } rows[] = {
      {"udp", false, 3, 100, {{"R 100", 1000}}, 1, 5},  // one pass of 246 x 4 + 16
      {"pty", true, 3, 100, {{"R 100", 1000}}, 5, 5},   // five passes of one frame
      {"carry", false, 1, 0xFFF0, {{"Y 65520", 246}, {"S 230", 54}}, 1, 2},
  };
  int seed = 1;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    ft::SimPlc sim;
    DORVIK_T link{};
    ASSERT_TRUE(sim.Start(dir / r.what, r.pty, {"--regsize", "131072"}));
    ASSERT_TRUE(r.pty ? ft::OpenPty(&link, sim.pty_path) : ft::OpenUdp(&link, sim.udp_port));
    std::string want;
    size_t len = 0;
    for (auto& [where, n] : r.fills) {
      const std::string part = ft::Pattern(n, seed++);
      ASSERT_EQ(sim.Ctl("setbytes " + where + " " + ft::Hex(part)), "OK");
      want += part;
      len += n;
    }
    MEM_T* rec = AddMemRec(nullptr);
    long req = sim.Requests(), frames = sim.Stat("frames=");
    EXPECT_EQ(GetDorvikMem(rec, r.sel, r.addr, static_cast<unsigned>(len), &link, 5), 0);
    EXPECT_EQ(sim.Requests() - req, r.exchanges);
    EXPECT_EQ(sim.Stat("frames=") - frames, r.frames);
    EXPECT_EQ(rec->state.load(), 0);
    EXPECT_EQ(rec->len.load(), len);
    EXPECT_EQ(Data(rec), want);
    RemoveMemRec(rec);
    Dorvik_EXIT(&link);
  }
}

TEST_F(MemRead, EmptyReadAndThreeFailedAttempts) {
  MEM_T* rec = Add();
  long req = sim.Requests();
  ASSERT_EQ(GetDorvikMem(rec, 3, 0, 0, &link, 5), 0);  // nothing asked, nothing sent
  EXPECT_EQ(sim.Requests() - req, 0);
  EXPECT_EQ(rec->state.load(), 0);
  EXPECT_EQ(rec->end.load(), rec->data);

  const std::string block = ft::Pattern(600, 5);
  ASSERT_EQ(sim.Ctl("setbytes R 0 " + ft::Hex(block)), "OK");
  ASSERT_EQ(sim.Ctl("fault short 2"), "OK");
  ASSERT_EQ(GetDorvikMem(rec, 3, 0, 600, &link, 5), 0);  // the third attempt succeeds
  EXPECT_EQ(Data(rec), block);
  ASSERT_EQ(sim.Ctl("fault short 3"), "OK");
  EXPECT_EQ(GetDorvikMem(rec, 3, 0, 600, &link, 5), -1);
  EXPECT_EQ(rec->state.load(), 2);
  EXPECT_EQ(rec->end.load(), rec->data);
  EXPECT_TRUE(LogHas("GetDorvikMem():: Unable to get data from PLC!"));
}

TEST_F(MemRead, BackgroundReadAbortAndRemoval) {
  // Abort ends the read after the current pass, short but successful.
  MEM_T* rec = Add();
  const unsigned len = 10 * 1230;
  ASSERT_EQ(sim.Ctl("fault delay 60 10"), "OK");
  ASSERT_EQ(GetDorvikMemBg(rec, 3, 0, len, &link, 5), 0);
  ASSERT_TRUE(kt::WaitForCond([&] { return rec->end.load() != nullptr; }));
  AbortMem();
  EXPECT_EQ(rec->result.load(), 0);
  EXPECT_EQ(rec->state.load(), 0);
  EXPECT_EQ(rec->abort.load(), 0);
  EXPECT_LT(rec->end.load(), rec->data + len);
  EXPECT_TRUE(LogHas("Abort of getting data from PLC!"));
  ASSERT_EQ(sim.Ctl("fault clear"), "OK");

  // Removing another client's record does not stop it; the reader streams pass by pass.
  const std::string block = ft::Pattern(5000, 6);
  ASSERT_EQ(sim.Ctl("setbytes R 0 " + ft::Hex(block)), "OK");
  MEM_T* other = AddMemRec(nullptr);
  ASSERT_EQ(sim.Ctl("fault delay 30 5"), "OK");
  ASSERT_EQ(GetDorvikMemBg(rec, 3, 0, 5000, &link, 5), 0);
  RemoveMemRec(other);
  ASSERT_TRUE(kt::WaitForCond([&] {
    unsigned char* end = rec->end.load(std::memory_order_acquire);
    if (end) {
      size_t now = static_cast<size_t>(end - rec->data);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(rec->data), now), block.substr(0, now));
    }
    return rec->state.load() == 0;
  }));
  EXPECT_EQ(rec->result.load(), 0);
  EXPECT_EQ(Data(rec), block);

  // Removing the record being read stops the worker first.
  ASSERT_EQ(sim.Ctl("fault delay 30 5"), "OK");
  ASSERT_EQ(GetDorvikMemBg(rec, 3, 0, 5000, &link, 5), 0);
  list = RemoveMemRec(rec);
  EXPECT_EQ(list, nullptr);
}
