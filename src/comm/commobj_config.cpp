// Per-PLC configuration keys.
#include "comm/commobj_config.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/log.h"
#include "app/settings.h"
#include "app/text.h"
#include "comm/commobj.h"
#include "comm/commobj_serialcfg.h"

namespace {

const char* const kFunc = "main";

std::string Key(const char* section, const char* key) {
  return std::string(section) + ":" + key;
}

// A missing string key is null; empty strings are kept as given.
const char* ReadStr(dictionary* ini, const char* section, const char* key) {
  return iniparser_getstring(ini, Key(section, key).c_str(), nullptr);
}

void CopyText(char* dst, size_t size, const char* src) {
  snprintf(dst, size, "%s", src ? src : "");
}

// The prefix of every message about this section.
std::string Prefix(const char* s, int i) {
  return "PLC-" + std::to_string(i) + " (" + s + "): ";
}

int ReadPlcInt(dictionary* ini, const char* s, int i, const char* key, const char* upper, int def) {
  return ReadSettingInt(ini, Key(s, key).c_str(), Prefix(s, i).c_str(), upper, def);
}

int ReadPlcBool(dictionary* ini, const char* s, int i, const char* key, const char* upper,
                int def) {
  return ReadSettingBool(ini, Key(s, key).c_str(), Prefix(s, i).c_str(), upper, def);
}

const char* ReadPlcStr(dictionary* ini, const char* s, int i, const char* key, const char* upper,
                       const char* def) {
  return ReadSettingStr(ini, Key(s, key).c_str(), Prefix(s, i).c_str(), upper, def);
}

}  // namespace

void ReadPlcConfig(dictionary* ini, const char* section, int index, PLCCFG_T* cfg) {
  *cfg = PLCCFG_T();
  CopyText(cfg->name, sizeof cfg->name, section);
  cfg->plc_num = index;
  const int i = index;
  const char* s = section;

  CopyText(cfg->shm_name, sizeof cfg->shm_name, ReadStr(ini, s, "shm_name"));
  cfg->shm_socket = iniparser_getint(ini, Key(s, "shm_socket").c_str(), -1);
  cfg->shm_port = iniparser_getint(ini, Key(s, "shm_port").c_str(), -1);

  if (cfg->shm_name[0] && cfg->shm_socket != -1 && cfg->shm_port != -1) {
    cfg->link_kind = LINK_SHM;
  } else {
    CopyText(cfg->ipaddr, sizeof cfg->ipaddr, ReadStr(ini, s, "ipaddr"));
    FixIPaddr(cfg->ipaddr);
    if (cfg->ipaddr[0]) {
      cfg->link_kind = LINK_UDP;
    } else {
      CopyText(cfg->serial_device, sizeof cfg->serial_device, ReadStr(ini, s, "serial_device"));
      cfg->serial_speed = iniparser_getint(ini, Key(s, "serial_speed").c_str(), -1);
      cfg->serial_rts = SerialRtsDefault(cfg->serial_device);
      int rts = iniparser_getint(ini, Key(s, "serial_rts").c_str(), -1);
      if (rts != -1) cfg->serial_rts = rts;
      if (cfg->serial_device[0] && cfg->serial_speed != 0) {
        cfg->link_kind = LINK_SERIAL;
      } else {
        cfg->link_kind = LINK_UDP;
        CopyText(cfg->ipaddr, sizeof cfg->ipaddr, "0.0.0.0");
        log(kFunc, 0,
            "PLC-%d (%s): Unable to found variable 'IPADDR' in config-file. Using default value: "
            "%s",
            i, s, cfg->ipaddr);
      }
    }
  }

  CopyText(cfg->ipaddr_local, sizeof cfg->ipaddr_local,
           ReadPlcStr(ini, s, i, "ipaddr_local", "IPADDR_LOCAL", "0.0.0.0"));
  FixIPaddr(cfg->ipaddr_local);

  cfg->dvkaddr = ReadPlcInt(ini, s, i, "dvkaddr", "DVKADDR", i);
  if (cfg->dvkaddr > 126) cfg->dvkaddr = 126;
  if (cfg->dvkaddr < 1) cfg->dvkaddr = 1;
  cfg->dvkport = ReadPlcInt(ini, s, i, "dvkport", "DVKPORT", 61682);
  if (cfg->dvkport <= 0) cfg->dvkport = 61682;
  cfg->dvktout = ReadPlcInt(ini, s, i, "dvktout", "DVKTOUT", 1000);
  if (cfg->dvktout < 0) cfg->dvktout = 1000;
  if (cfg->dvktout > 15000) cfg->dvktout = 15000;
  cfg->dvktout_step = ReadPlcInt(ini, s, i, "dvktout_step", "DVKTOUT_STEP", 500);
  if (cfg->dvktout_step < 0) cfg->dvktout_step = 500;
  if (cfg->dvktout_step > 5000) cfg->dvktout_step = 5000;
  cfg->server_port = ReadPlcInt(ini, s, i, "server_port", "SERVER_PORT", 5010);

  CopyText(cfg->pubfile, sizeof cfg->pubfile,
           ReadPlcStr(ini, s, i, "pubfile", "PUBFILE", "iRovanta.pub"));
  CopyText(cfg->pubfile_fixed, sizeof cfg->pubfile_fixed,
           ReadPlcStr(ini, s, i, "pubfile_fixed", "PUBFILE_FIXED", "FIXED_Rovanta.pub"));
  cfg->pubfile_crc = ReadPlcBool(ini, s, i, "pubfile_crc", "PUBFILE_CRC", 1);
  cfg->pubfile_write = ReadPlcBool(ini, s, i, "pubfile_write", "PUBFILE_WRITE", 0);
}
