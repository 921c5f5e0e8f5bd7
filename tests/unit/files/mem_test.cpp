// Memory block reads against korvane-plcsim: passes over UDP and the pty, the empty read, the
// selector carry past 64 KiB, failed passes, abort, and the background worker.
#include "files/mem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files_test_support.h"

namespace {

std::string Pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13 + seed) & 0xFF);
  return s;
}

long Stat(ft::SimPlc& sim, const char* key) {
  std::string s = sim.Ctl("stats");
  size_t at = s.find(key);
  return at == std::string::npos ? -1 : atol(s.c_str() + at + strlen(key));
}

struct MemRead : ft::InScratch {
  ft::SimPlc sim;
  DORVIK_T link{};
  MEM_T* list = nullptr;
  void Start(bool pty = false, const std::vector<std::string>& extra = {}) {
    ASSERT_TRUE(sim.Start(dir / "plcfs", pty, extra));
    if (pty)
      ASSERT_TRUE(ft::OpenPty(&link, sim.pty_path));
    else
      ASSERT_TRUE(ft::OpenUdp(&link, sim.udp_port));
  }
  void TearDown() override {
    AbortMem();
    RemoveMem(list);
    Dorvik_EXIT(&link);
    ft::InScratch::TearDown();
  }
  MEM_T* Add() {
    MEM_T* rec = AddMemRec(list);
    if (!list) list = rec;
    return rec;
  }
  static std::string Data(MEM_T* rec) {
    return std::string(reinterpret_cast<char*>(rec->data),
                       static_cast<size_t>(rec->end.load() - rec->data));
  }
};

}  // namespace

TEST_F(MemRead, OnePassOverUdpAndTheEmptyRead) {
  Start();
  const std::string block = Pattern(1000, 1);
  ASSERT_EQ(sim.Ctl("setbytes R 100 " + ft::Hex(block)), "OK");
  MEM_T* rec = Add();
  long req = Stat(sim, "requests="), frames = Stat(sim, "frames=");
  ASSERT_EQ(GetDorvikMem(rec, 3, 100, 1000, &link, 5), 0);
  EXPECT_EQ(Stat(sim, "requests=") - req, 1);   // one exchange
  EXPECT_EQ(Stat(sim, "frames=") - frames, 5);  // 246 x 4 + 16
  EXPECT_EQ(rec->state.load(), 0);
  EXPECT_EQ(rec->len.load(), 1000u);
  EXPECT_EQ(rec->sent, rec->data);
  EXPECT_EQ(Data(rec), block);

  // Nothing asked, nothing sent.
  MEM_T* none = Add();
  req = Stat(sim, "requests=");
  ASSERT_EQ(GetDorvikMem(none, 3, 0, 0, &link, 5), 0);
  EXPECT_EQ(Stat(sim, "requests=") - req, 0);
  EXPECT_EQ(none->state.load(), 0);
  EXPECT_EQ(none->end.load(), none->data);
}

TEST_F(MemRead, FivePassesOnThePty) {
  Start(true);
  const std::string block = Pattern(1000, 2);
  ASSERT_EQ(sim.Ctl("setbytes R 100 " + ft::Hex(block)), "OK");
  MEM_T* rec = Add();
  long req = Stat(sim, "requests=");
  ASSERT_EQ(GetDorvikMem(rec, 3, 100, 1000, &link, 5), 0);
  EXPECT_EQ(Stat(sim, "requests=") - req, 5);
  EXPECT_EQ(Data(rec), block);
}

TEST_F(MemRead, AddressPast64KiBCarriesIntoTheSelector) {
  Start(false, {"--regsize", "131072"});
  // Register 1 from 0xFFF0 for 246 bytes, then selector 2 from 0x00E6 for 54 bytes.
  const std::string first = Pattern(246, 3), second = Pattern(54, 4);
  ASSERT_EQ(sim.Ctl("setbytes Y 65520 " + ft::Hex(first)), "OK");
  ASSERT_EQ(sim.Ctl("setbytes S 230 " + ft::Hex(second)), "OK");
  MEM_T* rec = Add();
  long req = Stat(sim, "requests=");
  ASSERT_EQ(GetDorvikMem(rec, 1, 0xFFF0, 300, &link, 5), 0);
  EXPECT_EQ(Stat(sim, "requests=") - req, 1);
  EXPECT_EQ(Data(rec), first + second);
}

TEST_F(MemRead, ThreeFailedAttemptsFailThePass) {
  Start();
  const std::string block = Pattern(600, 5);
  ASSERT_EQ(sim.Ctl("setbytes R 0 " + ft::Hex(block)), "OK");
  MEM_T* rec = Add();
  ASSERT_EQ(sim.Ctl("fault short 2"), "OK");
  ASSERT_EQ(GetDorvikMem(rec, 3, 0, 600, &link, 5), 0);  // the third attempt succeeds
  EXPECT_EQ(Data(rec), block);

  ASSERT_EQ(sim.Ctl("fault short 3"), "OK");
  EXPECT_EQ(GetDorvikMem(rec, 3, 0, 600, &link, 5), -1);
  EXPECT_EQ(rec->state.load(), 2);
  EXPECT_EQ(rec->end.load(), rec->data);
  EXPECT_TRUE(log->Has("GetDorvikMem():: Unable to get data from PLC!"));

  // A block beyond the register is refused by the PLC every time.
  EXPECT_EQ(GetDorvikMem(rec, 3, 65500, 100, &link, 5), -1);
}

TEST_F(MemRead, AbortStopsAfterTheCurrentPass) {
  Start();
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
  EXPECT_TRUE(log->Has("Abort of getting data from PLC!"));

  // Setting the flag directly works the same way.
  ASSERT_EQ(sim.Ctl("fault delay 60 10"), "OK");
  ASSERT_EQ(GetDorvikMemBg(rec, 3, 0, len, &link, 5), 0);
  rec->abort.store(1);
  ASSERT_TRUE(kt::WaitForCond([&] { return rec->state.load() == 0; }));
  AbortMem();
  EXPECT_EQ(rec->result.load(), 0);
  EXPECT_LT(rec->end.load(), rec->data + len);
  ASSERT_EQ(sim.Ctl("fault clear"), "OK");
}

TEST_F(MemRead, RemovingAnotherRecordDoesNotStopTheRead) {
  Start();
  const std::string block = Pattern(5000, 6);
  ASSERT_EQ(sim.Ctl("setbytes R 0 " + ft::Hex(block)), "OK");
  MEM_T* reading = Add();
  MEM_T* other = AddMemRec(nullptr);  // another client's list
  ASSERT_EQ(sim.Ctl("fault delay 30 5"), "OK");
  ASSERT_EQ(GetDorvikMemBg(reading, 3, 0, 5000, &link, 5), 0);
  RemoveMemRec(other);
  // The reader streams what has arrived, pass by pass.
  size_t seen = 0;
  ASSERT_TRUE(kt::WaitForCond([&] {
    unsigned char* end = reading->end.load(std::memory_order_acquire);
    if (end) {
      size_t now = static_cast<size_t>(end - reading->data);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(reading->data), now), block.substr(0, now));
      seen = now;
    }
    return reading->state.load() == 0;
  }));
  EXPECT_EQ(reading->result.load(), 0);
  EXPECT_EQ(Data(reading), block);
  EXPECT_LE(seen, block.size());

  // Removing the record being read stops the worker first.
  ASSERT_EQ(sim.Ctl("fault delay 30 5"), "OK");
  ASSERT_EQ(GetDorvikMemBg(reading, 3, 0, 5000, &link, 5), 0);
  list = RemoveMemRec(reading);
  EXPECT_EQ(list, nullptr);
}
