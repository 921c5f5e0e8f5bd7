// Memory block reads: request records, the read in passes of READN blocks with three attempts,
// and the single memory worker "MEM" shared by the whole process.
#include "files/mem.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "app/log.h"
#include "files/workers_internal.h"
#include "link/dorvik.h"
#include "plc/plcdef.h"

MEM_THREAD_T mem_thread;

namespace {

WORKER_TURN_T mem_turn;  // under mem_lock

constexpr int kPassBuf = 5 * DORVIK_MAX_BLOCK;  // 1230: the most one pass can return

void AbortedRead(MEM_T* rec) {
  rec->abort.store(0);
  log("GetDorvikMem", 0, "Abort of getting data from PLC!");
  rec->state.store(0, std::memory_order_release);
}

// Joins the worker and clears its handle; the caller holds mem_lock. With `stop`, the read is
// asked to end after its current pass first.
void JoinMemWorker(bool stop) {
  if (!mem_thread.started) return;
  MEM_T* rec = mem_thread.mem;
  if (stop && rec) rec->abort.store(1);
  pthread_join(mem_thread.thread, nullptr);
  mem_thread.started = false;
  if (stop && rec) rec->abort.store(0);
}

void StopWorkerOn(MEM_T* rec) {
  std::lock_guard<std::mutex> g(mem_lock);
  if (mem_thread.started && mem_thread.mem == rec) JoinMemWorker(true);
}

void FreeMemRec(MEM_T* rec) {
  free(rec->data);
  delete rec;
}

}  // namespace

MEM_T* AddMemRec(MEM_T* head) {
  MEM_T* rec = new (std::nothrow) MEM_T;
  if (!rec) return nullptr;
  while (head && head->next) head = head->next;
  if (head) {
    head->next = rec;
    rec->prev = head;
  }
  return rec;
}

int GetDorvikMem(MEM_T* rec, signed char reg, unsigned addr, unsigned len, DORVIK_T* link,
                 int step) {
  rec->end.store(nullptr, std::memory_order_release);
  rec->sent = nullptr;
  rec->state.store(2, std::memory_order_release);
  rec->len.store(0);
  free(rec->data);
  rec->data = nullptr;

  if (len <= kMaxMemBytes) rec->data = static_cast<unsigned char*>(malloc(std::max(len, 1u)));
  if (!rec->data) {
    log("GetDorvikMem", 0, "Unable to allocate memory for PLC data!");
    return -1;
  }
  rec->reg = reg;
  rec->addr = addr;
  rec->len.store(len);
  rec->sent = rec->data;
  rec->end.store(rec->data, std::memory_order_release);

  if (rec->abort.load()) {
    AbortedRead(rec);
    return 0;
  }

  const int max_blocks = link ? std::max(1, std::min(link->max_frames, 5)) : 1;
  unsigned char buf[kPassBuf];
  unsigned char* pos = rec->data;
  unsigned done = 0;
  unsigned cur = addr;
  while (done < len) {
    memset(buf, 0, sizeof buf);
    unsigned placed = 0;
    int blocks = 0;
    while (placed < len - done && blocks < max_blocks) {
      unsigned block_len = std::min<unsigned>(DORVIK_MAX_BLOCK, len - done - placed);
      unsigned block_addr = cur + placed;
      unsigned char* d = buf + 1 + 4 * blocks;
      d[0] = static_cast<unsigned char>(reg + (block_addr >> 16));
      d[1] = GetPlcAddrLo(block_addr);
      d[2] = static_cast<unsigned char>(GetPlcAddrHi(block_addr) & 0xFF);
      d[3] = static_cast<unsigned char>(block_len);
      placed += block_len;
      ++blocks;
    }

    bool ok = link && DorvikRetry(link, step, [&] {
                unsigned char attempt[kPassBuf];
                memcpy(attempt, buf, sizeof attempt);
                int got = Dorvik_READN(link, attempt, static_cast<unsigned>(blocks));
                if (got == static_cast<int>(placed)) {
                  memcpy(pos, attempt, placed);
                  return true;
                }
                if (got >= 0)
                  log("GetDorvikMem", 0, "Bad length of received data: %d (%d)", got,
                      static_cast<int>(placed));
                return false;
              });
    if (!ok) {
      log("GetDorvikMem", 0, "Unable to get data from PLC!");
      return -1;
    }
    pos += placed;
    cur += placed;
    done += placed;
    rec->end.store(pos, std::memory_order_release);
    if (done < len && rec->abort.load()) {
      AbortedRead(rec);
      return 0;
    }
  }
  if (rec->abort.load()) {
    rec->abort.store(0);
    log("GetDorvikMem", 0, "Abort of getting data from PLC!");
  }
  rec->state.store(0, std::memory_order_release);
  return 0;
}

int GetDorvikMemBg(MEM_T* rec, signed char reg, unsigned addr, unsigned len, DORVIK_T* link,
                   int step) {
  {
    std::lock_guard<std::mutex> g(mem_lock);
    // A finished worker is joined at once; a running one is not waited for.
    if (!mem_thread.running.load(std::memory_order_acquire)) JoinMemWorker(false);
    if (TakeWorkerTurn(&mem_turn, rec, mem_thread.started) != 0) {
      rec->reg = reg;
      rec->addr = addr;
      rec->len.store(len);
      rec->queued = 1;
      return 1;
    }
    rec->queued = 0;
    mem_thread.mem = rec;
    mem_thread.link = link;
    mem_thread.reg = reg;
    mem_thread.addr = addr;
    mem_thread.len = len;
    mem_thread.step = step;
    // Published before the thread exists: the owner sees a running read at once.
    rec->end.store(nullptr, std::memory_order_release);
    rec->result.store(0);
    rec->state.store(2, std::memory_order_release);
    mem_thread.running.store(true, std::memory_order_release);
    if (pthread_create(&mem_thread.thread, mem_thread.attr_ready ? &mem_thread.attr : nullptr,
                       ThreadGetMem, &mem_thread) != 0) {
      log("GetDorvikMemBg", 0, "Unable to create thread for backgroud proces!");
      mem_thread.running.store(false);
      return -1;
    }
    mem_thread.started = true;
  }
  struct timespec pause = {0, 10 * 1000000};
  nanosleep(&pause, nullptr);
  return 0;
}

void* ThreadGetMem(void* arg) {
  pthread_setname_np(pthread_self(), "MEM");
  MEM_THREAD_T* w = static_cast<MEM_THREAD_T*>(arg);
  int rc = GetDorvikMem(w->mem, w->reg, w->addr, w->len, w->link, w->step);
  w->mem->result.store(rc, std::memory_order_release);
  w->running.store(false, std::memory_order_release);  // last: w may be reused from here on
  return nullptr;
}

void AbortMem() {
  std::lock_guard<std::mutex> g(mem_lock);
  JoinMemWorker(true);
}

int ClearMem(MEM_T* rec) {
  if (!rec) return 0;
  StopWorkerOn(rec);
  free(rec->data);
  // Every field, links included, starts again as a new record's.
  rec->~MEM_T();
  new (rec) MEM_T();
  return 0;
}

MEM_T* RemoveMemRec(MEM_T* rec) {
  if (!rec) return nullptr;
  StopWorkerOn(rec);
  MEM_T* next = rec->next;
  if (rec->prev) rec->prev->next = next;
  if (next) next->prev = rec->prev;
  FreeMemRec(rec);
  return next;
}

void RemoveMem(MEM_T* head) {
  while (head) head = RemoveMemRec(head);
}
