// Test support for the file and memory services: a running korvane-plcsim with its control
// channel, links to it over UDP and the pty, a scratch working directory, the log in a file,
// and a hand-driven clock.
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

  // Starts the simulator serving `files_dir` (UDP and control, with_pty adds the pty).
  bool Start(const std::string& files_dir, bool with_pty = false,
             const std::vector<std::string>& extra = {});
  ~SimPlc();
  // One control command; the reply line without its line end.
  std::string Ctl(const std::string& cmd);
  // The number of exchanges the simulator has served so far.
  long Requests();
};

// Opens `link` towards the simulator; false on failure.
bool OpenUdp(DORVIK_T* link, int port);
bool OpenPty(DORVIK_T* link, const std::string& path);

// A file record that frees its data.
struct Rec : FFILE_T {
  ~Rec() { free(data); }
};

// Hex text of bytes and back.
std::string Hex(const std::string& bytes);

// The log written to a file for the lifetime of the object.
struct LogCapture {
  kt::ScratchDir dir;
  std::string path = dir / "log.txt";
  LogCapture();
  ~LogCapture();
  std::string Text() const { return kt::ReadFile(path); }
  bool Has(const std::string& s) const { return Text().find(s) != std::string::npos; }
  size_t Count(const std::string& s) const;
};

// The file services' clock, moved by hand.
extern time_t fake_now;
time_t FakeNow();

// Runs each test inside a fresh scratch folder with default settings and a captured log.
struct InScratch : ::testing::Test {
  kt::ScratchDir dir;
  std::string old;
  LogCapture* log = nullptr;
  void SetUp() override;
  void TearDown() override;
};

}  // namespace ft
