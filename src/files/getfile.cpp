// Where a requested file is read from (memory, local disk or PLC), the synchronous read, and the
// background read and write in the process-wide workers "FFG" and "FFW".
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/clock.h"
#include "app/fsutil.h"
#include "app/globals.h"
#include "app/log.h"
#include "files/ffile.h"
#include "files/fileaccess.h"
#include "files/workers_internal.h"

namespace {

enum { kDecideFail = -1, kDecideMemory = 3 };

int ServeFromMemory(FFILE_T* rec) {
  rec->sent = rec->data;
  rec->end.store(rec->data + rec->size.load(), std::memory_order_release);
  rec->source = SRC_CACHE;
  rec->busy.store(0, std::memory_order_release);
  rec->use_time.store(ClockNow());
  return 0;
}

bool LocalExists(const char* dir, const char* name) {
  char path[PATH_MAX];
  struct stat st;
  return LocalFilePath(path, sizeof path, dir, name) == 0 && stat(path, &st) == 0;
}

// Decides where the file comes from: 1 local, 2 PLC, 3 already in memory, or -1 (source 0).
int DecideSource(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step) {
  // A transfer still running for this very record ends first; its data may serve this request.
  WaitFileWorkersOn(rec, false);
  if (ffile_maxrec != 0) {
    GetFileInfo(rec, dir, name, link, step);
    if (rec->data) return kDecideMemory;
  } else {
    if (!LocalExists(dir, name)) {
      if (strncmp(name, "../", 3) == 0 && !rec->data) {
        rec->source = SRC_NONE;
        return kDecideFail;
      }
      rec->source = SRC_PLC;
    } else {
      rec->source = IsDorvikRootDir(name) ? 2 : 1;
    }
    if (rec->data) return kDecideMemory;
  }
  if (rec->source != SRC_LOCAL && rec->source != SRC_PLC) {
    rec->source = SRC_NONE;
    return kDecideFail;
  }
  return rec->source;
}

void NameThread(const char* name) {
  pthread_setname_np(pthread_self(), name);
}

// Whose turn each file worker serves next; under that worker's lock.
WORKER_TURN_T ffg_turn;
WORKER_TURN_T ffw_turn;

// Starts `body` for rec in worker `w` (under its lock). A worker still running for another
// request is not waited for: rec is queued and 1 returned. A finished one is joined first.
int StartFileWorker(FFILE_THREAD_T* w, std::mutex* lock, WORKER_TURN_T* turn, void* (*body)(void*),
                    FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step,
                    const char* fail_func) {
  {
    std::lock_guard<std::mutex> g(*lock);
    if (w->started && !w->running.load(std::memory_order_acquire)) {
      pthread_join(w->thread, nullptr);
      w->started = false;
    }
    if (strncmp(rec->name, name, sizeof rec->name - 1) != 0)
      snprintf(rec->name, sizeof rec->name, "%s", name);
    if (TakeWorkerTurn(turn, rec, w->started) != 0) {
      rec->queued = 1;
      rec->use_time.store(ClockNow());  // a waiting record stays fresh in the cache
      return 1;
    }
    rec->queued = 0;
    w->file = rec;
    w->link = link;
    w->step = step;
    snprintf(w->dir, sizeof w->dir, "%s", dir ? dir : "");
    snprintf(w->name, sizeof w->name, "%s", name);
    // Published before the thread exists, so the owner sees the transfer running at once.
    rec->end.store(nullptr, std::memory_order_release);
    rec->result.store(0);
    rec->busy.store(2, std::memory_order_release);
    w->running.store(true, std::memory_order_release);
    if (pthread_create(&w->thread, w->attr_ready ? &w->attr : nullptr, body, w) != 0) {
      log(fail_func, 0, "Unable to create thread for backgroud proces!");
      w->running.store(false);
      rec->busy.store(0);
      rec->source = SRC_NONE;
      return -1;
    }
    w->started = true;
  }
  struct timespec pause = {0, 10 * 1000000};
  nanosleep(&pause, nullptr);
  rec->use_time.store(ClockNow());
  return 0;
}

}  // namespace

int GetFile(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step) {
  int where = DecideSource(rec, dir, name, link, step);
  if (where == kDecideFail) return -1;
  if (where == kDecideMemory) return ServeFromMemory(rec);
  int rc = (where == 1) ? GetLocalFile(rec, dir, name) : GetDorvikFile(rec, dir, name, link, step);
  if (rc == 0) {
    rec->use_time.store(ClockNow());
  } else {
    rec->source = SRC_NONE;
  }
  return rc;
}

int GetFileBg(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step) {
  const int where = rec->queued ? rec->source : DecideSource(rec, dir, name, link, step);
  if (where == kDecideFail) return -1;
  if (where == kDecideMemory) return ServeFromMemory(rec);
  if (where == SRC_LOCAL)
    return StartFileWorker(&ffg_thread, &ffg_lock, &ffg_turn, ThreadGetFile, rec, dir, name,
                           nullptr, 0, "GetLocalFileBg");
  return StartFileWorker(&ffg_thread, &ffg_lock, &ffg_turn, ThreadGetFile, rec, dir, name, link,
                         step, "GetDorvikFileBg");
}

int WriteFileBg(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step) {
  if (name[0] == '.') {
    rec->source = SRC_LOCAL;
    return StartFileWorker(&ffw_thread, &ffw_lock, &ffw_turn, ThreadWriteFile, rec, dir, name,
                           nullptr, 0, "WriteLocalFileBg");
  }
  rec->source = SRC_PLC;
  return StartFileWorker(&ffw_thread, &ffw_lock, &ffw_turn, ThreadWriteFile, rec, dir, name, link,
                         step, "WriteDorvikFileBg");
}

void* ThreadGetFile(void* arg) {
  NameThread("FFG");
  FFILE_THREAD_T* w = static_cast<FFILE_THREAD_T*>(arg);
  FFILE_T* rec = w->file;
  int rc = -1;
  if (rec->source == SRC_LOCAL)
    rc = GetLocalFile(rec, w->dir, w->name);
  else if (rec->source == SRC_PLC)
    rc = GetDorvikFile(rec, w->dir, w->name, w->link, w->step);
  rec->result.store(rc, std::memory_order_release);
  w->running.store(false, std::memory_order_release);  // last: w may be reused from here on
  return nullptr;
}

void* ThreadWriteFile(void* arg) {
  NameThread("FFW");
  FFILE_THREAD_T* w = static_cast<FFILE_THREAD_T*>(arg);
  FFILE_T* rec = w->file;
  int rc = -1;
  if (rec->source == SRC_LOCAL)
    rc = WriteLocalFile(rec, w->dir, w->name);
  else if (rec->source == SRC_PLC)
    rc = WriteDorvikFile(rec, w->dir, w->name, w->link, w->step);
  rec->result.store(rc, std::memory_order_release);
  w->running.store(false, std::memory_order_release);  // last: w may be reused from here on
  return nullptr;
}
