// First connection of a communication object and (re)connection of its link.
#include "app/log.h"
#include "comm/commobj.h"

int InitConnectCommObject(COMMOBJ_T* obj) {
  (void)obj;
  return 0;  // no link transport yet
}

int InitCommObject(COMMOBJ_T* obj) {
  InitConnectCommObject(obj);
  log("InitCommObject", 1, "PLC-%d (%s): initialized", obj->plc_num, obj->name);
  return 0;
}
