// Memory block reads (GETMEM): the request record, the one process-wide memory worker, and the
// read of a block from the PLC in passes of up to max_frames x 246 bytes.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>

struct DORVIK_T;

// Owned by one client's list in its communication object's thread. While a read runs, the reading
// thread writes data, end, state, result, len, reg and addr, and clears abort; the owner reads
// `end` (acquire) and `result`, and after a non-null `end` it may read `data` and moves `sent`.
struct MEM_T {
  char name[256] = {};
  signed char reg = 0;
  uint32_t addr = 0;
  std::atomic<uint32_t> len{0};
  std::atomic<int> abort{0};
  std::atomic<int> result{0};
  std::atomic<int> state{0};  // 2 while reading (and after a failure), 0 when done or stopped
  std::atomic<unsigned char*> end{nullptr};
  unsigned char* sent = nullptr;
  unsigned char* data = nullptr;  // len bytes, owned (malloc/free)
  int queued = 0;  // the worker was busy: reg, addr and len wait for the owner to start it again
  MEM_T* prev = nullptr;
  MEM_T* next = nullptr;
};

// The memory worker; touched only under the process-wide memory lock.
struct MEM_THREAD_T {
  MEM_T* mem = nullptr;
  DORVIK_T* link = nullptr;
  signed char reg = 0;
  uint32_t addr = 0;
  uint32_t len = 0;
  pthread_t thread{};
  bool started = false;  // a thread exists that still needs joining
  pthread_attr_t attr{};
  bool attr_ready = false;
  int step = 0;
  // Set before the thread starts; its body clears it as its very last action.
  std::atomic<bool> running{false};
};

extern MEM_THREAD_T mem_thread;

// Largest block a GETMEM may ask for: the whole address space of the selectors (256 x 64 KiB).
constexpr uint32_t kMaxMemBytes = 256u * 65536u;

// A zeroed record appended after the last of `head` (or standing alone when head is null).
MEM_T* AddMemRec(MEM_T* head);
int GetDorvikMem(MEM_T* rec, signed char reg, unsigned addr, unsigned len, DORVIK_T* link,
                 int step);
// GetDorvikMem in the memory worker: 0 started, -1 failed, 1 while the worker still runs for
// another read: rec is then queued with reg, addr and len, and the caller calls again later.
int GetDorvikMemBg(MEM_T* rec, signed char reg, unsigned addr, unsigned len, DORVIK_T* link,
                   int step);
void* ThreadGetMem(void* worker);
void AbortMem();
int ClearMem(MEM_T* rec);
MEM_T* RemoveMemRec(MEM_T* rec);
void RemoveMem(MEM_T* head);
