// File records and their lists, the cache policy (FindFreeFileRec), the comparison of two file
// versions, and the clock and change stamps of the file services.
#include "files/ffile.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

#include "app/clock.h"
#include "app/globals.h"
#include "app/log.h"
#include "files/fileaccess.h"
#include "files/workers_internal.h"

namespace {

// Records are made and reset in communication threads; each draws from its own generator.
uint64_t NewChangeStamp() {
  thread_local std::mt19937_64 gen{(static_cast<uint64_t>(std::random_device{}()) << 32) ^
                                   std::random_device{}()};
  return gen();
}

bool IsFresh(const FFILE_T* rec, time_t now) {
  return now <= rec->use_time.load() + ffile_timeout;
}

FFILE_T* LastFileRec(FFILE_T* list) {
  while (list && list->next) list = list->next;
  return list;
}

FFILE_T* AllocFileRec(FFILE_T* list) {
  FFILE_T* rec = AddFileRec(list);
  if (!rec) log("FindFreeFileRec", 0, "Unable to allocate memory for file record!");
  return rec;
}

bool TransferRunning(FFILE_T* rec) {
  if (rec->busy.load() != 2 || rec->result.load() != 0) return false;
  std::lock_guard<std::mutex> g(ffg_lock);
  return ffg_thread.started && ffg_thread.file == rec;
}

}  // namespace

FFILE_THREAD_T ffg_thread;
FFILE_THREAD_T ffw_thread;

// A worker must not go on writing into a record that is reset, freed or decided anew: the reader
// is asked to stop (or waited for), the writer is waited for. A worker busy with another record
// is left alone.
void WaitFileWorkersOn(FFILE_T* rec, bool stop_reader) {
  {
    std::lock_guard<std::mutex> g(ffg_lock);
    if (ffg_thread.started && ffg_thread.file == rec) {
      if (stop_reader) rec->abort.store(1);
      pthread_join(ffg_thread.thread, nullptr);
      ffg_thread.started = false;
      if (stop_reader) rec->abort.store(0);
    }
  }
  std::lock_guard<std::mutex> g(ffw_lock);
  if (ffw_thread.started && ffw_thread.file == rec) {
    pthread_join(ffw_thread.thread, nullptr);
    ffw_thread.started = false;
  }
}

FFILE_T* AddFileRec(FFILE_T* list) {
  FFILE_T* rec = new (std::nothrow) FFILE_T;
  if (!rec) return nullptr;
  rec->change_stamp = NewChangeStamp();
  FFILE_T* last = LastFileRec(list);
  if (last) {
    last->next = rec;
    rec->prev = last;
  }
  return rec;
}

FFILE_CLIREQ_T* AddFileCliReqRec(FFILE_CLIREQ_T* list) {
  FFILE_CLIREQ_T* req = new (std::nothrow) FFILE_CLIREQ_T;
  if (!req) return nullptr;
  while (list && list->next) list = list->next;
  if (list) {
    list->next = req;
    req->prev = list;
  }
  return req;
}

FFILE_T* FindFileRec(FFILE_T* list, const char* name) {
  if (!name) return nullptr;
  for (FFILE_T* r = list; r; r = r->next)
    if (strcmp(r->name, name) == 0) return r;
  return nullptr;
}

int ClearFile(FFILE_T* rec) {
  if (!rec) return 0;
  WaitFileWorkersOn(rec, true);
  free(rec->data);
  // Every field but the list links starts again as a new record's.
  FFILE_T* prev = rec->prev;
  FFILE_T* next = rec->next;
  rec->~FFILE_T();
  new (rec) FFILE_T();
  rec->prev = prev;
  rec->next = next;
  rec->change_stamp = NewChangeStamp();
  return 0;
}

FFILE_T* FindFreeFileRec(FFILE_T* list, const char* name) {
  if (!list) return AllocFileRec(nullptr);
  const time_t now = ClockNow();
  FFILE_T* rec = FindFileRec(list, name);
  if (rec) {
    if (!IsFresh(rec, now) || ffile_maxrec == 0) ClearFile(rec);
  } else {
    int count = 0;
    for (FFILE_T* r = list; r; r = r->next) {
      ++count;
      if (!rec && !IsFresh(r, now)) rec = r;
    }
    if (rec) {
      ClearFile(rec);
    } else if (count < ffile_maxrec) {
      rec = AllocFileRec(list);
      if (!rec) return nullptr;
    } else if (count > ffile_maxrec) {
      rec = LastFileRec(list);
      ClearFile(rec);
    } else {
      rec = list;
      for (FFILE_T* r = list->next; r; r = r->next)
        if (r->use_time.load() < rec->use_time.load()) rec = r;
      ClearFile(rec);
    }
  }
  // A record still being filled by the file-get worker keeps its data; GetFile waits for it.
  if (rec->name[0] != '\0' && !TransferRunning(rec) && !rec->data) ClearFile(rec);
  return rec;
}

FFILE_T* RemoveFileRec(FFILE_T* rec) {
  if (!rec) return nullptr;
  WaitFileWorkersOn(rec, true);
  FFILE_T* next = rec->next;
  if (rec->prev) rec->prev->next = next;
  if (next) next->prev = rec->prev;
  free(rec->data);
  delete rec;
  return next;
}

void RemoveFile(FFILE_T* list) {
  while (list) list = RemoveFileRec(list);
}

FFILE_CLIREQ_T* RemoveFileCliReqRec(FFILE_CLIREQ_T* req) {
  if (!req) return nullptr;
  FFILE_CLIREQ_T* next = req->next;
  if (req->prev) req->prev->next = next;
  if (next) next->prev = req->prev;
  delete req;
  return next;
}

void RemoveFileCliReq(FFILE_CLIREQ_T* list) {
  while (list) list = RemoveFileCliReqRec(list);
}

int IsDownloadedFile(FFILE_T* list) {
  for (FFILE_T* r = list; r; r = r->next)
    if (r->busy.load() != 0) return 0;
  return 1;
}

int CompareFileInfo(const FFILE_T* a, const FFILE_T* b) {
  switch (a->source) {
    case 1:
      return (a->size.load() == b->size.load() && a->mode == b->mode && a->mtime == b->mtime) ? 0
                                                                                              : 1;
    case 2:
      return (a->size.load() == b->size.load() && a->attr == b->attr &&
              memcmp(a->stamp_b, b->stamp_b, sizeof a->stamp_b) == 0)
                 ? 0
                 : 1;
    default:
      return 1;
  }
}

void FinishFileRead(FFILE_T* rec, const char* func, const char* aborted, const char* name) {
  if (rec->abort.load()) {
    rec->abort.store(0);
    log(func, 0, "%s: %s", aborted, name);
  }
  rec->use_time.store(ClockNow() + ffile_timeout);
  rec->busy.store(0, std::memory_order_release);
}
