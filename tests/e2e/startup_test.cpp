// The server as a user starts it: usage, failed starts, a full run with signals, the daemon.
// Under the address sanitizer every failed start is also checked for leaks (the leak checker
// changes only a status of 0, so its report is looked for).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/net.h"
#include "support/process.h"
#include "support/rig.h"
#include "support/scratch.h"
#include "support/text.h"

using namespace std::chrono_literals;
using kt::Count;
using kt::Has;

namespace {

bool StartServer(kt::Process& p, const kt::ScratchDir& dir, std::vector<std::string> args = {}) {
  args.insert(args.begin(), KORVANE_BIN);
  kt::WriteFile(dir / "FIXED_Rovanta.pub", kt::SignPubFile(kt::kFixedPubFile));
  return kt::Spawn(p, args, dir.path);
}

void SetMtime(const std::string& path, int ahead_s) {
  utimbuf t{time(nullptr) + ahead_s, time(nullptr) + ahead_s};
  utime(path.c_str(), &t);
}

}  // namespace

// Every start that cannot go on ends with status 1: help and unknown options (the usage on
// standard output), the fatal early exits, and the orderly stop after a section could not start
// (which still ends with "*** END ***").
TEST(Startup, FailedStartsExitOne) {
  const std::string usage =
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
      "  logfile         Korvane.log\n";
  int held = -1, busy_fd = kt::BoundSocket(SOCK_STREAM, &held);  // a port someone listens on
  ASSERT_EQ(listen(busy_fd, 1), 0);
  const std::string busy = std::to_string(held);
  int free_port = -1;
  close(kt::BoundSocket(SOCK_STREAM, &free_port));
  const std::string port = "server_port = " + std::to_string(free_port) + "\n";
  const std::string dup = "[*]\n[A]\n" + port + "[B]\n" + port;
  std::string sections128;
  for (int i = 0; i < 128; ++i) sections128 += "[S" + std::to_string(i) + "]\n";
  const std::string plc = "[*]\n[P]\n";  // the PLC section's key follows
  struct Case {
    std::string ini;  // empty: no file
    std::vector<std::string> args;
    std::string expect;  // on standard error
    bool orderly;        // stopped in order: "*** END ***" logged
  } cases[] = {
      {"", {"--help"}, "", 0},
      {"", {"-x"}, "", 0},
      {"", {"-c", "nothere.ini"}, "Korvane->main():: Unable to load configfile: nothere.ini", 0},
      {"", {}, "Unable to load configfile: Korvane.ini", 0},
      {"[*]\n", {"-l", "no/such/dir/k.log"}, "fopen()", 0},
      {"# nothing\n", {}, "Korvane->main():: No sections found in config-file!!!", 0},
      {sections128, {}, "Too many sections in config-file: Korvane.ini - 128 [127]", 0},
      {plc + "server_port = " + busy, {}, "Unable to bind socket: ", 1},
      {dup, {}, "Unable to initialize network communication!!!", 1},
      {plc + "server_port = 70000",
       {},
       "PLC-1 (P): Wrong value '70000' of variable 'SERVER_PORT' in config-file!!!",
       1},
      {plc + "server_port = -2", {}, "Wrong value '-2' of variable 'SERVER_PORT'", 1},
      {plc + "server_port = abc", {}, "Wrong value 'abc' of variable 'SERVER_PORT'", 1},
      {plc + "ipaddr_local = garbage", {}, "Wrong value 'garbage' of variable 'IPADDR_LOCAL'", 1},
      {plc + "ipaddr = plc.local", {}, "Wrong value 'plc.local' of variable 'IPADDR'", 1},
      {plc + "pubfile_fixed = none.pub", {}, "Unable to get fixed public file 'none.pub'!!!", 1},
      {plc + "pubfile_fixed = nocrc.pub",
       {},
       "Unable to find variable '__PF_CRC' in fixed public file!!!",
       1},
  };
  for (const Case& c : cases) {
    kt::ScratchDir dir;
    if (!c.ini.empty()) kt::WriteFile(dir / "Korvane.ini", c.ini);
    kt::WriteFile(dir / "nocrc.pub", kt::SignPubFile("CRC R 0 0 UDINT\n"));
    kt::Process p;
    ASSERT_TRUE(StartServer(p, dir, c.args));
    EXPECT_EQ(kt::WaitExit(p), 1) << c.expect << "\n" << p.err;
    EXPECT_TRUE(Has(p.err, c.expect)) << p.err;
    EXPECT_EQ(Has(p.err, "Korvane->main():: *** END ***"), c.orderly) << c.expect;
    EXPECT_FALSE(Has(p.err, "LeakSanitizer")) << p.err;  // a leak keeps the status 1
    if (c.expect.empty()) {
      EXPECT_EQ(kt::MaskShape(p.out, kt::kBuildStamp, "<stamp>"), usage) << c.args[0];
    }
  }
  close(busy_fd);
}

// 127 sections (the "*" one counting) all start; the log goes to the -l file only; the logged
// signals keep it running; TERM stops every thread in order, a second TERM only logs.
TEST(Startup, FullRunWithSignalsLogsToFileAndStopsInOrder) {
  kt::ScratchDir dir;
  std::string ini = "[*]\nserial_device_cfg = ttyS0 5,ttyS1\n";
  for (int i = 1; i < 126; ++i) ini += "[P" + std::to_string(i) + "]\nserver_port = 0\n";
  ini += "[AVeryLongSectionName_126]\nserver_port = 0\n";
  kt::WriteFile(dir / "Korvane.ini", ini);
  const std::string log = dir / "server.log";
  std::string text;
  auto Logged = [&](const std::string& what, size_t n = 1) {
    return kt::WaitForCond([&] { return Count(text = kt::ReadFile(log), what) >= n; }, 30s);
  };
  kt::Process p;
  ASSERT_TRUE(StartServer(p, dir, {"-l", "server.log"}));
  ASSERT_TRUE(Logged("CommObject running...", 126)) << text;
  for (const char* line :
       {"main():: *** START ***\n", "main():: Korvane Ver 6.2 ", "main():: DORVIK Ver 3.5 ",
        "main():: INI Ver 3.2 ",
        "main():: Syntax error in variable 'SERIAL_DEVICE_CFG' in config-file.\n"})
    EXPECT_TRUE(Has(text, line)) << line;
  EXPECT_TRUE(Has(text, "PLC-126 (AVeryLongSectionName_126): CommObject running..."));
  std::string threads = "\n";  // one name per line; Linux cuts them to 15 characters
  for (auto& t : std::filesystem::directory_iterator("/proc/" + std::to_string(p.pid) + "/task"))
    threads += kt::ReadFile(t.path() / "comm");
  EXPECT_TRUE(Has(threads, "\nP1\n") && Has(threads, "\nAVeryLongSectio\n")) << threads;
  // Every missing key is logged with its default: those of "*", then those of one PLC section.
  const char* missing[] = {
      "COMM_LOOP_DELAY 100 COMM_SCHED_PRI 0 NET_CONNECT_MAX 10 MEM_BLKSIZE 1024 MEM_USE_THREADS "
      "Yes FFILE_BLKSIZE 1024 FFILE_TIMEOUT 300 FFILE_TIMEOUT_WR 5 FFILE_MAXREC 256 END_LINE_CRLF "
      "No PF_VAR_DISABLED No DIFF_VAR_ENABLED Yes SYNC_VAR_ENABLED Yes DATE_TIME_DECIMAL No "
      "LIM_OF_DECIMALS No NUM_OF_DECIMALS 10 SCIENT_NOTATION No",
      "IPADDR 0.0.0.0 IPADDR_LOCAL 0.0.0.0 DVKADDR 2 DVKPORT 61682 DVKTOUT 1000 DVKTOUT_STEP 500 "
      "PUBFILE iRovanta.pub PUBFILE_FIXED FIXED_Rovanta.pub PUBFILE_CRC Yes PUBFILE_WRITE No"};
  for (int plc = 0; plc < 2; ++plc) {
    std::istringstream in(missing[plc]);
    for (std::string key, def; in >> key >> def;) {
      EXPECT_TRUE(Has(text, std::string("Korvane->main():: ") + (plc ? "PLC-2 (P2): " : "") +
                                "Unable to found variable '" + key +
                                "' in config-file. Using default value: " + def + "\n"))
          << key;
    }
  }
  EXPECT_FALSE(Has(text, "'SERVER_PORT'"));

  for (int sig : {SIGPIPE, SIGALRM, SIGIO, SIGTTIN, SIGTTOU}) kt::Signal(p, sig);
  for (const char* name : {"PIPE", "ALRM", "IO", "TTIN", "TTOU"})
    EXPECT_TRUE(Logged(std::string("Korvane->SignalHandler():: Received signal SIG") + name + "\n"))
        << name;
  kt::Pump(p);
  EXPECT_FALSE(p.ended);
  EXPECT_FALSE(Has(text, "Going to Exit state!"));

  kt::Signal(p, SIGTERM);
  ASSERT_TRUE(Logged("Going to Exit state!"));
  kt::Signal(p, SIGTERM);  // the threads take up to a second to notice the first one
  EXPECT_EQ(kt::WaitExit(p, 30s), 0);
  text = kt::ReadFile(log);
  EXPECT_EQ(Count(text, "Korvane->SignalHandler():: Received signal 15 (TERM)"), 2u);
  EXPECT_EQ(Count(text, "CommObject exiting..."), 126u);
  // A section without a PLC address: its link is tried every cycle, logged only twice.
  EXPECT_EQ(Count(text, "(P1): Unable to initialize DORVIK address '0.0.0.0 on port 61682'!!!"),
            2u);
  EXPECT_EQ(Count(text, "Korvane->main():: *** END ***"), 1u);
  EXPECT_GT(text.find("*** END ***"), text.rfind("CommObject exiting..."));
  EXPECT_EQ(p.err, "");  // nothing on standard error with -l
}

// The other stop signals end in order with 0; signals the server does not act on keep their
// default action (USR2 ends the process, WINCH is ignored); a fatal one logs a back-trace, exits 1.
TEST(Startup, EachSignalAsListed) {
  // The back-trace is best effort and not async-signal-safe by nature; the thread sanitizer
  // would otherwise stop the child for it.
  const char* old = getenv("TSAN_OPTIONS");
  setenv("TSAN_OPTIONS", (std::string(old ? old : "") + ":report_signal_unsafe=0").c_str(), 1);
  struct {
    int sig, status;  // status: exit code, or minus the signal that ended it
    const char* expect;
  } cases[] = {{SIGINT, 0, "Korvane->SignalHandler():: Received signal 2 (INT)"},
               {SIGHUP, 0, "Korvane->SignalHandler():: Received signal 1 (HUP)"},
               {SIGQUIT, 0, "Korvane->SignalHandler():: Received signal 3 (QUIT)"},
               {SIGUSR2, -SIGUSR2, ""},
               {SIGSEGV, 1, "Korvane->SignalHandler():: Received signal SIGSEGV"}};
  for (const auto& c : cases) {
    kt::ScratchDir dir;
    kt::WriteFile(dir / "Korvane.ini", "[*]\n");
    kt::Process p;
    ASSERT_TRUE(StartServer(p, dir));
    ASSERT_TRUE(kt::WaitFor(p, [&] {
      return Has(p.err, "Missing configuration section of 'PLC' in config-file!!!");
    })) << p.err;
    kt::Signal(p, SIGWINCH);
    kt::Signal(p, c.sig);
    kt::WaitExit(p);
    ASSERT_TRUE(p.ended) << c.sig;
    EXPECT_EQ(WIFEXITED(p.status) ? WEXITSTATUS(p.status) : -WTERMSIG(p.status), c.status) << c.sig;
    EXPECT_TRUE(Has(p.err, c.expect)) << p.err;
    EXPECT_EQ(Has(p.err, "Received signal"), c.status >= 0) << p.err;
    EXPECT_EQ(Has(p.err, "Korvane->main():: *** END ***"), c.status == 0) << p.err;
    EXPECT_EQ(Has(p.err, "Korvane->PrintStackTrace():: [01] "), c.status == 1) << p.err;
  }
}

// -d: the parent returns 0 at once and the child logs to the -l file; -t: the child ends when
// the configuration file changes, but not when it is only emptied (as an editor may do).
TEST(Startup, DaemonLogsToFileAndWatchEndsItOnChange) {
  kt::ScratchDir dir;
  const std::string ini = dir / "Korvane.ini", log = dir / "server.log";
  kt::WriteFile(ini, "[*]\n");
  // Ends the child in any case before the folder goes: it is not ours to reap or kill.
  struct EndChild {
    std::string ini, log;
    ~EndChild() {
      kt::WriteFile(ini, "[*]\ncomm_loop_delay = 20\n");
      SetMtime(ini, 20);
      kt::WaitForCond([&] { return Has(kt::ReadFile(log), "*** END ***"); });
    }
  } end{ini, log};
  kt::Process p;
  ASSERT_TRUE(StartServer(p, dir, {"-d", "-t", "-l", "server.log"}));
  EXPECT_EQ(kt::WaitExit(p), 0);
  EXPECT_EQ(p.err, "");
  ASSERT_TRUE(kt::WaitForCond([&] {
    return Has(kt::ReadFile(log), "Missing configuration section of 'PLC' in config-file!!!");
  }));

  kt::WriteFile(ini, "");
  SetMtime(ini, 5);
  EXPECT_FALSE(kt::WaitForCond([&] { return Has(kt::ReadFile(log), "*** END ***"); }, 1500ms));

  kt::WriteFile(ini, "[*]\ncomm_loop_delay = 10\n");
  SetMtime(ini, 10);
  EXPECT_TRUE(kt::WaitForCond([&] { return Has(kt::ReadFile(log), "*** END ***"); }, 3000ms));
  EXPECT_TRUE(Has(kt::ReadFile(log), "Korvane->main():: Configfile was changed. Exiting ..."));
}
