// The requests on the server itself: SETCONF, GETINFO and HELP.
#include "client/dispatch.h"

int ReqSetConf(DISPATCH_T*) {
  return 0;
}
int ReqGetInfo(DISPATCH_T*) {
  return 0;
}
int ReqHelp(DISPATCH_T*) {
  return 0;
}
