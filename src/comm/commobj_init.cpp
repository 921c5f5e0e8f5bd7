// First connection and public files of a communication object at thread start.
#include "app/log.h"
#include "comm/commobj.h"

int InitCommObject(COMMOBJ_T* obj) {
  InitConnectCommObject(obj);  // a PLC that is not reachable yet is retried by the cycle
  return 0;
}
