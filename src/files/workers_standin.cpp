// Stand-in until the file and memory workers land: there are no worker attributes to prepare.
#include "files/workers.h"

int PrepareWorkerAttrs(const char** errmsg) {
  (void)errmsg;
  return 0;
}

void DestroyWorkerAttrs() {}
