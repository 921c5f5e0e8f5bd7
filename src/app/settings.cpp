// Global settings of section "*": defaults, warnings for missing keys, limits.
#include "app/settings.h"

#include <sched.h>

#include "app/globals.h"
#include "app/log.h"
#include "ini/iniparser.h"

namespace {

const char* const kFunc = "main";

int ReadInt(dictionary* ini, const char* key, const char* upper, int def) {
  return ReadSettingInt(ini, key, "", upper, def);
}

int ReadBool(dictionary* ini, const char* key, const char* upper, int def) {
  return ReadSettingBool(ini, key, "", upper, def);
}

}  // namespace

int ReadSettingInt(dictionary* ini, const char* key, const char* prefix, const char* upper,
                   int def) {
  int v = iniparser_getint(ini, key, -1);
  if (v != -1) return v;
  log(kFunc, 0, "%sUnable to found variable '%s' in config-file. Using default value: %d", prefix,
      upper, def);
  return def;
}

int ReadSettingBool(dictionary* ini, const char* key, const char* prefix, const char* upper,
                    int def) {
  int v = iniparser_getboolean(ini, key, -1);
  if (v != -1) return v;
  log(kFunc, 0, "%sUnable to found variable '%s' in config-file. Using default value: %s", prefix,
      upper, def ? "Yes" : "No");
  return def;
}

const char* ReadSettingStr(dictionary* ini, const char* key, const char* prefix, const char* upper,
                           const char* def) {
  const char* v = iniparser_getstring(ini, key, nullptr);
  if (v) return v;
  log(kFunc, 0, "%sUnable to found variable '%s' in config-file. Using default value: %s", prefix,
      upper, def);
  return def;
}

void ClampGlobalSettings() {
  if (comm_loop_delay < 1) comm_loop_delay = 100;
  if (comm_loop_delay > 1000) comm_loop_delay = 1000;
  if (comm_sched_pri != 0) {
    int lo = sched_get_priority_min(SCHED_RR);
    int hi = sched_get_priority_max(SCHED_RR);
    if (comm_sched_pri < lo) comm_sched_pri = lo;
    if (comm_sched_pri > hi) comm_sched_pri = hi;
  }
  if (net_connect_max < 1) net_connect_max = 10;
  if (net_connect_max > 1024) net_connect_max = 1024;
  if (mem_blksize < 1) mem_blksize = 1024;
  if (mem_blksize > 65536) mem_blksize = 65536;
  if (ffile_blksize < 1) ffile_blksize = 1024;
  if (ffile_blksize > 65536) ffile_blksize = 65536;
  if (ffile_timeout < 0) ffile_timeout = 300;
  if (ffile_timeout > 3600) ffile_timeout = 3600;
  if (ffile_timeout_wr < 0) ffile_timeout_wr = 5;
  if (ffile_timeout_wr > 60) ffile_timeout_wr = 60;
  if (ffile_maxrec < 0) ffile_maxrec = 256;
  if (ffile_maxrec > 1024) ffile_maxrec = 1024;
  if (num_of_decimals < 0 || num_of_decimals > 15) num_of_decimals = 10;
}

int ReadGlobalSettings(dictionary* ini) {
  comm_loop_delay = ReadInt(ini, "*:comm_loop_delay", "COMM_LOOP_DELAY", 100);
  comm_sched_pri = ReadInt(ini, "*:comm_sched_pri", "COMM_SCHED_PRI", 0);
  net_connect_max = ReadInt(ini, "*:net_connect_max", "NET_CONNECT_MAX", 10);
  mem_blksize = ReadInt(ini, "*:mem_blksize", "MEM_BLKSIZE", 1024);
  mem_use_threads = ReadBool(ini, "*:mem_use_threads", "MEM_USE_THREADS", 1);
  ffile_blksize = ReadInt(ini, "*:ffile_blksize", "FFILE_BLKSIZE", 1024);
  ffile_timeout = ReadInt(ini, "*:ffile_timeout", "FFILE_TIMEOUT", 300);
  ffile_timeout_wr = ReadInt(ini, "*:ffile_timeout_wr", "FFILE_TIMEOUT_WR", 5);
  ffile_maxrec = ReadInt(ini, "*:ffile_maxrecs", "FFILE_MAXREC", 256);
  end_line_crlf = ReadBool(ini, "*:end_line_crlf", "END_LINE_CRLF", 0);
  pf_var_disabled = ReadBool(ini, "*:pf_var_disabled", "PF_VAR_DISABLED", 0);
  diff_var_enabled = ReadBool(ini, "*:diff_var_enabled", "DIFF_VAR_ENABLED", 1);
  sync_var_enabled = ReadBool(ini, "*:sync_var_enabled", "SYNC_VAR_ENABLED", 1);
  date_time_decimal = ReadBool(ini, "*:date_time_decimal", "DATE_TIME_DECIMAL", 0);
  lim_of_decimals = ReadBool(ini, "*:lim_of_decimals", "LIM_OF_DECIMALS", 0);
  num_of_decimals = ReadInt(ini, "*:num_of_decimals", "NUM_OF_DECIMALS", 10);
  scient_notation = ReadBool(ini, "*:scient_notation", "SCIENT_NOTATION", 0);
  ClampGlobalSettings();
  return 0;
}
