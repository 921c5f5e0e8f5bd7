// The serial device table: which GPIO drives the RTS line of which serial device.
// Filled once at start-up, read-only afterwards.
#include <cstdio>
#include <cstring>

#include "link/dorvik.h"

extern "C" {

SERIAL_CFG_T serial_cfg[SERIAL_CFG_MAX];

int Serial_CFG_Init(const char* text) {
  memset(serial_cfg, 0, sizeof serial_cfg);
  const char* item = text;
  for (int i = 0; i < SERIAL_CFG_MAX; i++) {
    char name[32] = "";
    int gpio = 0;
    if (sscanf(item, "%31s %d", name, &gpio) != 2) return -1;
    snprintf(serial_cfg[i].name, sizeof serial_cfg[i].name, "%s", name);
    serial_cfg[i].rts_gpio = gpio;
    const char* comma = strchr(item, ',');
    if (!comma) break;
    item = comma + 1;
  }
  return 0;
}

SERIAL_CFG_T* Serial_CFG_Find(const char* name) {
  for (SERIAL_CFG_T& rec : serial_cfg)
    if (rec.name[0] != '\0' && strcmp(rec.name, name) == 0) return &rec;
  return nullptr;
}

}  // extern "C"
