// The request for a block of PLC memory: GETMEM.
#include "client/dispatch.h"

int ReqGetMem(DISPATCH_T*) {
  return 0;
}

#include "client/reply.h"

int SendMemSection(REPLY_T*) {
  return 0;
}
