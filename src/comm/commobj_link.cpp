// (Re)connecting the link of a communication object and identifying its PLC.
#include <time.h>

#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "comm/commobj.h"
#include "plc/plcdef.h"

namespace {

const char* const kConnect = "InitConnectCommObject";

bool IsBootMode(const COMMOBJ_T* obj) {
  return strncmp(obj->ident[0], "BOOT", 4) == 0;
}

void SleepSeconds(int s) {
  timespec ts{s, 0};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

// Fills the link record for the object's transport. Returns 1 when the link cannot be tried.
int FillLinkCommObject(COMMOBJ_T* obj) {
  DORVIK_T* link = &obj->link;
  link->plc_addr = 0;
  link->own_addr = static_cast<unsigned char>(obj->dvkaddr);
  link->port = obj->dvkport;
  link->timeout = obj->dvktout;
  if (obj->link_kind == LINK_UDP) {
    link->iface = DORVIK_IFACE_UDP;
    snprintf(link->ip, sizeof link->ip, "%s", obj->ipaddr);
    if (strcmp(obj->ipaddr, "0.0.0.0") == 0) {
      SleepSeconds(1);  // an unconfigured PLC address costs a second per attempt
      return 1;
    }
    return 0;
  }
  link->iface = DORVIK_IFACE_SERIAL;
  snprintf(link->device, sizeof link->device, "%s", obj->serial_device);
  link->ser.speed = obj->serial_speed;
  link->ser.data_bits = 8;
  link->ser.stop_bits = 0;
  link->ser.parity = 1;
  link->ser.rts_gpio = obj->serial_rts;
  link->ser.flow = obj->serial_rts == -1 ? 1 : 0;
  return 0;
}

}  // namespace

int InitDorvikCommObject(COMMOBJ_T* obj) {
  DORVIK_T* link = &obj->link;
  if (link->send.load() != nullptr || link->handle != 0) Dorvik_EXIT(link);
  if (FillLinkCommObject(obj) != 0) return 1;
  if (Dorvik_INIT(link) != 0) {
    Dorvik_EXIT(link);
    return 1;
  }
  time_t now = time(nullptr);
  if (IsBootMode(obj) && now - obj->ident_time < 5) return 1;

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
  log("InitDorvikCommObject", 0, "PLC-%d (%s): %s %s %s %s", obj->plc_num, obj->name, obj->ident[0],
      obj->ident[1], obj->ident[2], obj->ident[3]);
  return IsBootMode(obj) ? 1 : 0;
}

int InitShmCommObject(COMMOBJ_T* obj) {
  (void)obj;
  return 1;  // the shared-memory module binding is not built yet
}

int InitConnectCommObject(COMMOBJ_T* obj) {
  const bool loud = obj->reconnect_logged == 0;
  const int n = obj->plc_num;
  const char* s = obj->name;
  int rc = 0;
  switch (obj->link_kind) {
    case LINK_UDP:
      if (loud)
        log(kConnect, 0, "PLC-%d (%s): Initializing DORVIK address '%s on port %d'", n, s,
            obj->ipaddr, obj->dvkport);
      rc = InitDorvikCommObject(obj);
      if (rc != 0 && loud)
        log(kConnect, 0, "PLC-%d (%s): Unable to initialize DORVIK address '%s on port %d'!!!", n,
            s, obj->ipaddr, obj->dvkport);
      break;
    case LINK_SERIAL:
      if (loud)
        log(kConnect, 0, "PLC-%d (%s): Initializing DORVIK serial device '%s' for speed %d", n, s,
            obj->serial_device, obj->serial_speed);
      rc = InitDorvikCommObject(obj);
      if (rc != 0 && loud)
        log(kConnect, 0,
            "PLC-%d (%s): Unable to initialize DORVIK serial device '%s' for speed %d!!!", n, s,
            obj->serial_device, obj->serial_speed);
      break;
    case LINK_SHM:
      if (loud)
        log(kConnect, 0, "PLC-%d (%s): Initializing SHARED module '%s' on socket %d and port %d", n,
            s, obj->shm_name, obj->shm_socket, obj->shm_port);
      rc = InitShmCommObject(obj);
      if (rc != 0 && loud)
        log(kConnect, 0,
            "PLC-%d (%s): Unable to initialize SHARED module '%s' on socket %d and port %d!!!", n,
            s, obj->shm_name, obj->shm_socket, obj->shm_port);
      break;
    default:
      return 0;
  }
  obj->link_ready = rc == 0 ? 1 : 0;
  return rc;
}
