// Test support for the file and memory services: korvane-plcsim with its control channel,
// links to it, a scratch working directory, the log in a file and a hand-driven clock.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/globals.h"
#include "files/ffile.h"
#include "files/workers.h"
#include "link/dorvik.h"
#include "support/net.h"
#include "support/process.h"
#include "support/scratch.h"

namespace ft {

inline int PortOf(const std::string& endpoint) {
  return atoi(endpoint.substr(endpoint.rfind(':') + 1).c_str());
}

struct SimPlc {
  kt::Process proc;
  int udp_port = 0;
  std::string pty_path;
  int ctl_fd = -1;
  std::string ctl_pending;

  // Serves `files_dir` over UDP (and the pty when asked) with a control channel.
  bool Start(const std::string& files_dir, bool with_pty = false,
             const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {KORVANE_PLCSIM_BIN, "--udp",   "127.0.0.1:0", "--control",
                                     "127.0.0.1:0",      "--files", files_dir};
    mkdir(files_dir.c_str(), 0755);
    if (with_pty) argv.push_back("--pty");
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string rest;
    if (!kt::Spawn(proc, argv) || !kt::WaitLine(proc, "udp ", rest)) return false;
    udp_port = PortOf(rest);
    if (with_pty && !kt::WaitLine(proc, "pty ", pty_path)) return false;
    if (!kt::WaitLine(proc, "control ", rest)) return false;
    ctl_fd = kt::TcpConnect(PortOf(rest));
    return ctl_fd >= 0;
  }
  ~SimPlc() {
    if (ctl_fd >= 0) close(ctl_fd);
    if (proc.pid > 0 && !proc.ended) {
      kt::Signal(proc, SIGTERM);
      EXPECT_EQ(kt::WaitExit(proc), 0) << proc.err;
    }
    kt::Stop(proc);
  }
  // One control command; the reply line without its line end.
  std::string Ctl(const std::string& cmd) {
    std::string line;
    if (!kt::SendAll(ctl_fd, cmd + "\n") || !kt::RecvLine(ctl_fd, ctl_pending, line))
      return "<none>";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
  }
  // A counter of "stats", e.g. "frames=".
  long Stat(const char* key) {
    std::string s = Ctl("stats");
    size_t at = s.find(key);
    return at == std::string::npos ? -1 : atol(s.c_str() + at + strlen(key));
  }
  long Requests() { return Stat("requests="); }
};

inline bool OpenUdp(DORVIK_T* link, int port) {
  Dorvik_SetStation(link, 0, 5, 300);
  Dorvik_SetUDP(link, "127.0.0.1", port);
  return Dorvik_INIT(link) == 0;
}

inline bool OpenPty(DORVIK_T* link, const std::string& path) {
  Dorvik_SetStation(link, 0, 5, 300);
  DORVIK_LINE_T line{115200, 8, 0, 0, 0, -1};
  Dorvik_SetSerial(link, path.c_str(), &line);
  return Dorvik_INIT(link) == 0;
}

// A file record that frees its data.
struct Rec : FFILE_T {
  ~Rec() { free(data); }
};

inline std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += std::string{digits[c >> 4], digits[c & 15]};
  return out;
}

// n bytes that differ from their neighbours.
inline std::string Pattern(size_t n, int seed = 3) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13 + seed) & 0xFF);
  return s;
}

inline time_t fake_now = 1700000000;  // the file services' clock
inline time_t FakeNow() {
  return fake_now;
}

// Each test runs in a fresh scratch folder with default settings and the log in a file.
struct InScratch : ::testing::Test {
  kt::ScratchDir dir, logdir;
  std::string old;
  void SetUp() override {
    ResetGlobalSettings();
    SetFileClock(FakeNow);
    fake_now = 1700000000;
    const char* msg = nullptr;
    ASSERT_EQ(PrepareWorkerAttrs(&msg), 0);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    old = cwd;
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    logout = fopen((logdir / "log.txt").c_str(), "w");
    logon = 1;
  }
  void TearDown() override {
    DestroyWorkerAttrs();  // joins the workers a test left behind
    logon = 0;
    if (logout) fclose(logout);
    logout = nullptr;
    EXPECT_EQ(chdir(old.c_str()), 0);
    SetFileClock(nullptr);
    ResetGlobalSettings();
  }
  std::string LogText() const { return kt::ReadFile(logdir / "log.txt"); }
  size_t LogCount(const std::string& s) const {
    std::string t = LogText();
    size_t n = 0;
    for (size_t at = t.find(s); at != std::string::npos; at = t.find(s, at + s.size())) ++n;
    return n;
  }
  bool LogHas(const std::string& s) const { return LogCount(s) > 0; }
};

// InScratch with a simulator serving dir/plcfs and a UDP link to it.
struct WithPlc : InScratch {
  SimPlc sim;
  DORVIK_T link{};
  void SetUp() override {
    InScratch::SetUp();
    ASSERT_TRUE(sim.Start(dir / "plcfs"));
    ASSERT_TRUE(OpenUdp(&link, sim.udp_port));
  }
  void TearDown() override {
    Dorvik_EXIT(&link);
    InScratch::TearDown();
  }
};

}  // namespace ft
