// Stand-in until client connections land: no listening socket; the idle wait is a plain sleep.
#include <time.h>

#include "comm/commobj.h"
#include "comm/commobj_internal.h"

int StartClientsCommObject(COMMOBJ_T* obj) {
  (void)obj;
  return 0;
}

void StopClientsCommObject(COMMOBJ_T* obj) { (void)obj; }

void IdleWaitCommObject(COMMOBJ_T* obj) {
  long us = obj->idle_wait;
  timespec ts{us / 1000000, (us % 1000000) * 1000};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

int UpdateNetCommObject(COMMOBJ_T* obj) {
  (void)obj;
  return 0;
}

void ServeClientsCommObject(COMMOBJ_T* obj, uint32_t crc_read) {
  (void)obj;
  (void)crc_read;
}
