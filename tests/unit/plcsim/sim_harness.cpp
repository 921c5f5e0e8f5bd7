// Test harness for the simulator: process, sockets and hand-built frames.
#include "sim_harness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/net.h"

namespace simtest {

Bytes ShortFrame(uint8_t da, uint8_t sa, uint8_t fc) {
  return {0x10, da, sa, fc, static_cast<uint8_t>(da + sa + fc), 0x16};
}

Bytes LongFrame(uint8_t da, uint8_t sa, uint8_t fc, const Bytes& data) {
  uint8_t le = static_cast<uint8_t>(data.size() + 3);
  Bytes f = {0x68, le, le, 0x68, da, sa, fc};
  uint8_t sum = static_cast<uint8_t>(da + sa + fc);
  for (uint8_t b : data) {
    f.push_back(b);
    sum = static_cast<uint8_t>(sum + b);
  }
  f.push_back(sum);
  f.push_back(0x16);
  return f;
}

Bytes Cat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

uint32_t GetLe32(const Bytes& b, size_t at) {
  if (at + 4 > b.size()) return 0xFFFFFFFF;
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

Bytes LongData(const Bytes& b, size_t at) {
  if (at + 9 > b.size() || b[at] != 0x68) return {};
  size_t le = b[at + 1];
  if (le < 3 || at + le + 6 > b.size()) return {};
  return Bytes(b.begin() + at + 7, b.begin() + at + le + 4);
}

static int PortOf(const std::string& endpoint) {
  return atoi(endpoint.substr(endpoint.rfind(':') + 1).c_str());
}

bool Sim::Start(const std::vector<std::string>& extra, bool with_pty) {
  std::vector<std::string> argv = {KORVANE_PLCSIM_BIN, "--udp", "127.0.0.1:0", "--control",
                                   "127.0.0.1:0"};
  if (with_pty) argv.push_back("--pty");
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!kt::Spawn(proc, argv)) return false;
  std::string rest;
  if (!kt::WaitLine(proc, "udp ", rest)) return false;
  udp_port = PortOf(rest);
  if (with_pty && !kt::WaitLine(proc, "pty ", pty_path)) return false;
  if (!kt::WaitLine(proc, "control ", rest)) return false;
  control_port = PortOf(rest);
  udp_fd = socket(AF_INET, SOCK_DGRAM, 0);
  ctl_fd = kt::TcpConnect(control_port);
  return udp_fd >= 0 && ctl_fd >= 0;
}

Sim::~Sim() {
  if (udp_fd >= 0) close(udp_fd);
  if (ctl_fd >= 0) close(ctl_fd);
  // Every run must end cleanly on SIGTERM; under the sanitizers this also catches leaks and
  // memory errors of the simulator.
  if (proc.pid > 0 && !proc.ended) {
    kt::Signal(proc, SIGTERM);
    EXPECT_EQ(kt::WaitExit(proc), 0) << proc.err;
  }
  kt::Stop(proc);
}

void Sim::SendDatagram(const Bytes& frames, uint16_t s) {
  Bytes d = {static_cast<uint8_t>(s),
             static_cast<uint8_t>(s >> 8),
             0x02,
             0x00,
             static_cast<uint8_t>(frames.size() >> 8),
             static_cast<uint8_t>(frames.size())};
  d.insert(d.end(), frames.begin(), frames.end());
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(udp_port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(udp_fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

bool Sim::RecvDatagram(Bytes& dgram, int timeout_ms) {
  pollfd p{udp_fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return false;
  dgram.resize(4096);
  ssize_t n = recv(udp_fd, dgram.data(), dgram.size(), 0);
  if (n < 0) return false;
  dgram.resize(static_cast<size_t>(n));
  return true;
}

Bytes Sim::Exchange(const Bytes& frames) {
  uint16_t s = ++seq;
  SendDatagram(frames, s);
  Bytes d;
  if (!RecvDatagram(d)) {
    ADD_FAILURE() << "no reply";
    return {};
  }
  EXPECT_GE(d.size(), 6u);
  if (d.size() < 6) return {};
  EXPECT_EQ(d[0] | (d[1] << 8), s);
  EXPECT_EQ(static_cast<size_t>(d[4] << 8 | d[5]), d.size() - 6);
  return Bytes(d.begin() + 6, d.end());
}

std::string Sim::Ctl(const std::string& cmd) {
  std::string line;
  if (!kt::SendAll(ctl_fd, cmd + "\n") || !kt::RecvLine(ctl_fd, ctl_pending, line)) return "<none>";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

}  // namespace simtest
