// The server's version text.
#include "app/version.h"

#include <cstdio>

const char* KorvaneVersion() {
  static char text[64];
  if (!text[0]) snprintf(text, sizeof text, "%s %s %s", "Ver 6.2", __DATE__, __TIME__);
  return text;
}
