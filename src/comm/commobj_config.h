// Reading the keys of one PLC section.
#pragma once
#include "comm/commobj.h"
#include "ini/iniparser.h"

// Reads the keys of section `section` (index `index` in the file), logging each missing key with
// its default and applying the limits and the link-kind decision. Always starts from the defaults.
// Returns 0, or 1 (after logging which) when a key holds a value the section cannot start with:
// a server_port outside 0..65535 or not a number, an ipaddr or ipaddr_local that is not dotted
// IPv4.
int ReadPlcConfig(dictionary* ini, const char* section, int index, PLCCFG_T* cfg);
