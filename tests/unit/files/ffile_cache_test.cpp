// The file cache: the freshness bound and which record a request takes, serving an unchanged
// file from memory, refilling a changed one, and background reads that records are never freed
// under.
#include <utime.h>

#include "files/fileaccess.h"
#include "files_test_support.h"

namespace {

using CachePolicy = ft::InScratch;

FFILE_T* Fill(FFILE_T* rec, const char* name, time_t used) {
  snprintf(rec->name, sizeof rec->name, "%s", name);
  free(rec->data);
  rec->data = strdup(name);
  rec->use_time.store(used);
  return rec;
}

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
    EXPECT_EQ(rec ? GetFile(rec, "", name, &link, 5) : -2, 0) << name;
    return rec;
  }
};

}  // namespace

TEST_F(CachePolicy, FreshnessBoundAndWhichRecordIsTaken) {
  const time_t t0 = ft::fake_now;
  FFILE_T* a = Fill(FindFreeFileRec(nullptr, "a"), "a", t0);
  FFILE_T* b = Fill(FindFreeFileRec(a, "b"), "b", t0 + 1);
  ASSERT_EQ(a->next, b);
  // Fresh while now <= use time + ffile_timeout: kept when found by name, not taken for another.
  ft::fake_now = t0 + ffile_timeout;
  EXPECT_EQ(FindFreeFileRec(a, "a"), a);
  EXPECT_STREQ(a->data, "a");
  FFILE_T* c = Fill(FindFreeFileRec(a, "c"), "c", t0 + 2);
  EXPECT_EQ(b->next, c);
  // One second later a is stale: reset when found by name. b, used a second later, is exactly at
  // its bound and stays; of the stale a and c the first from the head is taken for another name.
  ft::fake_now = t0 + ffile_timeout + 1;
  EXPECT_EQ(FindFreeFileRec(a, "a"), a);
  EXPECT_EQ(a->data, nullptr);
  EXPECT_STREQ(a->name, "");
  Fill(a, "a", t0);
  Fill(c, "c", t0);
  EXPECT_EQ(FindFreeFileRec(a, "d"), a);
  EXPECT_EQ(a->data, nullptr);
  EXPECT_STREQ(b->data, "b");
  EXPECT_STREQ(c->data, "c");
  // All fresh and the cache full: the smallest use time (the first on a tie); more records than
  // allowed: the last.
  ft::fake_now = t0 + 3;
  Fill(a, "a", t0 + 3);
  Fill(c, "c", t0 + 1);
  ffile_maxrec = 3;
  EXPECT_EQ(FindFreeFileRec(a, "e"), b);
  Fill(b, "b", t0 + 1);
  Fill(c, "c", t0 + 4);
  ffile_maxrec = 2;
  EXPECT_EQ(FindFreeFileRec(a, "f"), c);
  // Without a cache even a fresh record found by name is read again.
  ffile_maxrec = 0;
  EXPECT_EQ(FindFreeFileRec(a, "a"), a);
  EXPECT_EQ(a->data, nullptr);
  RemoveFile(a);
}

TEST_F(FileCache, UnchangedFileIsServedFromMemoryAfterOneQuery) {
  ASSERT_EQ(Ctl("fileput a.txt 68656c6c6f"), "OK");
  FFILE_T* first = Get("a.txt");
  EXPECT_EQ(first->source, 2);
  EXPECT_EQ(std::string(first->data), "hello");
  const uint64_t stamp = first->change_stamp;

  ft::fake_now += ffile_timeout;
  long before = Stat("requests");
  EXPECT_EQ(Get("a.txt"), first);
  EXPECT_EQ(first->source, 3);
  EXPECT_EQ(Stat("requests") - before, 1);  // the information query
  EXPECT_EQ(std::string(first->data), "hello");
  EXPECT_EQ(first->change_stamp, stamp);
  EXPECT_EQ(first->use_time.load(), ft::fake_now);

  // A new modification time refills the record even though it is fresh.
  ASSERT_EQ(Ctl("fileput a.txt 776f726c64"), "OK");
  ASSERT_EQ(Ctl("filestamp a.txt 2030 1 1 0 0 0"), "OK");
  EXPECT_EQ(Get("a.txt"), first);
  EXPECT_EQ(first->source, 2);
  EXPECT_EQ(std::string(first->data), "world");
  // So is a local file of the same size with a new modification time.
  ASSERT_TRUE(kt::WriteFile("l.txt", "old"));
  EXPECT_EQ(Get("l.txt")->source, 1);
  EXPECT_EQ(Get("l.txt")->source, 3);
  ASSERT_TRUE(kt::WriteFile("l.txt", "new"));
  struct utimbuf later = {1800000000, 1800000000};
  ASSERT_EQ(utime("l.txt", &later), 0);
  EXPECT_EQ(std::string(Get("l.txt")->data), "new");
  // Without a cache: open, read, close, no information query.
  ffile_maxrec = 0;
  before = Stat("requests");
  EXPECT_EQ(std::string(Get("a.txt")->data), "world");
  EXPECT_EQ(Stat("requests") - before, 3);
}

TEST_F(FileCache, BackgroundReadsAreWaitedForAndStoppedBeforeFreeing) {
  std::string big(4000, 'q');
  ASSERT_EQ(Ctl("fileput same.bin " + ft::Hex(big)), "OK");
  FFILE_T* rec = FindFreeFileRec(list, "same.bin");
  list = rec;
  EXPECT_EQ(IsDownloadedFile(list), 1);
  ASSERT_EQ(Ctl("fault delay 150 2"), "OK");  // the information query and the open
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
  ASSERT_EQ(Ctl("fault delay 100 3"), "OK");
  FFILE_T* slow = FindFreeFileRec(list, "same.bin");
  ASSERT_EQ(GetFileBg(slow, "", "same.bin", &link, 5), 0);
  RemoveFile(list);
  list = nullptr;
  EXPECT_TRUE(LogHas("Abort of reading PLC file: same.bin")) << LogText();
}
