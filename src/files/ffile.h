// The file cache of a communication object and the two process-wide file workers: records and
// lists, the cache policy, where a file is read from, and the background get and write.
#pragma once
#include <pthread.h>

#include <cstdint>
#include <ctime>

#include "app/ffile.h"

struct DORVIK_T;

// One background file worker. There is one for reading ("FFG") and one for writing ("FFW") in
// the whole process, shared by every communication object; each is used under its own lock.
struct FFILE_THREAD_T {
  FFILE_T* file = nullptr;  // the record being worked on
  DORVIK_T* link = nullptr;
  pthread_t thread{};
  pthread_attr_t attr{};  // 64 KiB stack, prepared by PrepareWorkerAttrs
  char dir[256] = {};
  char name[256] = {};
  int step = 0;          // DORVIK time-out step, ms
  bool started = false;  // a thread exists that still needs joining
  bool attr_ready = false;
};

extern FFILE_THREAD_T ffg_thread;
extern FFILE_THREAD_T ffw_thread;

// The clock of the file services, in seconds. Tests replace it; null restores time().
using FileClockFn = time_t (*)();
void SetFileClock(FileClockFn fn);
time_t FileNow();

// A new zero-filled record with a fresh change stamp, appended to `list` (may be null).
// Null if memory runs out. The caller frees it with RemoveFileRec / RemoveFile.
FFILE_T* AddFileRec(FFILE_T* list);
FFILE_CLIREQ_T* AddFileCliReqRec(FFILE_CLIREQ_T* list);
FFILE_T* FindFileRec(FFILE_T* list, const char* name);
// The record of `list` to use for `name` under ffile_maxrec and ffile_timeout (appended when the
// list is empty: the caller keeps it as the head). Null if memory runs out.
FFILE_T* FindFreeFileRec(FFILE_T* list, const char* name);
// Stops a worker busy with this record, unlinks and frees it; returns the next record.
FFILE_T* RemoveFileRec(FFILE_T* rec);
// Frees `list` and every record after it.
void RemoveFile(FFILE_T* list);
FFILE_CLIREQ_T* RemoveFileCliReqRec(FFILE_CLIREQ_T* req);
void RemoveFileCliReq(FFILE_CLIREQ_T* list);
// Frees the data and resets every field but the links; a new change stamp. Returns 0.
int ClearFile(FFILE_T* rec);
// 1 when no record of the list has a transfer running, else 0.
int IsDownloadedFile(FFILE_T* list);
// 0 when b describes the same file version as a, else 1.
int CompareFileInfo(const FFILE_T* a, const FFILE_T* b);

// Reads the file into `rec` now (from memory, the local disk or the PLC). 0 or -1.
int GetFile(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step);
// As GetFile, but a transfer runs in the file-get worker. 0 when the data are in memory or the
// worker started; -1 on failure.
int GetFileBg(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step);
// Writes rec's data in the file-write worker: names beginning with '.' locally, others to the
// PLC. 0 when the worker started, -1 otherwise.
int WriteFileBg(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step);

void* ThreadGetFile(void* worker);
void* ThreadWriteFile(void* worker);
