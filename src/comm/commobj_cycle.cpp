// One cycle of a communication object, after the idle wait: connection upkeep, reading the PLC,
// serving the clients.
#include "app/globals.h"
#include "app/log.h"
#include "comm/commobj.h"
#include "comm/commobj_internal.h"

namespace {

// Reads the planned variables; returns the project CRC just read (0 when unknown).
uint32_t ReadVariablesCommObject(COMMOBJ_T* obj) {
  (void)obj;
  return 0;  // the PLC data cycle is not built yet
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
  log("CycleCommObject", 3, "PLC-%d (%s): cycle done", obj->plc_num, obj->name);
}
