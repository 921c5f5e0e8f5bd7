// The link of a communication object, by link kind: one row of operations per kind (open, read
// plan, write plan, close) and the log lines of (re)connecting; identification of a DORVIK PLC.
#include <time.h>

#include <cstdio>
#include <cstring>

#include "app/clock.h"
#include "app/log.h"
#include "comm/commobj.h"
#include "comm/commobj_data.h"
#include "comm/commobj_shm.h"
#include "plc/plcdef.h"

namespace {

const char* const kConnect = "InitConnectCommObject";

// A PLC in boot mode is identified at most this often (seconds).
constexpr time_t kBootIdentPeriod = 5;

bool IsBootMode(const COMMOBJ_T* obj) {
  return strncmp(obj->ident[0], "BOOT", 4) == 0;
}

void SleepSeconds(int s) {
  timespec ts{s, 0};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

// A DORVIK link stays open after the thread ends: file and memory workers may still use it
// until the objects are freed.
void KeepDorvik(COMMOBJ_T*) {}

// The "Initializing" line before a (re)connection and the failure line after it.
void LogUdp(const COMMOBJ_T* obj, bool failed) {
  const PLCCFG_T& c = obj->cfg;
  log(kConnect, 0,
      failed ? "PLC-%d (%s): Unable to initialize DORVIK address '%s on port %d'!!!"
             : "PLC-%d (%s): Initializing DORVIK address '%s on port %d'",
      c.plc_num, c.name, c.ipaddr, c.dvkport);
}

void LogSerial(const COMMOBJ_T* obj, bool failed) {
  const PLCCFG_T& c = obj->cfg;
  log(kConnect, 0,
      failed ? "PLC-%d (%s): Unable to initialize DORVIK serial device '%s' for speed %d!!!"
             : "PLC-%d (%s): Initializing DORVIK serial device '%s' for speed %d",
      c.plc_num, c.name, c.serial_device, c.serial_speed);
}

void LogShm(const COMMOBJ_T* obj, bool failed) {
  const PLCCFG_T& c = obj->cfg;
  log(kConnect, 0,
      failed ? "PLC-%d (%s): Unable to initialize SHARED module '%s' on socket %d and port %d!!!"
             : "PLC-%d (%s): Initializing SHARED module '%s' on socket %d and port %d",
      c.plc_num, c.name, c.shm_name, c.shm_socket, c.shm_port);
}

// What the object does with its link, by kind. A new kind is a new row.
struct LINKOPS_T {
  int kind;
  int (*open)(COMMOBJ_T*);    // (re)connect; 0 when the PLC is ready
  int (*read)(COMMOBJ_T*);    // the read plan into the images; 0 or 1
  int (*write)(COMMOBJ_T*);   // the write plan to the PLC; 0 or 1
  void (*close)(COMMOBJ_T*);  // at the end of the object's thread
  void (*log_connect)(const COMMOBJ_T*, bool failed);
};

const LINKOPS_T kLinkOps[] = {
    {LINK_UDP, InitDorvikCommObject, GetDataDorvikCommObject, SendDataDorvikCommObject, KeepDorvik,
     LogUdp},
    {LINK_SERIAL, InitDorvikCommObject, GetDataDorvikCommObject, SendDataDorvikCommObject,
     KeepDorvik, LogSerial},
    {LINK_SHM, InitShmCommObject, GetDataShmCommObject, SendDataShmCommObject, CloseShmCommObject,
     LogShm},
};

const LINKOPS_T* LinkOps(const COMMOBJ_T* obj) {
  for (const LINKOPS_T& ops : kLinkOps)
    if (ops.kind == obj->cfg.link_kind) return &ops;
  return nullptr;
}

// Sets the closed link up for the object's transport. 1 when the link cannot be tried.
int SetupLinkCommObject(COMMOBJ_T* obj) {
  const PLCCFG_T& c = obj->cfg;
  DORVIK_T* link = &obj->link;
  Dorvik_SetStation(link, 0, static_cast<unsigned char>(c.dvkaddr), c.dvktout);
  if (c.link_kind == LINK_SERIAL) {
    // 8 data bits, one stop bit, even parity; the handshake lines do the flow control only
    // when no GPIO drives RTS.
    DORVIK_LINE_T line{c.serial_speed, 8, 0, 1, c.serial_rts == -1 ? 1 : 0, c.serial_rts};
    Dorvik_SetSerial(link, c.serial_device, &line);
    return 0;
  }
  Dorvik_SetUDP(link, c.ipaddr, c.dvkport);
  if (strcmp(c.ipaddr, "0.0.0.0") == 0) {
    SleepSeconds(1);  // an unconfigured PLC address costs a second per attempt
    return 1;
  }
  return 0;
}

}  // namespace

int InitDorvikCommObject(COMMOBJ_T* obj) {
  DORVIK_T* link = &obj->link;
  if (link->send.load() != nullptr || link->handle != 0) Dorvik_EXIT(link);
  if (SetupLinkCommObject(obj) != 0) return 1;
  if (Dorvik_INIT(link) != 0) {
    Dorvik_EXIT(link);
    return 1;
  }
  time_t now = ClockNow();
  if (IsBootMode(obj) && now - obj->ident_time < kBootIdentPeriod) return 1;

  unsigned char ident[256];
  int len = Dorvik_IDENT(link, ident);
  if (len < 0) {
    Dorvik_EXIT(link);
    return 1;
  }
  obj->ident_time = now;
  for (int f = 0; f < 4; ++f)
    snprintf(obj->ident[f], sizeof obj->ident[f], "%s",
             IdentPlc(ident, static_cast<size_t>(len), f + 1));
  log("InitDorvikCommObject", 0, "PLC-%d (%s): %s %s %s %s", obj->cfg.plc_num, obj->cfg.name,
      obj->ident[0], obj->ident[1], obj->ident[2], obj->ident[3]);
  return IsBootMode(obj) ? 1 : 0;
}

int InitConnectCommObject(COMMOBJ_T* obj) {
  const LINKOPS_T* ops = LinkOps(obj);
  if (!ops) return 0;
  const bool loud = obj->reconnect_logged == 0;
  if (loud) ops->log_connect(obj, false);
  int rc = ops->open(obj);
  if (rc != 0 && loud) ops->log_connect(obj, true);
  obj->link_ready = rc == 0 ? 1 : 0;
  return rc;
}

int GetDataCommObject(COMMOBJ_T* obj) {
  const LINKOPS_T* ops = LinkOps(obj);
  return ops ? ops->read(obj) : 0;
}

int SendDataCommObject(COMMOBJ_T* obj) {
  const LINKOPS_T* ops = LinkOps(obj);
  return ops ? ops->write(obj) : 0;
}

void CloseLinkCommObject(COMMOBJ_T* obj) {
  const LINKOPS_T* ops = LinkOps(obj);
  if (ops) ops->close(obj);
}
