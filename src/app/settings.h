// Reading the global settings of section "*" from the loaded configuration.
#pragma once

#include "ini/iniparser.h"

// Readers of one key that apply the rule for missing keys: a key that is absent (or reads as -1)
// is logged as "<prefix>Unable to found variable '<upper>' in config-file. Using default value:
// ..." and the default is returned. `prefix` is "" for section "*" and "PLC-<n> (<section>): "
// else.
int ReadSettingInt(dictionary* ini, const char* key, const char* prefix, const char* upper,
                   int def);
int ReadSettingBool(dictionary* ini, const char* key, const char* prefix, const char* upper,
                    int def);  // the default is shown as Yes or No
const char* ReadSettingStr(dictionary* ini, const char* key, const char* prefix, const char* upper,
                           const char* def);

// Reads every global setting in table order, logging a warning with the default for each missing
// one, then applies the limits. Returns 0.
int ReadGlobalSettings(dictionary* ini);

// The limits alone (exposed for tests).
void ClampGlobalSettings();
