// The thread attributes of the three process-wide workers (memory read, file get, file write),
// and their locks.
#include "files/workers.h"

#include <pthread.h>

#include "app/clock.h"
#include "files/ffile.h"
#include "files/mem.h"
#include "files/workers_internal.h"

std::mutex ffg_lock;
std::mutex ffw_lock;
std::mutex mem_lock;

namespace {

// Longer than the slowest cycle of an object (comm_loop_delay is at most 1 s) plus its work.
constexpr int64_t kTurnHoldUs = 3000000;

// Prepared again by every object: an earlier set is destroyed first.
int PrepareAttr(pthread_attr_t* attr, bool* ready, const char* init_msg, const char* stack_msg,
                const char** errmsg) {
  if (*ready) {
    pthread_attr_destroy(attr);
    *ready = false;
  }
  if (pthread_attr_init(attr) != 0) {
    *errmsg = init_msg;
    return 1;
  }
  *ready = true;
  if (pthread_attr_setstacksize(attr, kWorkerStack) != 0) {
    *errmsg = stack_msg;
    return 1;
  }
  return 0;
}

void DestroyAttr(pthread_attr_t* attr, bool* ready) {
  if (!*ready) return;
  pthread_attr_destroy(attr);
  *ready = false;
}

}  // namespace

int TakeWorkerTurn(WORKER_TURN_T* turn, const void* rec, bool running) {
  const int64_t now = ClockMonoUs();
  const bool other = turn->rec && turn->rec != rec && now < turn->until_us;
  if (!running && !other) {
    turn->rec = nullptr;
    return 0;
  }
  if (!other) {
    turn->rec = rec;
    turn->until_us = now + kTurnHoldUs;
  }
  return 1;
}

int PrepareWorkerAttrs(const char** errmsg) {
  const char* dummy = nullptr;
  if (!errmsg) errmsg = &dummy;
  {
    std::lock_guard<std::mutex> g(mem_lock);
    if (PrepareAttr(&mem_thread.attr, &mem_thread.attr_ready,
                    "Unable to initialize MEM thread attributes!",
                    "Unable to set stack size for MEM thread attributes!", errmsg))
      return 1;
  }
  {
    std::lock_guard<std::mutex> g(ffg_lock);
    if (PrepareAttr(&ffg_thread.attr, &ffg_thread.attr_ready,
                    "Unable to initialize FFG thread attributes!",
                    "Unable to set stack size for FFG thread attributes!", errmsg))
      return 1;
  }
  std::lock_guard<std::mutex> g(ffw_lock);
  return PrepareAttr(&ffw_thread.attr, &ffw_thread.attr_ready,
                     "Unable to initialize FFW thread attributes!",
                     "Unable to set stack size for FFW thread attributes!", errmsg);
}

void DestroyWorkerAttrs() {
  AbortMem();
  {
    std::lock_guard<std::mutex> g(mem_lock);
    DestroyAttr(&mem_thread.attr, &mem_thread.attr_ready);
  }
  {
    std::lock_guard<std::mutex> g(ffg_lock);
    if (ffg_thread.started) {
      FFILE_T* rec = ffg_thread.file;
      if (rec) rec->abort.store(1);
      pthread_join(ffg_thread.thread, nullptr);
      ffg_thread.started = false;
      if (rec) rec->abort.store(0);
    }
    DestroyAttr(&ffg_thread.attr, &ffg_thread.attr_ready);
  }
  std::lock_guard<std::mutex> g(ffw_lock);
  if (ffw_thread.started) {
    pthread_join(ffw_thread.thread, nullptr);
    ffw_thread.started = false;
  }
  DestroyAttr(&ffw_thread.attr, &ffw_thread.attr_ready);
}
