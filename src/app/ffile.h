// The file record: one file held in memory (a cached or transferred file, a public file's text)
// and the state of its transfer. It lives this low because the public file keeps its text in one
// and the file services below the client layer fill them.
#pragma once
#include <atomic>
#include <cstdint>
#include <ctime>

// Owned by one communication object's thread. While a background worker transfers the record
// (busy 2, started by the owner), the worker owns every field but the list links, `abort` and
// `base64`; it publishes progress through `end` (release) and its outcome through `result` and
// `busy` (release). The owner may read `end`, `busy`, `result`, `use_time` and `size` at any time
// (acquire), and `data`/`sent` once `end` is non-null; after that the owner alone moves `sent`.
// Every other field is the owner's again once busy is 0 or result is -1.
struct FFILE_T {
  char name[256] = {};            // as requested: a PLC path or a path below the local folder
  int source = 0;                 // 0 unknown/failed, 1 local computer, 2 PLC, 3 served from cache
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
  FFILE_T* prev = nullptr;
  FFILE_T* next = nullptr;
};

// One GETFILE request of one client: the cache record it is served from.
struct FFILE_CLIREQ_T {
  FFILE_T* file = nullptr;
  char name[264] = {};
  uint64_t change_stamp = 0;  // the record's stamp when the request was made
  FFILE_CLIREQ_T* prev = nullptr;
  FFILE_CLIREQ_T* next = nullptr;
};
