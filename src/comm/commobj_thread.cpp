// The thread of a communication object: start-up, the timed cycle, the end; and its creation
// and joining.
#include <pthread.h>
#include <time.h>

#include <cstring>

#include "app/globals.h"
#include "app/log.h"
#include "comm/commobj.h"
#include "comm/commobj_internal.h"
#include "files/workers.h"

namespace {

const size_t kCommStack = 1048576;

void SleepUs(long us) {
  timespec ts{us / 1000000, (us % 1000000) * 1000};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

long ElapsedUs(const timespec& since) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - since.tv_sec) * 1000000L + (now.tv_nsec - since.tv_nsec) / 1000;
}

// Start-up of the thread (before the first cycle). Returns 0 when the cycle may run.
int StartCommObject(COMMOBJ_T* obj) {
  while (commobj_state.load() == 0) SleepUs(10000);
  if (commobj_state.load() == 3) {
    obj->state = 3;
    return 1;
  }
  if (InitCommObject(obj) != 0) {
    obj->state = 3;
    commobj_state = 3;
    return 1;
  }
  obj->state = 1;
  if (StartClientsCommObject(obj) != 0) return 1;
  obj->notice = 0;
  obj->no_pubfile = obj->pf ? 0 : 1;
  obj->idle_wait = comm_loop_delay * 1000;
  log("ThreadCommObject", 0, "PLC-%d (%s): CommObject running...", obj->plc_num, obj->name);
  return 0;
}

void EndCommObject(COMMOBJ_T* obj) {
  StopClientsCommObject(obj);
  log("ThreadCommObject", 0, "PLC-%d (%s): CommObject exiting...", obj->plc_num, obj->name);
}

}  // namespace

int NextIdleWait(int idle_wait, int period_us, long elapsed_us) {
  if (idle_wait == 0) return 1000;
  long next = period_us - elapsed_us;
  if (next <= 999) return 1000;
  if (next > period_us) return period_us;
  return static_cast<int>(next);
}

void* ThreadCommObject(void* arg) {
  COMMOBJ_T* obj = static_cast<COMMOBJ_T*>(arg);
  if (StartCommObject(obj) != 0) return nullptr;

  while (commobj_state.load() != 3) {
    IdleWaitCommObject(obj);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    CycleCommObject(obj);
    obj->idle_wait = NextIdleWait(obj->idle_wait, comm_loop_delay * 1000, ElapsedUs(start));
  }

  EndCommObject(obj);
  return nullptr;
}

int RealizeCommObject(COMMOBJ_T* obj) {
  const char* msg = nullptr;
  if (PrepareWorkerAttrs(&msg) != 0) {
    log("RealizeCommObject", 0, "%s", msg);
    return 1;
  }
  if (pthread_attr_init(&obj->attr) != 0) {
    log("RealizeCommObject", 0, "Unable to initialize COMM thread attributes!");
    return 1;
  }
  obj->attr_ready = true;
  if (pthread_attr_setstacksize(&obj->attr, kCommStack) != 0) {
    log("RealizeCommObject", 0, "Unable to set stack size for COMM thread attributes!");
    return 1;
  }
  if (pthread_create(&obj->thread, &obj->attr, ThreadCommObject, obj) != 0) {
    log("RealizeCommObject", 0, "PLC-%d (%s): Unable to create thread for data communication!!!",
        obj->plc_num, obj->name);
    commobj_state = 3;
    return 1;
  }
  obj->thread_started = true;
  // Thread names are limited to 15 characters on Linux.
  char tname[16];
  memcpy(tname, obj->name, sizeof tname - 1);
  tname[sizeof tname - 1] = '\0';
  pthread_setname_np(obj->thread, tname);
  return 0;
}

void DestroyAllCommObject(COMMOBJ_T* list) {
  COMMOBJ_T* first = SeekCommObject(list, 0);
  for (COMMOBJ_T* o = first; o; o = o->next) {
    if (o->thread_started) {
      pthread_join(o->thread, nullptr);
      o->thread_started = false;
    }
    if (o->attr_ready) {
      pthread_attr_destroy(&o->attr);
      o->attr_ready = false;
    }
  }
  DestroyWorkerAttrs();
  while (first) {
    FreeCommObject(first);
    COMMOBJ_T* next = first->next;
    RemoveCommObjectRec(first);
    first = next;
  }
}
