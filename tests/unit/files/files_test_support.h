// Test support for the file and memory services: korvane-plcsim with its control channel,
// links to it, a scratch working directory, the captured log and a hand-driven clock.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/ffile.h"
#include "link/dorvik.h"
#include "support/process.h"
#include "support/scratch.h"

namespace ft {

struct SimPlc {
  kt::Process proc;
  int udp_port = 0;
  std::string pty_path;
  int ctl_fd = -1;
  std::string ctl_pending;
  // Serves `files_dir` over UDP (and the pty when asked) with a control channel.
  bool Start(const std::string& files_dir, bool with_pty = false,
             const std::vector<std::string>& extra = {});
  ~SimPlc();
  std::string Ctl(const std::string& cmd);  // the reply line without its line end
  long Stat(const char* key);               // a counter of "stats", e.g. "requests="
  long Requests() { return Stat("requests="); }
};

bool OpenUdp(DORVIK_T* link, int port);
bool OpenPty(DORVIK_T* link, const std::string& path);

// A file record that frees its data.
struct Rec : FFILE_T {
  ~Rec() { free(data); }
};

std::string Hex(const std::string& bytes);
std::string Pattern(size_t n, int seed = 3);  // n bytes that differ from their neighbours

extern time_t fake_now;  // the file services' clock

// Each test runs in a fresh scratch folder with default settings and the log in a file.
struct InScratch : ::testing::Test {
  kt::ScratchDir dir, logdir;
  std::string old;
  void SetUp() override;
  void TearDown() override;
  std::string LogText() const { return kt::ReadFile(logdir / "log.txt"); }
  size_t LogCount(const std::string& s) const;
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
