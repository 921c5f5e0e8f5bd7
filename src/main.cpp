// Process entry: command line, log, configuration, signals, one communication object per PLC
// section, the idle loop, and the orderly end.
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/globals.h"
#include "app/log.h"
#include "app/options.h"
#include "app/settings.h"
#include "app/signals.h"
#include "app/version.h"
#include "comm/commobj.h"
#include "comm/commobj_config.h"
#include "cycle/commobj_thread.h"
#include "ini/iniparser.h"
#include "link/dorvik.h"

namespace {

const char* const kFunc = "main";
const int kMaxSections = 127;

void SleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

void SetRealtimePriority() {
  if (comm_sched_pri == 0) return;
  sched_param sp{};
  sp.sched_priority = comm_sched_pri;
  if (sched_setscheduler(0, SCHED_RR, &sp) == 0)
    log(kFunc, 0, "Setting real-time priority: %d", comm_sched_pri);
  else
    log(kFunc, 0, "Unable to set real-time priority: %d", comm_sched_pri);
}

// What main holds, released at every return (the log file last, after the final line).
struct LogFileGuard {
  ~LogFileGuard() { CloseLogFile(); }
};
struct SignalThreadGuard {
  ~SignalThreadGuard() { StopSignalThread(); }
};
using IniPtr = std::unique_ptr<dictionary, void (*)(dictionary*)>;

// Creates and starts one object per PLC section. Returns the list (may be null). A section that
// cannot start stops the rest; the objects already started then end in order with status 1.
COMMOBJ_T* StartPlcSections(dictionary* ini, int nsec) {
  COMMOBJ_T* list = nullptr;
  bool any_plc = false;
  for (int i = 0; i < nsec; ++i) {
    const char* sec = iniparser_getsecname(ini, i);
    if (!sec || strcmp(sec, "*") == 0) continue;
    any_plc = true;
    PLCCFG_T cfg;
    if (ReadPlcConfig(ini, sec, i, &cfg) != 0) {
      StopOnStartFailure();
      break;
    }
    COMMOBJ_T* obj = CreateCommObject(list, &cfg);
    if (!obj) {
      log(kFunc, 0, "PLC-%d (%s): Unable to allocate memory for new comm object!!!", i, sec);
      StopOnStartFailure();
      break;
    }
    if (!list) list = obj;
    if (RealizeCommObject(obj) != 0) break;
  }
  if (!any_plc) log(kFunc, 0, "Missing configuration section of 'PLC' in config-file!!!");
  return list;
}

// True when the configuration file changed (time stamp or size), ignoring a file that is empty.
bool ConfigChanged(const std::string& path, const struct stat& ref) {
  struct stat now;
  if (stat(path.c_str(), &now) != 0) {
    log(kFunc, 0, "Unable to get information about configfile: %s", path.c_str());
    return false;
  }
  if (now.st_size == 0 || ref.st_size == 0) return false;
  return now.st_mtime != ref.st_mtime || now.st_size != ref.st_size;
}

void IdleLoop(const OPTIONS_T& opt, const struct stat& ref) {
  if (commobj_state.load() == 3) return;
  for (;;) {
    if (opt.terminate && ConfigChanged(opt.config, ref)) {
      log(kFunc, 0, "Configfile was changed. Exiting ...");
      RequestStop();
    }
    // 500 ms rounds, woken at once by a stop request.
    if (StopFd() >= 0) {
      pollfd p{StopFd(), POLLIN, 0};
      if (commobj_state.load() != 3) poll(&p, 1, 500);
    } else {
      for (int t = 0; t < 50 && commobj_state.load() != 3; ++t) SleepMs(10);
    }
    if (commobj_state.load() == 3) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  OPTIONS_T opt;
  ParseOptions(argc, argv, &opt);
  if (opt.help) {
    PrintUsage(KorvaneVersion(), Dorvik_VERSION(), iniparser_version());
    return 1;
  }
  if (opt.use_log && OpenLogFile(opt.logfile.c_str()) != 0) {
    perror("fopen()");
    return 1;
  }
  LogFileGuard log_file;
  if (opt.daemon) {
    if (opt.fork_result < 0) {
      perror("fork()");
      return 1;
    }
    if (opt.fork_result > 0) return 0;
  }

  if (opt.config.empty()) opt.config = "Korvane.ini";
  IniPtr ini(iniparser_load(opt.config.c_str()), iniparser_freedict);
  if (!ini) {
    log(kFunc, 0, "Unable to load configfile: %s", opt.config.c_str());
    return 1;
  }
  struct stat ref {};
  if (opt.terminate && stat(opt.config.c_str(), &ref) != 0)
    log(kFunc, 0, "Unable to get information about configfile: %s", opt.config.c_str());

  if (InstallSignalHandlers() != 0) log(kFunc, 0, "Unable to start the signal thread!");
  SignalThreadGuard signal_thread;

  log(kFunc, 0, "*** START ***");
  log(kFunc, 0, "Korvane %s", KorvaneVersion());
  log(kFunc, 0, "DORVIK %s", Dorvik_VERSION());
  log(kFunc, 0, "INI %s", iniparser_version());

  int nsec = iniparser_getnsec(ini.get());
  if (nsec > kMaxSections) {
    log(kFunc, 0, "Too many sections in config-file: %s - %d [%d]", opt.config.c_str(), nsec,
        kMaxSections);
    return 1;
  }

  commobj_state = 0;
  ReadGlobalSettings(ini.get());
  const char* serial_cfg = iniparser_getstring(ini.get(), "*:serial_device_cfg", nullptr);
  if (serial_cfg) {
    if (Serial_CFG_Init(serial_cfg) != 0)
      log(kFunc, 0, "Syntax error in variable 'SERIAL_DEVICE_CFG' in config-file.");
  }
  if (nsec < 1) {
    log(kFunc, 0, "No sections found in config-file!!!");
    return 1;
  }
  SetRealtimePriority();

  COMMOBJ_T* list = StartPlcSections(ini.get(), nsec);
  int expected = 0;
  commobj_state.compare_exchange_strong(expected, 1);
  ini.reset();

  IdleLoop(opt, ref);

  DestroyAllCommObject(list);
  log(kFunc, 0, "*** END ***");
  return start_failed.load() ? 1 : 0;
}
