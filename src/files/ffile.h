// The file record (one file held in memory and the state of its transfer), the file cache of a
// communication object and the two process-wide file workers: records and lists, the cache
// policy, where a file is read from, and the background get and write.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <ctime>

#include "plc/filesource.h"

struct DORVIK_T;

// Owned by one communication object's thread. While a background worker transfers the record
// (busy 2, started by the owner), the worker owns every field but the list links, `abort` and
// `base64`; it publishes progress through `end` (release) and its outcome through `result` and
// `busy` (release). The owner may read `end`, `busy`, `result`, `use_time` and `size` at any time
// (acquire), and `data`/`sent` once `end` is non-null; after that the owner alone moves `sent`.
// Every other field is the owner's again once busy is 0 or result is -1.
struct FFILE_T {
  char name[256] = {};            // as requested: a PLC path or a path below the local folder
  int source = SRC_NONE;          // FILE_SOURCE: where it was found, SRC_CACHE from memory
  int base64 = 0;                 // the client asked for Base64
  std::atomic<int64_t> size{0};   // bytes (1 while a read is starting)
  int64_t attr = 0;               // PLC attributes: 0x10 directory, 0 plain file
  uint32_t mode = 0;              // POSIX mode of a local file; 0644 regular for a PLC file
  time_t ctime = 0;               // change time
  time_t mtime = 0;               // modification time
  unsigned char stamp_a[6] = {};  // packed UTC date-time matching ctime
  unsigned char stamp_b[6] = {};  // packed UTC date-time matching mtime
  std::atomic<time_t> use_time{0};  // freshness stamp of the cache
  uint64_t change_stamp = 0;        // random, drawn when the record is created or reset
  std::atomic<int> abort{0};        // set by the owner to stop a background read
  std::atomic<int> result{0};       // result of the last background operation (0 or -1)
  std::atomic<int> busy{0};         // 2 while a transfer runs
  std::atomic<char*> end{nullptr};  // data valid up to here
  char* sent = nullptr;             // data sent to the client up to here
  char* data = nullptr;             // size + 1 bytes, zero-terminated; owned (malloc/free)
  // Its source is decided but its worker was busy: the owner starts it again later.
  int queued = 0;
  FFILE_T* prev = nullptr;
  FFILE_T* next = nullptr;
};

// One GETFILE request of one client: the cache record it is served from.
struct FFILE_CLIREQ_T {
  FFILE_T* file = nullptr;
  char name[264] = {};
  uint64_t change_stamp = 0;  // the record's stamp when the request was made
  int64_t pos = 0;            // bytes of the file sent to this client: clients share the record
  int base64 = 0;             // this client asked for Base64
  FFILE_CLIREQ_T* prev = nullptr;
  FFILE_CLIREQ_T* next = nullptr;
};

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
  // Set before the thread starts; its body clears it as its very last action, so a finished
  // worker is told from a running one without looking at the record it worked on.
  std::atomic<bool> running{false};
};

extern FFILE_THREAD_T ffg_thread;
extern FFILE_THREAD_T ffw_thread;

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
// worker started; 1 when the worker is still busy with another transfer: the record is then
// queued (named, its source decided) and the caller calls again later; -1 on failure. A queued
// record is started as it was decided, without asking for the file's information again.
int GetFileBg(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step);
// Writes rec's data in the file-write worker: names beginning with '.' locally, others to the
// PLC. 0 when the worker started, 1 when it is busy (rec queued, as above), -1 on failure.
int WriteFileBg(FFILE_T* rec, const char* dir, const char* name, DORVIK_T* link, int step);

void* ThreadGetFile(void* worker);
void* ThreadWriteFile(void* worker);
