// Reading the keys of one PLC section.
#pragma once
#include "comm/commobj.h"
#include "ini/iniparser.h"

// Reads the keys of section `section` (index `index` in the file), logging each missing key with
// its default and applying the limits and the link-kind decision. Always starts from the defaults.
void ReadPlcConfig(dictionary* ini, const char* section, int index, PLCCFG_T* cfg);
