// One cycle of a communication object, after the idle wait: connection upkeep, reading the PLC,
// serving the clients.
#include "comm/commobj.h"
#include "comm/commobj_internal.h"

namespace {

// Reads the planned variables; returns the project CRC just read (0 when unknown).
// Until the PLC data cycle lands this only keeps the link up: a link that is not ready is
// re-initialised once per cycle, and its messages are logged once until it succeeds.
uint32_t ReadVariablesCommObject(COMMOBJ_T* obj) {
  if (obj->link_ready || InitConnectCommObject(obj) == 0) {
    obj->reconnect_logged = 0;
    return 0;
  }
  if (obj->link_kind == LINK_SHM)
    obj->shm_down = 1;
  else
    obj->link_down = 1;
  obj->reconnect_logged = 1;
  return 0;
}

}  // namespace

void CycleCommObject(COMMOBJ_T* obj) {
  UpdateNetCommObject(obj);
  obj->link_down = 0;
  obj->shm_down = 0;
  obj->service_error = 0;
  uint32_t crc_read = ReadVariablesCommObject(obj);
  ServeClientsCommObject(obj, crc_read);
  obj->notice = 0;
}
