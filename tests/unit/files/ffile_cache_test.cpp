// The file cache: serving an unchanged file from memory, eviction under ffile_maxrec, no cache
// at all, refilling a changed file, and the background read seen by IsDownloadedFile.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstring>
#include <string>

#include "app/globals.h"
#include "files/ffile.h"
#include "files/fileaccess.h"
#include "files_test_support.h"

namespace {

struct FileCache : ft::InScratch {
  ft::SimPlc sim;
  DORVIK_T link{};
  FFILE_T* list = nullptr;
  void SetUp() override {
    ft::InScratch::SetUp();
    ASSERT_TRUE(sim.Start(dir / "plcfs"));
    ASSERT_TRUE(ft::OpenUdp(&link, sim.udp_port));
  }
  void TearDown() override {
    RemoveFile(list);
    Dorvik_EXIT(&link);
    ft::InScratch::TearDown();
  }
  // One GETFILE as the dispatcher makes it: a record from the cache, then the read.
  FFILE_T* Get(const char* name, int* rc) {
    FFILE_T* rec = FindFreeFileRec(list, name);
    if (!list) list = rec;
    *rc = rec ? GetFile(rec, "", name, &link, 5) : -2;
    return rec;
  }
  int Count() {
    int n = 0;
    for (FFILE_T* r = list; r; r = r->next) ++n;
    return n;
  }
};

}  // namespace

TEST_F(FileCache, UnchangedFileIsServedFromMemoryAfterOneQuery) {
  ASSERT_EQ(sim.Ctl("fileput a.txt 68656c6c6f"), "OK");
  int rc = 0;
  FFILE_T* first = Get("a.txt", &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(first->source, 2);
  EXPECT_EQ(std::string(first->data), "hello");
  const uint64_t stamp = first->change_stamp;

  ft::fake_now += ffile_timeout - 1;
  long before = sim.Requests();
  FFILE_T* second = Get("a.txt", &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(second, first);
  EXPECT_EQ(second->source, 3);
  EXPECT_EQ(sim.Requests() - before, 1);  // the information query
  EXPECT_EQ(std::string(second->data), "hello");
  EXPECT_EQ(second->change_stamp, stamp);
  EXPECT_EQ(second->use_time.load(), ft::fake_now);

  // A new modification time refills the record even though it is fresh.
  ASSERT_EQ(sim.Ctl("fileput a.txt 776f726c6421"), "OK");
  ASSERT_EQ(sim.Ctl("filestamp a.txt 2030 1 1 0 0 0"), "OK");
  ft::fake_now += 1;
  FFILE_T* third = Get("a.txt", &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(third, first);
  EXPECT_EQ(third->source, 2);
  EXPECT_EQ(std::string(third->data), "world!");

  // Past ffile_timeout the record is reset and read again.
  ft::fake_now += ffile_timeout * 3;
  before = sim.Requests();
  FFILE_T* fourth = Get("a.txt", &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(fourth->source, 2);
  EXPECT_NE(fourth->change_stamp, stamp);
  EXPECT_EQ(sim.Requests() - before, 1 + 3);  // query, open, read, close
}

TEST_F(FileCache, TwoRecordsEvictTheOldestUse) {
  ffile_maxrec = 2;
  for (const char* n : {"f1", "f2", "f3"})
    ASSERT_EQ(sim.Ctl(std::string("fileput ") + n + " 31"), "OK");
  int rc = 0;
  FFILE_T* r1 = Get("f1", &rc);
  ASSERT_EQ(rc, 0);
  ft::fake_now += 1;
  FFILE_T* r2 = Get("f2", &rc);
  ASSERT_EQ(rc, 0);
  ft::fake_now += 1;
  ASSERT_EQ(Get("f1", &rc), r1);  // f1 used again: f2 is now the oldest
  EXPECT_EQ(r1->source, 3);
  ft::fake_now += 1;
  FFILE_T* r3 = Get("f3", &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(r3, r2);
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(FindFileRec(list, "f2"), nullptr);
  EXPECT_EQ(FindFileRec(list, "f1"), r1);
  EXPECT_STREQ(r3->name, "f3");

  // An expired record is taken first, from the head.
  ft::fake_now += ffile_timeout + 10;
  FFILE_T* r4 = FindFreeFileRec(list, "f4");
  EXPECT_EQ(r4, list);
  EXPECT_EQ(r4->data, nullptr);
  EXPECT_EQ(Count(), 2);
}

TEST_F(FileCache, WithoutCacheEveryRequestReadsAgain) {
  ffile_maxrec = 0;
  ASSERT_EQ(sim.Ctl("fileput n.txt 31323334"), "OK");
  for (int i = 0; i < 3; ++i) {
    long before = sim.Requests();
    int rc = 0;
    FFILE_T* rec = Get("n.txt", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(rec->source, 2);
    EXPECT_EQ(std::string(rec->data), "1234");
    EXPECT_EQ(sim.Requests() - before, 3);  // open, read, close: no information query
  }
  EXPECT_EQ(Count(), 1);

  // A local file wins over the PLC when it exists.
  ASSERT_TRUE(kt::WriteFile("n.txt", "local"));
  int rc = 0;
  FFILE_T* rec = Get("n.txt", &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(rec->source, 1);
  EXPECT_EQ(std::string(rec->data), "local");
}

TEST_F(FileCache, BackgroundReadIsSeenUntilItEnds) {
  ffile_maxrec = 0;  // no information query: the delayed exchange is the worker's open
  std::string big(5000, 'z');
  ASSERT_EQ(sim.Ctl("fileput big.bin " + ft::Hex(big)), "OK");
  FFILE_T* rec = FindFreeFileRec(list, "big.bin");
  list = rec;
  EXPECT_EQ(IsDownloadedFile(list), 1);
  ASSERT_EQ(sim.Ctl("fault delay 150 1"), "OK");
  ASSERT_EQ(GetFileBg(rec, "", "big.bin", &link, 5), 0);
  EXPECT_EQ(IsDownloadedFile(list), 0);
  ASSERT_TRUE(kt::WaitForCond([&] { return IsDownloadedFile(list) == 1; }));
  EXPECT_EQ(rec->result.load(), 0);
  EXPECT_EQ(rec->source, 2);
  EXPECT_EQ(rec->end.load(), rec->data + 5000);
  EXPECT_EQ(std::string(rec->data), big);

  // A failed background read is left in the result; the record stays busy for its user.
  FFILE_T* bad = FindFreeFileRec(list, "gone.bin");
  ASSERT_EQ(GetFileBg(bad, "", "gone.bin", &link, 5), 0);
  ASSERT_TRUE(kt::WaitForCond([&] { return bad->result.load() == -1; }));
  EXPECT_EQ(IsDownloadedFile(list), 0);
  ClearFile(bad);
  EXPECT_EQ(IsDownloadedFile(list), 1);

  // Removing the cache while a slow read runs stops it cleanly.
  ASSERT_EQ(sim.Ctl("fault delay 100 3"), "OK");
  FFILE_T* slow = FindFreeFileRec(list, "big.bin");
  ASSERT_EQ(GetFileBg(slow, "", "big.bin", &link, 5), 0);
  RemoveFile(list);
  list = nullptr;
  EXPECT_TRUE(log->Has("Abort of reading PLC file: big.bin")) << log->Text();
}

TEST_F(FileCache, LocalBackgroundReadAndWrite) {
  ASSERT_TRUE(kt::WriteFile("l.txt", "local text"));
  FFILE_T* rec = FindFreeFileRec(list, "l.txt");
  list = rec;
  ASSERT_EQ(GetFileBg(rec, "", "l.txt", &link, 5), 0);
  ASSERT_TRUE(kt::WaitForCond([&] { return IsDownloadedFile(list) == 1; }));
  EXPECT_EQ(rec->source, 1);
  EXPECT_EQ(std::string(rec->data), "local text");
  // The second request is served from memory without a worker.
  ft::fake_now += 1;
  ASSERT_EQ(FindFreeFileRec(list, "l.txt"), rec);
  ASSERT_EQ(GetFileBg(rec, "", "l.txt", &link, 5), 0);
  EXPECT_EQ(rec->source, 3);
  EXPECT_EQ(rec->sent, rec->data);

  // A name without a leading '.' is written to the PLC, one with it locally.
  FFILE_T* w = AddFileRec(nullptr);
  w->data = static_cast<char*>(malloc(3));
  memcpy(w->data, "abc", 3);
  w->size.store(3);
  w->mode = S_IFREG | 0644;
  ASSERT_EQ(WriteFileBg(w, "", "up.txt", &link, 5), 0);
  ASSERT_TRUE(kt::WaitForCond([&] { return w->busy.load() == 0; }));
  EXPECT_EQ(w->source, 2);
  EXPECT_EQ(sim.Ctl("fileget up.txt"), "OK 616263");
  ASSERT_EQ(WriteFileBg(w, "plc1", "./down.txt", &link, 5), 0);
  ASSERT_TRUE(kt::WaitForCond([&] { return w->busy.load() == 0; }));
  EXPECT_EQ(w->source, 1);
  EXPECT_EQ(kt::ReadFile("plc1/down.txt"), "abc");
  RemoveFileRec(w);
}

TEST_F(FileCache, SecondRequestDuringABackgroundReadWaitsForIt) {
  std::string big(4000, 'q');
  ASSERT_EQ(sim.Ctl("fileput same.bin " + ft::Hex(big)), "OK");
  FFILE_T* rec = FindFreeFileRec(list, "same.bin");
  list = rec;
  ASSERT_EQ(sim.Ctl("fault delay 150 2"), "OK");  // the information query and the open
  ASSERT_EQ(GetFileBg(rec, "", "same.bin", &link, 5), 0);
  EXPECT_EQ(IsDownloadedFile(list), 0);
  // The record being filled is neither reset nor decided anew while the worker writes it.
  ASSERT_EQ(FindFreeFileRec(list, "same.bin"), rec);
  ASSERT_EQ(GetFileBg(rec, "", "same.bin", &link, 5), 0);
  EXPECT_EQ(rec->source, 3);
  EXPECT_EQ(IsDownloadedFile(list), 1);
  EXPECT_EQ(rec->end.load(), rec->data + big.size());
  EXPECT_EQ(std::string(rec->data), big);
}
