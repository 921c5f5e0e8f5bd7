// Reading the global settings of section "*" from the loaded configuration.
#pragma once

#include "ini/iniparser.h"

// Reads every global setting in table order, logging a warning with the default for each missing
// one, then applies the limits. Returns 0.
int ReadGlobalSettings(dictionary* ini);

// The limits alone (exposed for tests).
void ClampGlobalSettings();
