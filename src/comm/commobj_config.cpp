// Per-PLC configuration keys.
#include "comm/commobj_config.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/log.h"
#include "app/text.h"
#include "comm/commobj.h"
#include "comm/commobj_serialcfg.h"

namespace {

const char* const kFunc = "main";

std::string Key(const char* section, const char* key) { return std::string(section) + ":" + key; }

// A missing string key is null; empty strings are kept as given.
const char* ReadStr(dictionary* ini, const char* section, const char* key) {
  return iniparser_getstring(ini, Key(section, key).c_str(), nullptr);
}

void CopyText(char* dst, size_t size, const char* src) { snprintf(dst, size, "%s", src ? src : ""); }

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
            "PLC-%d (%s): Unable to found variable 'IPADDR' in config-file. Using default value: %s",
            i, s, cfg->ipaddr);
      }
    }
  }

  const char* local = ReadStr(ini, s, "ipaddr_local");
  if (local) {
    CopyText(cfg->ipaddr_local, sizeof cfg->ipaddr_local, local);
    FixIPaddr(cfg->ipaddr_local);
  } else {
    CopyText(cfg->ipaddr_local, sizeof cfg->ipaddr_local, "0.0.0.0");
    log(kFunc, 0,
        "PLC-%d (%s): Unable to found variable 'IPADDR_LOCAL' in config-file. Using default value: "
        "%s",
        i, s, cfg->ipaddr_local);
  }

  int v = iniparser_getint(ini, Key(s, "dvkaddr").c_str(), -1);
  if (v == -1) {
    v = i;
    log(kFunc, 0,
        "PLC-%d (%s): Unable to found variable 'DVKADDR' in config-file. Using default value: %d", i,
        s, v);
  }
  cfg->dvkaddr = v > 126 ? 126 : (v < 1 ? 1 : v);

  v = iniparser_getint(ini, Key(s, "dvkport").c_str(), -1);
  if (v == -1) {
    v = 61682;
    log(kFunc, 0,
        "PLC-%d (%s): Unable to found variable 'DVKPORT' in config-file. Using default value: %d", i,
        s, v);
  }
  cfg->dvkport = v <= 0 ? 61682 : v;

  v = iniparser_getint(ini, Key(s, "dvktout").c_str(), -1);
  if (v == -1) {
    v = 1000;
    log(kFunc, 0,
        "PLC-%d (%s): Unable to found variable 'DVKTOUT' in config-file. Using default value: %d", i,
        s, v);
  }
  cfg->dvktout = v < 0 ? 1000 : (v > 15000 ? 15000 : v);

  v = iniparser_getint(ini, Key(s, "dvktout_step").c_str(), -1);
  if (v == -1) {
    v = 500;
    log(kFunc, 0,
        "PLC-%d (%s): Unable to found variable 'DVKTOUT_STEP' in config-file. Using default value: "
        "%d",
        i, s, v);
  }
  cfg->dvktout_step = v < 0 ? 500 : (v > 5000 ? 5000 : v);

  v = iniparser_getint(ini, Key(s, "server_port").c_str(), -1);
  if (v == -1) {
    v = 5010;
    log(kFunc, 0,
        "PLC-%d (%s): Unable to found variable 'SERVER_PORT' in config-file. Using default value: "
        "%d",
        i, s, v);
  }
  cfg->server_port = v;

  const char* pf = ReadStr(ini, s, "pubfile");
  if (!pf) {
    pf = "iRovanta.pub";
    log(kFunc, 0,
        "PLC-%d (%s): Unable to found variable 'PUBFILE' in config-file. Using default value: %s", i,
        s, pf);
  }
  CopyText(cfg->pubfile, sizeof cfg->pubfile, pf);

  pf = ReadStr(ini, s, "pubfile_fixed");
  if (!pf) {
    pf = "FIXED_Rovanta.pub";
    log(kFunc, 0,
        "PLC-%d (%s): Unable to found variable 'PUBFILE_FIXED' in config-file. Using default value: "
        "%s",
        i, s, pf);
  }
  CopyText(cfg->pubfile_fixed, sizeof cfg->pubfile_fixed, pf);

  v = iniparser_getboolean(ini, Key(s, "pubfile_crc").c_str(), -1);
  if (v == -1) {
    v = 1;
    log(kFunc, 0,
        "PLC-%d (%s): Unable to found variable 'PUBFILE_CRC' in config-file. Using default value: %s",
        i, s, "Yes");
  }
  cfg->pubfile_crc = v;

  v = iniparser_getboolean(ini, Key(s, "pubfile_write").c_str(), -1);
  if (v == -1) {
    v = 0;
    log(kFunc, 0,
        "PLC-%d (%s): Unable to found variable 'PUBFILE_WRITE' in config-file. Using default value: "
        "%s",
        i, s, "No");
  }
  cfg->pubfile_write = v;
}

void FillCommObject(COMMOBJ_T* obj, const PLCCFG_T* cfg) {
  obj->state = 2;
  obj->plc_num = static_cast<uint8_t>(cfg->plc_num);
  CopyText(obj->name, sizeof obj->name, cfg->name);
  CopyText(obj->pf_name, sizeof obj->pf_name, cfg->pubfile);
  CopyText(obj->pf_fixed_name, sizeof obj->pf_fixed_name, cfg->pubfile_fixed);
  CopyText(obj->shm_name, sizeof obj->shm_name, cfg->shm_name);
  CopyText(obj->ipaddr, sizeof obj->ipaddr, cfg->ipaddr);
  CopyText(obj->ipaddr_local, sizeof obj->ipaddr_local, cfg->ipaddr_local);
  CopyText(obj->serial_device, sizeof obj->serial_device, cfg->serial_device);
  obj->serial_speed = cfg->serial_speed;
  obj->serial_rts = cfg->serial_rts;
  obj->server_port = cfg->server_port;
  obj->shm_port = cfg->shm_port;
  obj->shm_socket = cfg->shm_socket;
  obj->dvkaddr = cfg->dvkaddr;
  obj->dvkport = cfg->dvkport;
  obj->dvktout = cfg->dvktout;
  obj->dvktout_step = cfg->dvktout_step;
  obj->link_kind = cfg->link_kind;
  obj->pubfile_crc = cfg->pubfile_crc;
  obj->pubfile_write = cfg->pubfile_write;
}
