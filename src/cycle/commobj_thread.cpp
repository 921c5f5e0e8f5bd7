// The thread of a communication object: start-up, the timed cycle, the end; and its creation
// and joining.
#include "cycle/commobj_thread.h"

#include <pthread.h>
#include <time.h>

#include <cstring>

#include "app/clock.h"
#include "app/globals.h"
#include "app/log.h"
#include "client/netcomm.h"
#include "comm/commobj.h"
#include "files/workers.h"

namespace {

const size_t kCommStack = 1048576;

void SleepUs(long us) {
  timespec ts{us / 1000000, (us % 1000000) * 1000};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

// Start-up of the thread (before the first cycle). Returns 0 when the cycle may run.
int StartCommObject(COMMOBJ_T* obj) {
  while (commobj_state.load() == 0) SleepUs(10000);
  if (commobj_state.load() == 3) {
    obj->state = 3;
    return 1;
  }
  PrepareCycleCommObject(obj);
  if (InitCommObject(obj) != 0) {
    obj->state = 3;
    StopOnStartFailure();
    return 1;
  }
  obj->state = 1;
  if (StartNetCommObject(obj) != 0) return 1;
  obj->notice = 0;
  obj->no_pubfile = obj->pf ? 0 : 1;
  obj->active_changed = 1;  // the first cycle folds and plans, and says what it reads
  obj->idle_wait = comm_loop_delay * 1000;
  log("ThreadCommObject", 0, "PLC-%d (%s): CommObject running...", obj->cfg.plc_num, obj->cfg.name);
  return 0;
}

// Every client record's lists and public-file copy, then the records themselves.
void FreeClientsCommObject(COMMOBJ_T* obj) {
  for (NETCOMM_T* r = obj->clients; r; r = r->next) ResetNetCommRec(r);
  RemoveNetComm(obj->clients);
  obj->clients = nullptr;
}

void EndCommObject(COMMOBJ_T* obj) {
  CloseLinkCommObject(obj);
  CloseNetCommObject(obj);
  log("ThreadCommObject", 0, "PLC-%d (%s): CommObject exiting...", obj->cfg.plc_num, obj->cfg.name);
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
    const int64_t start = ClockMonoUs();
    CycleCommObject(obj);
    obj->idle_wait = NextIdleWait(obj->idle_wait, comm_loop_delay * 1000,
                                  static_cast<long>(ClockMonoUs() - start));
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
        obj->cfg.plc_num, obj->cfg.name);
    StopOnStartFailure();
    return 1;
  }
  obj->thread_started = true;
  // Thread names are limited to 15 characters on Linux.
  char tname[16];
  memcpy(tname, obj->cfg.name, sizeof tname - 1);
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
    FreeClientsCommObject(first);
    FreeCommObject(first);
    COMMOBJ_T* next = first->next;
    RemoveCommObjectRec(first);
    first = next;
  }
}
