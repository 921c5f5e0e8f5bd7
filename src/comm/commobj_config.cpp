// Per-PLC configuration keys.
#include "comm/commobj_config.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

// A decimal key ("09600" is 9600, "010" is 10); `missing` when the key is absent. Text that holds
// no number reads as 0, as the INI store reads it.
int ReadDecimal(dictionary* ini, const char* section, const char* key, int missing) {
  const char* v = ReadStr(ini, section, key);
  if (!v) return missing;
  errno = 0;
  long n = strtol(v, nullptr, 10);
  if (errno == ERANGE || n > INT_MAX || n < INT_MIN) return n < 0 ? INT_MIN : INT_MAX;
  return static_cast<int>(n);
}

// The whole text (trailing blanks allowed) as one number, in the INI store's bases.
bool WholeNumber(const char* text, long* out) {
  char* end = nullptr;
  errno = 0;
  *out = strtol(text, &end, 0);
  if (end == text || errno == ERANGE) return false;
  while (*end == ' ' || *end == '\t') ++end;
  return *end == '\0';
}

// The client port: a whole number 0..65535 (0: any free port). Anything else is refused rather
// than bound somewhere the user did not ask for. Returns 0, or 1 after logging.
int ReadServerPort(dictionary* ini, const char* s, int i, int* port) {
  const char* v = ReadStr(ini, s, "server_port");
  long n = 0;
  if (!v || (WholeNumber(v, &n) && n == -1)) {  // -1 reads as missing, like every int key
    *port = ReadPlcInt(ini, s, i, "server_port", "SERVER_PORT", 5010);
    return 0;
  }
  if (WholeNumber(v, &n) && n >= 0 && n <= 65535) {
    *port = static_cast<int>(n);
    return 0;
  }
  log(kFunc, 0, "PLC-%d (%s): Wrong value '%s' of variable 'SERVER_PORT' in config-file!!!", i, s,
      v);
  return 1;
}

// An address key after normalising must be dotted IPv4; text that is not would make the socket
// layer pick an address of its own (255.255.255.255 for garbage). Returns 0, or 1 after logging.
int CheckIPv4(const char* ip, const char* s, int i, const char* upper) {
  in_addr a;
  if (inet_pton(AF_INET, ip, &a) == 1) return 0;
  log(kFunc, 0, "PLC-%d (%s): Wrong value '%s' of variable '%s' in config-file!!!", i, s, ip,
      upper);
  return 1;
}

}  // namespace

int ReadPlcConfig(dictionary* ini, const char* section, int index, PLCCFG_T* cfg) {
  *cfg = PLCCFG_T();
  int wrong = 0;
  CopyText(cfg->name, sizeof cfg->name, section);
  cfg->plc_num = index;
  const int i = index;
  const char* s = section;

  CopyText(cfg->shm_name, sizeof cfg->shm_name, ReadStr(ini, s, "shm_name"));
  cfg->shm_socket = ReadDecimal(ini, s, "shm_socket", -1);
  cfg->shm_port = ReadDecimal(ini, s, "shm_port", -1);

  if (cfg->shm_name[0] && cfg->shm_socket != -1 && cfg->shm_port != -1) {
    cfg->link_kind = LINK_SHM;
  } else {
    CopyText(cfg->ipaddr, sizeof cfg->ipaddr, ReadStr(ini, s, "ipaddr"));
    FixIPaddr(cfg->ipaddr);
    if (cfg->ipaddr[0]) {
      cfg->link_kind = LINK_UDP;
      wrong |= CheckIPv4(cfg->ipaddr, s, i, "IPADDR");
    } else {
      CopyText(cfg->serial_device, sizeof cfg->serial_device, ReadStr(ini, s, "serial_device"));
      cfg->serial_speed = ReadDecimal(ini, s, "serial_speed", -1);
      // The section's own key, -1 included, overrides the serial device table.
      cfg->serial_rts = ReadDecimal(ini, s, "serial_rts", SerialRtsDefault(cfg->serial_device));
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
  wrong |= CheckIPv4(cfg->ipaddr_local, s, i, "IPADDR_LOCAL");

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
  wrong |= ReadServerPort(ini, s, i, &cfg->server_port);

  CopyText(cfg->pubfile, sizeof cfg->pubfile,
           ReadPlcStr(ini, s, i, "pubfile", "PUBFILE", "iRovanta.pub"));
  CopyText(cfg->pubfile_fixed, sizeof cfg->pubfile_fixed,
           ReadPlcStr(ini, s, i, "pubfile_fixed", "PUBFILE_FIXED", "FIXED_Rovanta.pub"));
  cfg->pubfile_crc = ReadPlcBool(ini, s, i, "pubfile_crc", "PUBFILE_CRC", 1);
  cfg->pubfile_write = ReadPlcBool(ini, s, i, "pubfile_write", "PUBFILE_WRITE", 0);
  return wrong;
}
