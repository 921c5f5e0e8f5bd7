// Test support for the file and memory services.
#include "files_test_support.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/globals.h"
#include "files/ffile.h"
#include "files/workers.h"
#include "support/net.h"

namespace ft {

time_t fake_now = 1700000000;
static time_t FakeNow() {
  return fake_now;
}

static int PortOf(const std::string& endpoint) {
  return atoi(endpoint.substr(endpoint.rfind(':') + 1).c_str());
}

bool SimPlc::Start(const std::string& files_dir, bool with_pty,
                   const std::vector<std::string>& extra) {
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

SimPlc::~SimPlc() {
  if (ctl_fd >= 0) close(ctl_fd);
  if (proc.pid > 0 && !proc.ended) {
    kt::Signal(proc, SIGTERM);
    EXPECT_EQ(kt::WaitExit(proc), 0) << proc.err;
  }
  kt::Stop(proc);
}

std::string SimPlc::Ctl(const std::string& cmd) {
  std::string line;
  if (!kt::SendAll(ctl_fd, cmd + "\n") || !kt::RecvLine(ctl_fd, ctl_pending, line)) return "<none>";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

long SimPlc::Stat(const char* key) {
  std::string s = Ctl("stats");
  size_t at = s.find(key);
  return at == std::string::npos ? -1 : atol(s.c_str() + at + strlen(key));
}

static bool OpenLink(DORVIK_T* link) {
  link->timeout = 300;
  link->own_addr = 5;
  link->plc_addr = 0;
  return Dorvik_INIT(link) == 0;
}

bool OpenUdp(DORVIK_T* link, int port) {
  link->iface = DORVIK_IFACE_UDP;
  link->port = port;
  snprintf(link->ip, sizeof link->ip, "127.0.0.1");
  return OpenLink(link);
}

bool OpenPty(DORVIK_T* link, const std::string& path) {
  link->iface = DORVIK_IFACE_SERIAL;
  snprintf(link->device, sizeof link->device, "%s", path.c_str());
  link->ser.speed = 115200;
  link->ser.data_bits = 8;
  link->ser.parity = 0;
  link->ser.flow = 0;
  link->ser.rts_gpio = -1;
  return OpenLink(link);
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += std::string{digits[c >> 4], digits[c & 15]};
  return out;
}

std::string Pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13 + seed) & 0xFF);
  return s;
}

size_t InScratch::LogCount(const std::string& s) const {
  std::string t = LogText();
  size_t n = 0;
  for (size_t at = t.find(s); at != std::string::npos; at = t.find(s, at + s.size())) ++n;
  return n;
}

void InScratch::SetUp() {
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

void InScratch::TearDown() {
  DestroyWorkerAttrs();  // joins the workers a test left behind
  logon = 0;
  if (logout) fclose(logout);
  logout = nullptr;
  EXPECT_EQ(chdir(old.c_str()), 0);
  SetFileClock(nullptr);
  ResetGlobalSettings();
}

}  // namespace ft
