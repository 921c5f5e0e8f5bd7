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

TEST_F(MemRead, PassesFailuresBackgroundReadsAbortAndRemoval) {
  DORVIK_T pty{};
  ASSERT_TRUE(Open(&pty, true));
  const std::string r100 = ft::Pattern(1000, 1), y = ft::Pattern(246, 2), s = ft::Pattern(54, 3);
  ASSERT_EQ(Ctl("setbytes R 100 " + ft::Hex(r100)), "OK");
  ASSERT_EQ(Ctl("setbytes Y 65520 " + ft::Hex(y)), "OK");
  ASSERT_EQ(Ctl("setbytes S 230 " + ft::Hex(s)), "OK");
  const struct {
    DORVIK_T* link;
    int sel;
    unsigned addr;
    std::string want;
    long exchanges, frames;
  } rows[] = {
      {&link, 3, 100, r100, 1, 5},  // one pass of 246 x 4 + 16
      {&pty, 3, 100, r100, 5, 5},   // five passes of one frame
      // Register 1 from 0xFFF0: 246 bytes, then selector 2 from 0x00E6 for 54 bytes.
      {&link, 1, 0xFFF0, y + s, 1, 2},
      {&link, 3, 0, "", 0, 0},  // nothing asked, nothing sent
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.exchanges);
    MEM_T* rec = Add();
    long req = Stat("requests"), frames = Stat("frames");
    EXPECT_EQ(GetDorvikMem(rec, r.sel, r.addr, unsigned(r.want.size()), r.link, 5), 0);
    EXPECT_EQ(Stat("requests") - req, r.exchanges);
    EXPECT_EQ(Stat("frames") - frames, r.frames);
    EXPECT_EQ(rec->state.load(), 0);
    EXPECT_EQ(Data(rec), r.want);
  }
  Dorvik_EXIT(&pty);

  MEM_T* rec = Add();
  ASSERT_EQ(Ctl("fault short 2"), "OK");
  ASSERT_EQ(GetDorvikMem(rec, 3, 100, 600, &link, 5), 0);  // the third attempt succeeds
  EXPECT_EQ(Data(rec), r100.substr(0, 600));
  ASSERT_EQ(Ctl("fault short 3"), "OK");
  EXPECT_EQ(GetDorvikMem(rec, 3, 100, 600, &link, 5), -1);
  EXPECT_EQ(rec->state.load(), 2);
  EXPECT_EQ(rec->end.load(), rec->data);
  EXPECT_EQ(LogCount("GetDorvikMem():: Unable to get data from PLC!"), 1u);
  // Fewer bytes than asked are asked for again too.
  ft::ScriptedPlc plc{ft::ScriptedPlc::EMPTY, 2, ft::Pattern(100), ""};
  DORVIK_T fake{};
  ft::Attach(&fake, &plc);
  ASSERT_EQ(GetDorvikMem(rec, 3, 0, 100, &fake, 0), 0);
  EXPECT_EQ(Data(rec), plc.file);
  EXPECT_EQ(LogCount("GetDorvikMem():: Bad length of received data: 60 (100)"), 2u);
  plc.bad = 3;
  EXPECT_EQ(GetDorvikMem(rec, 3, 0, 100, &fake, 0), -1);
  EXPECT_EQ(LogCount("Unable to get data from PLC!"), 2u);
  Dorvik_EXIT(&fake);

  // Abort ends the read after the current pass, short but successful.
  rec = Add();
  const unsigned len = 10 * 1230;
  ASSERT_EQ(Ctl("fault delay 60 10"), "OK");
  ASSERT_EQ(GetDorvikMemBg(rec, 3, 0, len, &link, 5), 0);
  ASSERT_TRUE(kt::WaitForCond([&] { return rec->end.load() != nullptr; }));
  AbortMem();
  EXPECT_EQ(rec->result.load(), 0);
  EXPECT_EQ(rec->state.load(), 0);
  EXPECT_EQ(rec->abort.load(), 0);
  EXPECT_LT(rec->end.load(), rec->data + len);
  EXPECT_TRUE(LogHas("Abort of getting data from PLC!"));
  ASSERT_EQ(Ctl("fault clear"), "OK");

  // Removing another client's record does not stop it; the reader streams pass by pass.
  const std::string block = ft::Pattern(5000, 6);
  ASSERT_EQ(Ctl("setbytes R 0 " + ft::Hex(block)), "OK");
  MEM_T* other = AddMemRec(nullptr);
  ASSERT_EQ(Ctl("fault delay 30 5"), "OK");
  ASSERT_EQ(GetDorvikMemBg(rec, 3, 0, 5000, &link, 5), 0);
  RemoveMemRec(other);
  ASSERT_TRUE(kt::WaitForCond([&] {
    unsigned char* end = rec->end.load(std::memory_order_acquire);
    if (end) {
      size_t now = static_cast<size_t>(end - rec->data);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(rec->data), now), block.substr(0, now));
    }
    return rec->state.load() == 0 && !mem_thread.running.load();  // the worker free again
  }));
  EXPECT_EQ(rec->result.load(), 0);
  EXPECT_EQ(Data(rec), block);

  // Removing the record being read stops the worker first.
  ASSERT_EQ(Ctl("fault delay 30 5"), "OK");
  ASSERT_EQ(GetDorvikMemBg(rec, 3, 0, 5000, &link, 5), 0);
  EXPECT_EQ(RemoveMemRec(rec), nullptr);  // the list's last record; the others stay listed

  // A running worker turns requests away without being waited for (they keep what to read);
  // once it has ended, the first one turned away goes next.
  ASSERT_EQ(Ctl("fault delay 100 3"), "OK");
  MEM_T* slow = Add();
  MEM_T* first = Add();
  MEM_T* second = Add();
  ASSERT_EQ(GetDorvikMemBg(slow, 3, 0, 3000, &link, 5), 0);
  EXPECT_EQ(GetDorvikMemBg(first, 3, 16, 100, &link, 5), 1);
  EXPECT_EQ(GetDorvikMemBg(second, 3, 0, 10, &link, 5), 1);
  EXPECT_TRUE(first->queued && first->reg == 3 && first->addr == 16 && first->len.load() == 100);
  ASSERT_TRUE(kt::WaitForCond([&] { return !mem_thread.running.load(); }));
  EXPECT_EQ(GetDorvikMemBg(second, 3, 0, 10, &link, 5), 1);
  EXPECT_EQ(GetDorvikMemBg(first, 3, 16, 100, &link, 5), 0);
  EXPECT_EQ(first->queued, 0);
}
