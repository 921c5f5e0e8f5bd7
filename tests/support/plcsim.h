// Starting korvane-plcsim for a test and talking to its control channel.
#pragma once
#include <string>
#include <vector>

#include "support/process.h"

namespace kt {

struct PlcSim {
  Process proc;
  int udp_port = -1;  // set when started with --udp
  std::string pty;    // set when started with --pty
  int control_port = -1;
  int control_fd = -1;
  std::string pending;  // control bytes read past the last reply
  ~PlcSim();
};

// Starts the simulator with UDP (and a pty when asked) and its control channel on 127.0.0.1,
// with `extra` arguments (e.g. {"--project", dir}); waits for the endpoints it prints.
bool StartPlcSim(PlcSim& sim, bool udp, bool pty, const std::vector<std::string>& extra = {});

// Sends one control command and returns its reply line without the line end ("" on failure).
std::string SimControl(PlcSim& sim, const std::string& command);

// A counter from the "stats" reply, e.g. SimStat(sim, "requests"); -1 when absent.
long SimStat(PlcSim& sim, const std::string& name);

}  // namespace kt
