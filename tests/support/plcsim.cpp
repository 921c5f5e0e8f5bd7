// The simulator as a test fixture.
#include "support/plcsim.h"

#include <unistd.h>

#include <cstdlib>

#include "support/net.h"

namespace kt {

PlcSim::~PlcSim() {
  if (control_fd >= 0) close(control_fd);
  Stop(proc);
}

static int PortAfterColon(const std::string& addr) {
  size_t colon = addr.rfind(':');
  return colon == std::string::npos ? -1 : atoi(addr.c_str() + colon + 1);
}

// Waits for a line on the child's standard output that starts with `prefix`; the rest of it.
static bool WaitLine(Process& p, const std::string& prefix, std::string& rest) {
  return WaitFor(
      p,
      [&] {
        const size_t at = ("\n" + p.out).find("\n" + prefix);
        const size_t end = at == std::string::npos ? at : p.out.find('\n', at);
        if (end != std::string::npos)
          rest = p.out.substr(at + prefix.size(), end - at - prefix.size());
        return end != std::string::npos;
      },
      std::chrono::milliseconds(10000));
}

bool StartPlcSim(PlcSim& sim, bool udp, bool pty, const std::vector<std::string>& extra) {
  std::vector<std::string> argv{KORVANE_PLCSIM_BIN, "--control", "127.0.0.1:0"};
  if (udp) argv.insert(argv.end(), {"--udp", "127.0.0.1:0"});
  if (pty) argv.push_back("--pty");
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!Spawn(sim.proc, argv)) return false;
  std::string rest;
  if (udp && !WaitLine(sim.proc, "udp ", rest)) return false;
  if (udp) sim.udp_port = PortAfterColon(rest);
  if (pty && !WaitLine(sim.proc, "pty ", sim.pty)) return false;
  for (const std::string& a : extra)
    if (a == "--shm" && !WaitLine(sim.proc, "shm ", rest)) return false;
  if (!WaitLine(sim.proc, "control ", rest)) return false;
  sim.control_port = PortAfterColon(rest);
  sim.control_fd = TcpConnect(sim.control_port);
  return sim.control_fd >= 0;
}

std::string SimControl(PlcSim& sim, const std::string& command) {
  if (!SendAll(sim.control_fd, command + "\n")) return "";
  std::string line;
  if (!RecvLine(sim.control_fd, sim.pending, line)) return "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

long SimStat(PlcSim& sim, const std::string& name) {
  std::string reply = SimControl(sim, "stats");
  size_t pos = reply.find(" " + name + "=");
  if (pos == std::string::npos) return -1;
  return atol(reply.c_str() + pos + name.size() + 2);
}

}  // namespace kt
