// Test support for the file and memory services: a scratch working directory, the log in a file,
// a hand-driven clock, and korvane-plcsim serving a folder with links to it.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/clock.h"
#include "app/globals.h"
#include "files/ffile.h"
#include "files/workers.h"
#include "link/dorvik.h"
#include "support/plcsim.h"
#include "support/process.h"
#include "support/scratch.h"
#include "support/text.h"
#include "unit/link/link_fake.h"

namespace ft {

// A file record that frees its data.
struct Rec : FFILE_T {
  ~Rec() { free(data); }
};

using kt::Hex;

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

// Each test runs in a fresh scratch folder with default settings and the log in a file, in a time
// zone far from UTC (PLC time stamps are UTC whatever the process's zone).
struct InScratch : ::testing::Test {
  kt::ScratchDir dir, logdir;
  std::string old, tz = getenv("TZ") ? getenv("TZ") : "";
  void SetUp() override {
    setenv("TZ", "NZST-12", 1);
    tzset();
    ResetGlobalSettings();
    SetClock(FakeNow, nullptr);
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
    SetClock(nullptr, nullptr);
    ResetGlobalSettings();
    tz.empty() ? unsetenv("TZ") : setenv("TZ", tz.c_str(), 1);
    tzset();
  }
  std::string LogText() const { return kt::ReadFile(logdir / "log.txt"); }
  size_t LogCount(const std::string& s) const { return kt::Count(LogText(), s); }
  bool LogHas(const std::string& s) const { return kt::Has(LogText(), s); }
};

// A PLC holding one file of 100 bytes behind handle 7 (and the same bytes from address 0 of every
// register), one frame per exchange. The next `bad` file read or write replies carry the fault:
// another handle, another offset, one byte more than was missing, no bytes at all, or a failure
// status with wrong bytes; a bad memory read brings 60 bytes.
struct ScriptedPlc {
  enum Fault { HANDLE, OFFSET, LENGTH, EMPTY, STATUS } fault;
  int bad;
  std::string file, written;
};

inline int ScriptedSend(void* endpoint, const unsigned char* request, unsigned char* reply, int,
                        int reply_len, int* error, int) {
  auto* plc = static_cast<ScriptedPlc*>(endpoint);
  const unsigned char* d = request + 7;  // service code, sub-command, parameters
  const uint32_t offset = std::min<uint32_t>(lt::Get32(d + 6), 100);
  uint32_t n = std::min<uint32_t>({lt::Get32(d + 10), 230, 100 - offset});
  lt::Bytes data(4, 0);  // status 0
  if (d[0] == 0x0B) {    // READN of one block
    const std::string got = plc->file.substr(0, plc->bad > 0 && plc->bad-- ? 60 : d[4]);
    data.assign(got.begin(), got.end());
  } else if (d[1] == 2) {  // open: handle, length, zero stamps and attributes
    data = lt::Cat(lt::Cat(data, lt::Le32(7)), lt::Le32(100));
    data.resize(32);
  } else if (d[1] == 4 || d[1] == 5) {
    const bool bad = plc->bad > 0 && plc->bad--;
    if (d[1] == 5 && !bad)
      plc->written.replace(offset, n, reinterpret_cast<const char*>(d + 14), n);
    if (bad && plc->fault == ScriptedPlc::EMPTY) n = 0;
    if (bad && plc->fault == ScriptedPlc::LENGTH) n++;
    for (uint32_t v : {lt::Get32(d + 2) + (bad && plc->fault == ScriptedPlc::HANDLE),
                       offset + (bad && plc->fault == ScriptedPlc::OFFSET), n})
      data = lt::Cat(data, lt::Le32(v));
    if (bad && plc->fault == ScriptedPlc::STATUS) data[0] = 3;
    const std::string got = data[0] ? std::string(n, 'x') : (plc->file + '!').substr(offset, n);
    if (d[1] == 4) data.insert(data.end(), got.begin(), got.end());
  }
  const lt::Bytes f = lt::LongFrame(5, 0, 0x08, data);
  memset(reply, 0, static_cast<size_t>(reply_len));
  memcpy(reply, f.data(), f.size());
  *error = 0;
  return 0;
}

inline void Attach(DORVIK_T* link, ScriptedPlc* plc) {
  Dorvik_SetStation(link, 0, 5, 0);
  Dorvik_ATTACH(link, ScriptedSend, plc, 1);
}

// InScratch with a simulator serving dir/plcfs over UDP (the link) and a pty.
struct WithPlc : InScratch {
  kt::PlcSim sim;
  DORVIK_T link{};
  void SetUp() override {
    InScratch::SetUp();
    mkdir((dir / "plcfs").c_str(), 0755);
    ASSERT_TRUE(
        kt::StartPlcSim(sim, true, true, {"--files", dir / "plcfs", "--regsize", "131072"}));
    ASSERT_TRUE(Open(&link, false));
  }
  void TearDown() override {
    Dorvik_EXIT(&link);
    InScratch::TearDown();
  }
  bool Open(DORVIK_T* l, bool pty) {
    Dorvik_SetStation(l, 0, 5, 300);
    const DORVIK_LINE_T line{115200, 8, 0, 0, 0, -1};
    pty ? Dorvik_SetSerial(l, sim.pty.c_str(), &line) : Dorvik_SetUDP(l, "127.0.0.1", sim.udp_port);
    return Dorvik_INIT(l) == 0;
  }
  std::string Ctl(const std::string& command) { return kt::SimControl(sim, command); }
  long Stat(const char* name) { return kt::SimStat(sim, name); }
};

}  // namespace ft
