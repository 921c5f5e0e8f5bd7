// The file cache: serving an unchanged file from memory, eviction under ffile_maxrec, no cache
// at all, refilling a changed file, background reads that records are never freed under, and
// public files obtained through all of it.
#include "files/fileaccess.h"
#include "files/pubfile_io.h"
#include "files_test_support.h"
#include "plc/pubfile_ops.h"

namespace {

struct FileCache : ft::WithPlc {
  FFILE_T* list = nullptr;
  void TearDown() override {
    RemoveFile(list);
    ft::WithPlc::TearDown();
  }
  // One GETFILE as the dispatcher makes it: a record from the cache, then the read.
  FFILE_T* Get(const char* name) {
    FFILE_T* rec = FindFreeFileRec(list, name);
    if (!list) list = rec;
    EXPECT_NE(rec, nullptr);
    EXPECT_EQ(rec ? GetFile(rec, "", name, &link, 5) : -2, 0) << name;
    return rec;
  }
};

}  // namespace

TEST_F(FileCache, UnchangedFileIsServedFromMemoryAfterOneQuery) {
  ASSERT_EQ(sim.Ctl("fileput a.txt 68656c6c6f"), "OK");
  FFILE_T* first = Get("a.txt");
  EXPECT_EQ(first->source, 2);
  EXPECT_EQ(std::string(first->data), "hello");
  const uint64_t stamp = first->change_stamp;

  ft::fake_now += ffile_timeout - 1;
  long before = sim.Requests();
  EXPECT_EQ(Get("a.txt"), first);
  EXPECT_EQ(first->source, 3);
  EXPECT_EQ(sim.Requests() - before, 1);  // the information query
  EXPECT_EQ(std::string(first->data), "hello");
  EXPECT_EQ(first->change_stamp, stamp);
  EXPECT_EQ(first->use_time.load(), ft::fake_now);

  // A new modification time refills the record even though it is fresh.
  ASSERT_EQ(sim.Ctl("fileput a.txt 776f726c6421"), "OK");
  ASSERT_EQ(sim.Ctl("filestamp a.txt 2030 1 1 0 0 0"), "OK");
  ft::fake_now += 1;
  EXPECT_EQ(Get("a.txt"), first);
  EXPECT_EQ(first->source, 2);
  EXPECT_EQ(std::string(first->data), "world!");
}

TEST_F(FileCache, TwoRecordsEvictTheOldestUseAndNoCacheReadsEveryTime) {
  ffile_maxrec = 2;
  for (const char* n : {"f1", "f2", "f3"})
    ASSERT_EQ(sim.Ctl(std::string("fileput ") + n + " 31323334"), "OK");
  FFILE_T* r1 = Get("f1");
  ft::fake_now += 1;
  FFILE_T* r2 = Get("f2");
  ft::fake_now += 1;
  ASSERT_EQ(Get("f1"), r1);  // f1 used again: f2 is now the oldest
  EXPECT_EQ(r1->source, 3);
  ft::fake_now += 1;
  EXPECT_EQ(Get("f3"), r2);
  EXPECT_EQ(list->next, r2);  // still two records
  EXPECT_EQ(r2->next, nullptr);
  EXPECT_EQ(FindFileRec(list, "f2"), nullptr);
  EXPECT_EQ(FindFileRec(list, "f1"), r1);
  EXPECT_STREQ(r2->name, "f3");

  ffile_maxrec = 0;
  for (int i = 0; i < 3; ++i) {
    long before = sim.Requests();
    FFILE_T* rec = Get("f3");
    EXPECT_EQ(rec->source, 2);
    EXPECT_EQ(std::string(rec->data), "1234");
    EXPECT_EQ(sim.Requests() - before, 3);  // open, read, close: no information query
  }
}

TEST_F(FileCache, BackgroundReadsAreWaitedForAndStoppedBeforeFreeing) {
  std::string big(4000, 'q');
  ASSERT_EQ(sim.Ctl("fileput same.bin " + ft::Hex(big)), "OK");
  FFILE_T* rec = FindFreeFileRec(list, "same.bin");
  list = rec;
  EXPECT_EQ(IsDownloadedFile(list), 1);
  ASSERT_EQ(sim.Ctl("fault delay 150 2"), "OK");  // the information query and the open
  ASSERT_EQ(GetFileBg(rec, "", "same.bin", &link, 5), 0);
  EXPECT_EQ(IsDownloadedFile(list), 0);
  // The record being filled is neither reset nor decided anew while the worker writes it.
  ASSERT_EQ(FindFreeFileRec(list, "same.bin"), rec);
  ASSERT_EQ(GetFileBg(rec, "", "same.bin", &link, 5), 0);
  EXPECT_EQ(rec->source, 3);
  EXPECT_EQ(IsDownloadedFile(list), 1);
  EXPECT_EQ(rec->result.load(), 0);
  EXPECT_EQ(rec->end.load(), rec->data + big.size());
  EXPECT_EQ(std::string(rec->data), big);

  // Removing the cache while a slow read runs stops the worker before the record goes.
  ffile_maxrec = 0;  // no information query: straight to the delayed reading
  ASSERT_EQ(sim.Ctl("fault delay 100 3"), "OK");
  FFILE_T* slow = FindFreeFileRec(list, "same.bin");
  ASSERT_EQ(GetFileBg(slow, "", "same.bin", &link, 5), 0);
  RemoveFile(list);
  list = nullptr;
  EXPECT_TRUE(LogHas("Abort of reading PLC file: same.bin")) << LogText();
}

TEST_F(FileCache, PublicFileFromThePlcTheCacheAndTheLocalCopy) {
  pubfile_read_pause_ms = 0;
  const std::string demo =
      kt::ReadFile(std::string(KORVANE_SOURCE_DIR) + "/examples/plc/files/iRovanta.pub");
  ASSERT_EQ(sim.Ctl("fileput iRovanta.pub " + ft::Hex(demo)), "OK");

  // No local copy in "": the PLC, then memory after one information query.
  int flag = 0, source = PF_SRC_CACHE;
  uint32_t crc = 0, crc2 = 0;
  PUBFILE_T* pf = GetPubFile(nullptr, "", "iRovanta.pub", &flag, &link, 5, &source, &crc);
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(source, PF_SRC_PLC);
  EXPECT_EQ(flag, 0);
  const int items = CountRecPublicFile(pf);
  EXPECT_GE(items, 4);
  EXPECT_NE(FindPubFileRec(pf, "TEMP"), nullptr);
  ft::fake_now += 5;
  long before = sim.Requests();
  source = PF_SRC_CACHE;
  ASSERT_EQ(GetPubFile(pf, "", "iRovanta.pub", &flag, &link, 5, &source, &crc2), pf);
  EXPECT_EQ(source, PF_SRC_MEMORY);
  EXPECT_EQ(sim.Requests() - before, 1);
  EXPECT_EQ(crc2, crc);

  // Written as a local copy and read back from it without the PLC.
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

  source = PF_SRC_PLC;  // a file the PLC does not have
  EXPECT_EQ(GetPubFile(nullptr, "", "none.pub", &flag, &link, 5, &source, nullptr), nullptr);
  EXPECT_EQ(flag, 1);
  pubfile_read_pause_ms = 10;
}
