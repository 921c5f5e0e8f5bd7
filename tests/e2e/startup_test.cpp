// The server as a user starts it: usage, configuration errors, warnings, threads, stop.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <set>
#include <string>

#include "support/process.h"
#include "support/scratch.h"
#include "support/text.h"

using namespace std::chrono_literals;
using kt::Count;
using kt::Has;

namespace {

bool StartServer(kt::Process& p, const kt::ScratchDir& dir, std::vector<std::string> args = {}) {
  std::vector<std::string> argv{KORVANE_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return kt::Spawn(p, argv, dir.path);
}

std::set<std::string> ThreadNames(pid_t pid) {
  std::set<std::string> names;
  std::string task = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(task.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string comm = kt::ReadFile(task + "/" + e->d_name + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    names.insert(comm);
  }
  closedir(d);
  return names;
}

const char* kQuietGlobals =
    "[*]\ncomm_loop_delay = 50\ncomm_sched_pri = 0\nnet_connect_max = 10\nmem_blksize = 1024\n"
    "mem_use_threads = yes\nffile_blksize = 1024\nffile_timeout = 300\nffile_timeout_wr = 5\n"
    "ffile_maxrecs = 256\nend_line_crlf = no\npf_var_disabled = no\ndiff_var_enabled = yes\n"
    "sync_var_enabled = yes\ndate_time_decimal = no\nlim_of_decimals = no\nnum_of_decimals = 10\n"
    "scient_notation = no\n";

}  // namespace

TEST(Startup, HelpPrintsUsageAndExitsOne) {
  kt::ScratchDir dir;
  for (const char* opt : {"-h", "--help", "-x"}) {
    kt::Process p;
    ASSERT_TRUE(StartServer(p, dir, {opt}));
    EXPECT_EQ(kt::WaitExit(p), 1) << opt;
    EXPECT_EQ(kt::MaskBuildStamps(p.out),
              "PLC communication server Ver 6.2 <stamp>.\n\n"
              "  Dorvik library Ver 3.5 <stamp>.\n  InitParser library Ver 3.2 <stamp>.\n\n"
              "Usage: Korvane [-dtvh] [-c <configfile>] [-l <logfile>]\n\n"
              "  -d, --daemon    fork into background\n"
              "  -t, --terminate terminate if configuration file was changed\n"
              "  -v, --verbose   verbose mode (multiple -v options increase the verbosity)\n"
              "  -c, --config    configuration file\n"
              "  -l, --log       log file\n"
              "  -h, --help      display this help and exit\n\n"
              "Default values:\n\n"
              "  configfile      Korvane.ini\n"
              "  logfile         Korvane.log\n")
        << opt;
  }
}

TEST(Startup, MissingConfigurationFileExitsOne) {
  kt::ScratchDir dir;
  kt::Process p;
  ASSERT_TRUE(StartServer(p, dir, {"-c", "nothere.ini"}));
  EXPECT_EQ(kt::WaitExit(p), 1);
  EXPECT_TRUE(Has(p.err, "iniparser: cannot open nothere.ini")) << p.err;
  EXPECT_TRUE(Has(p.err, "Korvane->main():: Unable to load configfile: nothere.ini")) << p.err;

  // The default name is Korvane.ini in the working directory.
  kt::Process q;
  ASSERT_TRUE(StartServer(q, dir));
  EXPECT_EQ(kt::WaitExit(q), 1);
  EXPECT_TRUE(Has(q.err, "Unable to load configfile: Korvane.ini")) << q.err;
}

TEST(Startup, OnlyGlobalSectionRunsUntilTerminated) {
  kt::ScratchDir dir;
  kt::WriteFile(dir / "Korvane.ini", "[*]\n");
  kt::Process p;
  ASSERT_TRUE(StartServer(p, dir));
  ASSERT_TRUE(kt::WaitFor(p, [&] {
    return Has(p.err, "Missing configuration section of 'PLC' in config-file!!!");
  })) << p.err;
  EXPECT_FALSE(p.ended);
  for (const char* line :
       {"Korvane->main():: *** START ***",
        "Korvane->main():: Korvane Ver 6.2 ",
        "Korvane->main():: DORVIK Ver 3.5 ",
        "Korvane->main():: INI Ver 3.2 ",
        "Unable to found variable 'COMM_LOOP_DELAY' in config-file. Using default value: 100",
        "Unable to found variable 'COMM_SCHED_PRI' in config-file. Using default value: 0",
        "Unable to found variable 'NET_CONNECT_MAX' in config-file. Using default value: 10",
        "Unable to found variable 'MEM_BLKSIZE' in config-file. Using default value: 1024",
        "Unable to found variable 'MEM_USE_THREADS' in config-file. Using default value: Yes",
        "Unable to found variable 'FFILE_BLKSIZE' in config-file. Using default value: 1024",
        "Unable to found variable 'FFILE_TIMEOUT' in config-file. Using default value: 300",
        "Unable to found variable 'FFILE_TIMEOUT_WR' in config-file. Using default value: 5",
        "Unable to found variable 'FFILE_MAXREC' in config-file. Using default value: 256",
        "Unable to found variable 'END_LINE_CRLF' in config-file. Using default value: No",
        "Unable to found variable 'PF_VAR_DISABLED' in config-file. Using default value: No",
        "Unable to found variable 'DIFF_VAR_ENABLED' in config-file. Using default value: Yes",
        "Unable to found variable 'SYNC_VAR_ENABLED' in config-file. Using default value: Yes",
        "Unable to found variable 'DATE_TIME_DECIMAL' in config-file. Using default value: No",
        "Unable to found variable 'LIM_OF_DECIMALS' in config-file. Using default value: No",
        "Unable to found variable 'NUM_OF_DECIMALS' in config-file. Using default value: 10",
        "Unable to found variable 'SCIENT_NOTATION' in config-file. Using default value: No"})
    EXPECT_TRUE(Has(p.err, line)) << line;
  kt::Signal(p, SIGTERM);
  EXPECT_EQ(kt::WaitExit(p), 0);
  EXPECT_TRUE(Has(p.err, "Korvane->SignalHandler():: Received signal 15 (TERM)"));
  EXPECT_TRUE(Has(p.err, "Korvane->SignalHandler():: Going to Exit state!"));
  EXPECT_TRUE(Has(p.err, "Korvane->main():: *** END ***"));
}

TEST(Startup, EmptyConfigurationHasNoSections) {
  kt::ScratchDir dir;
  kt::WriteFile(dir / "Korvane.ini", "# nothing\n");
  kt::Process p;
  ASSERT_TRUE(StartServer(p, dir));
  EXPECT_EQ(kt::WaitExit(p), 1);
  EXPECT_TRUE(Has(p.err, "No sections found in config-file!!!")) << p.err;
}

TEST(Startup, TooManySections) {
  kt::ScratchDir dir;
  std::string ini;
  for (int i = 0; i < 128; ++i) ini += "[S" + std::to_string(i) + "]\n";
  kt::WriteFile(dir / "big.ini", ini);
  kt::Process p;
  ASSERT_TRUE(StartServer(p, dir, {"-c", "big.ini"}));
  EXPECT_EQ(kt::WaitExit(p), 1);
  EXPECT_TRUE(Has(p.err, "Too many sections in config-file: big.ini - 128 [127]")) << p.err;
}

TEST(Startup, PlcSectionWarningsAndNamedThreads) {
  kt::ScratchDir dir;
  kt::WriteFile(dir / "Korvane.ini", std::string(kQuietGlobals) +
                                         "[PLC1]\nipaddr = 127.0.0.1\nserver_port = 0\n"
                                         "[line2]\nipaddr = 127.0.0.1\ndvkaddr = 200\n"
                                         "server_port = 0\n");
  kt::Process p;
  ASSERT_TRUE(StartServer(p, dir));
  ASSERT_TRUE(kt::WaitFor(p, [&] { return Count(p.err, "CommObject running...") == 2; })) << p.err;
  EXPECT_FALSE(Has(p.err, "Unable to found variable 'COMM_LOOP_DELAY'"));
  // The "*" section is index 0, so the PLC sections are 1 and 2.
  for (
      const char* line :
      {"PLC-1 (PLC1): Unable to found variable 'IPADDR_LOCAL' in config-file. Using default "
       "value: 0.0.0.0",
       "PLC-1 (PLC1): Unable to found variable 'DVKADDR' in config-file. Using default value: 1",
       "PLC-1 (PLC1): Unable to found variable 'DVKPORT' in config-file. Using default value: "
       "61682",
       "PLC-1 (PLC1): Unable to found variable 'DVKTOUT' in config-file. Using default value: 1000",
       "PLC-1 (PLC1): Unable to found variable 'DVKTOUT_STEP' in config-file. Using default value: "
       "500",
       "PLC-1 (PLC1): Unable to found variable 'PUBFILE' in config-file. Using default value: "
       "iRovanta.pub",
       "PLC-1 (PLC1): Unable to found variable 'PUBFILE_FIXED' in config-file. Using default "
       "value: FIXED_Rovanta.pub",
       "PLC-1 (PLC1): Unable to found variable 'PUBFILE_CRC' in config-file. Using default value: "
       "Yes",
       "PLC-1 (PLC1): Unable to found variable 'PUBFILE_WRITE' in config-file. Using default "
       "value: No",
       "PLC-2 (line2): Unable to found variable 'DVKPORT'", "PLC-1 (PLC1): CommObject running...",
       "PLC-2 (line2): CommObject running..."})
    EXPECT_TRUE(Has(p.err, line)) << line;
  EXPECT_FALSE(Has(p.err, "PLC-1 (PLC1): Unable to found variable 'IPADDR'"));
  EXPECT_FALSE(Has(p.err, "PLC-2 (line2): Unable to found variable 'DVKADDR'"));
  auto names = ThreadNames(p.pid);
  EXPECT_TRUE(names.count("PLC1")) << names.size();
  EXPECT_TRUE(names.count("line2"));
  kt::Signal(p, SIGINT);
  EXPECT_EQ(kt::WaitExit(p), 0);
  EXPECT_TRUE(Has(p.err, "Received signal 2 (INT)"));
  EXPECT_TRUE(Has(p.err, "PLC-1 (PLC1): CommObject exiting..."));
  EXPECT_TRUE(Has(p.err, "PLC-2 (line2): CommObject exiting..."));
  size_t end = p.err.find("*** END ***");
  EXPECT_GT(end, p.err.find("PLC-2 (line2): CommObject exiting..."));
}

TEST(Startup, MissingIpaddrFallsBackWithWarningAndLongThreadNameIsCut) {
  kt::ScratchDir dir;
  kt::WriteFile(dir / "Korvane.ini",
                std::string(kQuietGlobals) + "[AVeryLongSectionName_Line3]\nserver_port = 0\n");
  kt::Process p;
  ASSERT_TRUE(StartServer(p, dir));
  ASSERT_TRUE(kt::WaitFor(p, [&] { return Has(p.err, "CommObject running..."); })) << p.err;
  EXPECT_TRUE(Has(p.err,
                  "PLC-1 (AVeryLongSectionName_Line3): Unable to found variable 'IPADDR' in "
                  "config-file. Using default value: 0.0.0.0"));
  EXPECT_TRUE(ThreadNames(p.pid).count("AVeryLongSectio"));
  kt::Stop(p);
  EXPECT_EQ(WEXITSTATUS(p.status), 0);
}

TEST(Startup, WatchStopsOnChangedConfigurationButNotOnEmptyFile) {
  kt::ScratchDir dir;
  std::string ini = dir / "Korvane.ini";
  kt::WriteFile(ini, "[*]\ncomm_loop_delay = 10\n");
  kt::Process p;
  ASSERT_TRUE(StartServer(p, dir, {"-t"}));
  ASSERT_TRUE(kt::WaitFor(p, [&] { return Has(p.err, "Missing configuration section"); }));

  // An emptied file (as while an editor rewrites it) is not a change.
  kt::WriteFile(ini, "");
  utimbuf later{time(nullptr) + 5, time(nullptr) + 5};
  utime(ini.c_str(), &later);
  EXPECT_FALSE(kt::WaitFor(
      p, [&] { return p.ended; }, 1500ms));

  kt::WriteFile(ini, "[*]\ncomm_loop_delay = 20\n");
  utimbuf again{time(nullptr) + 10, time(nullptr) + 10};
  utime(ini.c_str(), &again);
  EXPECT_EQ(kt::WaitExit(p, 3000ms), 0);
  EXPECT_TRUE(Has(p.err, "Korvane->main():: Configfile was changed. Exiting ...")) << p.err;
  EXPECT_TRUE(Has(p.err, "*** END ***"));
}

TEST(Startup, SecondTerminationDuringShutdownOnlyLogs) {
  kt::ScratchDir dir;
  // A long cycle keeps the threads busy for up to a second after the first signal.
  kt::WriteFile(dir / "Korvane.ini",
                "[*]\ncomm_loop_delay = 1000\n[PLC1]\nipaddr = 127.0.0.1\nserver_port = 0\n");
  bool seen_twice = false;
  for (int attempt = 0; attempt < 3 && !seen_twice; ++attempt) {
    kt::Process p;
    ASSERT_TRUE(StartServer(p, dir));
    ASSERT_TRUE(kt::WaitFor(p, [&] { return Has(p.err, "CommObject running..."); }));
    kt::Signal(p, SIGTERM);
    ASSERT_TRUE(kt::WaitFor(p, [&] { return Has(p.err, "Going to Exit state!"); }));
    kt::Signal(p, SIGTERM);
    EXPECT_EQ(kt::WaitExit(p), 0);
    // If the process had already finished its shutdown, the second signal came too late; retry.
    seen_twice = Count(p.err, "Going to Exit state!") == 2;
    EXPECT_EQ(Count(p.err, "*** END ***"), 1u);
  }
  EXPECT_TRUE(seen_twice);
}

TEST(Startup, DaemonReturnsAtOnceAndChildLogsToFile) {
  kt::ScratchDir dir;
  kt::WriteFile(dir / "Korvane.ini", "[*]\n");
  kt::Process p;
  ASSERT_TRUE(StartServer(p, dir, {"-d", "-l", "server.log"}));
  EXPECT_EQ(kt::WaitExit(p), 0);
  std::string log = dir / "server.log";
  ASSERT_TRUE(kt::WaitForCond([&] {
    return Has(kt::ReadFile(log), "Missing configuration section of 'PLC' in config-file!!!");
  }));
  EXPECT_TRUE(p.err.empty()) << p.err;
  // Find the child by its working directory and stop it.
  pid_t child = -1;
  DIR* d = opendir("/proc");
  while (dirent* e = readdir(d)) {
    pid_t pid = atoi(e->d_name);
    if (pid <= 0) continue;
    char cwd[4096];
    std::string link = std::string("/proc/") + e->d_name + "/cwd";
    ssize_t n = readlink(link.c_str(), cwd, sizeof cwd - 1);
    if (n <= 0) continue;
    cwd[n] = 0;
    char real[4096];
    if (realpath(dir.path.c_str(), real) && std::string(cwd) == real &&
        Has(kt::ReadFile(std::string("/proc/") + e->d_name + "/cmdline"), "korvane"))
      child = pid;
  }
  closedir(d);
  ASSERT_GT(child, 0);
  kill(child, SIGTERM);
  EXPECT_TRUE(kt::WaitForCond([&] { return Has(kt::ReadFile(log), "*** END ***"); }));
}

TEST(Startup, FatalSignalLogsBackTraceAndExitsOne) {
  kt::ScratchDir dir;
  kt::WriteFile(dir / "Korvane.ini", "[*]\n");
  kt::Process p;
  // The back-trace on a fatal signal is best effort and not async-signal-safe by nature;
  // the thread sanitizer would otherwise stop the child for it.
  const char* old = getenv("TSAN_OPTIONS");
  std::string saved = old ? old : "";
  setenv("TSAN_OPTIONS", (saved + ":report_signal_unsafe=0").c_str(), 1);
  bool started = StartServer(p, dir);
  if (old)
    setenv("TSAN_OPTIONS", saved.c_str(), 1);
  else
    unsetenv("TSAN_OPTIONS");
  ASSERT_TRUE(started);
  ASSERT_TRUE(kt::WaitFor(p, [&] { return Has(p.err, "Missing configuration section"); }));
  kt::Signal(p, SIGSEGV);
  EXPECT_EQ(kt::WaitExit(p), 1);
  EXPECT_TRUE(Has(p.err, "Korvane->SignalHandler():: Received signal SIGSEGV")) << p.err;
  EXPECT_TRUE(Has(p.err, "Korvane->PrintStackTrace():: [01] ")) << p.err;
  EXPECT_TRUE(Has(p.err, "Korvane->PrintStackTrace():: *** END ***")) << p.err;
}

TEST(Startup, LoggedOnlySignalsKeepRunning) {
  kt::ScratchDir dir;
  kt::WriteFile(dir / "Korvane.ini", "[*]\n");
  kt::Process p;
  ASSERT_TRUE(StartServer(p, dir));
  ASSERT_TRUE(kt::WaitFor(p, [&] { return Has(p.err, "Missing configuration section"); }));
  kt::Signal(p, SIGPIPE);
  ASSERT_TRUE(kt::WaitFor(p, [&] { return Has(p.err, "Received signal SIGPIPE"); }));
  kt::Signal(p, SIGALRM);
  ASSERT_TRUE(kt::WaitFor(p, [&] { return Has(p.err, "Received signal SIGALRM"); }));
  EXPECT_FALSE(p.ended);
  EXPECT_FALSE(Has(p.err, "Going to Exit state!"));
  kt::Signal(p, SIGHUP);
  EXPECT_EQ(kt::WaitExit(p), 0);
  EXPECT_TRUE(Has(p.err, "Received signal 1 (HUP)"));
}

TEST(Startup, SerialDeviceTableSyntaxErrorIsLoggedAndIgnored) {
  kt::ScratchDir dir;
  kt::WriteFile(dir / "Korvane.ini", "[*]\nserial_device_cfg = ttyS0 5,ttyS1\n");
  kt::Process p;
  ASSERT_TRUE(StartServer(p, dir));
  ASSERT_TRUE(kt::WaitFor(p, [&] { return Has(p.err, "Missing configuration section"); }));
  EXPECT_TRUE(Has(p.err,
                  "Korvane->main():: Syntax error in variable 'SERIAL_DEVICE_CFG' in "
                  "config-file."));
  kt::Signal(p, SIGQUIT);
  EXPECT_EQ(kt::WaitExit(p), 0);
  EXPECT_TRUE(Has(p.err, "Received signal 3 (QUIT)"));
}
