// Default RTS GPIO of a serial device, from the serial device table.
#include "comm/commobj_serialcfg.h"

#include "link/dorvik.h"

int SerialRtsDefault(const char* device) {
  const SERIAL_CFG_T* rec = Serial_CFG_Find(device);
  return rec ? rec->rts_gpio : -1;
}
