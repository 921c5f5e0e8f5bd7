// The simulator and the server as one end-to-end fixture.
#include "support/rig.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "plc/plcdef.h"
#include "support/net.h"
#include "support/text.h"

namespace kt {

const char* const kTestPubFile =
    "; test project\n"
    "TEMP      R 0 16    REAL\n"
    "LEVEL     R 0 20    INT\n"
    "COUNTER   R 0 24    UDINT\n"
    "MESSAGE   R 0 28    STRING[16]\n"
    "TOTAL     R 0 48    LREAL\n"
    "PUMP_ON   X 0 0 .3  BOOL\n"
    "VALVE     Y 0 2 .1  BOOL\n"
    "SPEED     S 0 4     WORD\n";

const char* const kFixedPubFile = "__PF_CRC R 0 0 UDINT\n";

std::string SignPubFile(const std::string& body) {
  char line[32];
  snprintf(line, sizeof line, ";* Crc=\"%04X\"\n", crcPLC(body.data(), body.size()));
  return body + line;
}

bool StartProjectSim(PlcSim& sim, const std::string& folder, const std::string& values,
                     const std::string& pubfile, bool pty) {
  mkdir(folder.c_str(), 0755);
  mkdir((folder + "/files").c_str(), 0755);
  return WriteFile(folder + "/values.txt", "R 0 UDINT 12345\n" + values) &&
         WriteFile(folder + "/files/iRovanta.pub", pubfile) &&
         StartPlcSim(sim, true, pty, {"--project", folder});
}

bool Rig::StartSim(const std::string& values, const std::string& pubfile, bool pty) {
  return StartProjectSim(sim, dir / "plc", values, pubfile, pty);
}

bool Rig::StartShmSim(const std::string& values, const std::string& pubfile) {
  // A socket and port no other test run uses at the same time.
  shm_socket = 1 + getpid() % 30000;
  shm_port = 1 + static_cast<int>((reinterpret_cast<uintptr_t>(this) >> 4) % 30000u);
  const std::string project = dir / "plc";
  mkdir(project.c_str(), 0755);
  return WriteFile(project + "/values.txt", "R 0 UDINT 12345\n" + values) &&
         WriteFile(dir / "iRovanta.pub", pubfile) &&
         StartPlcSim(sim, false, false,
                     {"--project", project, "--shm",
                      std::to_string(shm_socket) + ":" + std::to_string(shm_port)});
}

bool Rig::StartServer(const std::string& globals, const std::string& plc_keys, bool serial) {
  std::string link = serial
                         ? "serial_device = " + sim.pty + "\nserial_speed = 115200\n"
                         : "ipaddr = 127.0.0.1\ndvkport = " + std::to_string(sim.udp_port) + "\n";
  if (shm_socket >= 0)
    link = std::string("shm_name = ") + KORVANE_ZELMOD +
           "\nshm_socket = " + std::to_string(shm_socket) +
           "\nshm_port = " + std::to_string(shm_port) + "\n";
  std::string ini = "[*]\ncomm_loop_delay = 20\n" + globals + "\n[PLC1]\nserver_port = 0\n" +
                    "ipaddr_local = 127.0.0.1\ndvktout = 300\ndvktout_step = 100\n" + link +
                    plc_keys;
  if (!WriteFile(dir / "Korvane.ini", ini)) return false;
  if (!WriteFile(dir / "FIXED_Rovanta.pub", SignPubFile(kFixedPubFile))) return false;
  if (!Spawn(srv, {KORVANE_BIN, "-v", "-v", "-c", "Korvane.ini"}, dir.path)) return false;
  const std::string mark = "(PLC1): Listening on port ";  // plc_keys may add further PLCs
  if (!WaitFor(srv, [&] { return srv.err.find(mark) != std::string::npos; })) return false;
  port = atoi(srv.err.c_str() + srv.err.find(mark) + mark.size());
  return WaitLog("CommObject running...");
}

bool Rig::WaitLog(const std::string& what, size_t n, std::chrono::milliseconds timeout) {
  return WaitFor(
      srv, [&] { return Count(srv.err, what) >= n; }, timeout);
}

bool Rig::Line(int fd, std::string& pending, std::string& line, std::chrono::milliseconds t) {
  auto deadline = std::chrono::steady_clock::now() + t;
  while (std::chrono::steady_clock::now() < deadline) {
    Pump(srv);
    if (RecvLine(fd, pending, line, std::chrono::milliseconds(100))) return true;
  }
  return false;
}

int Rig::Connect() {
  size_t before = Count(srv.err, "Accepting connection from");
  int fd = TcpConnect(port);
  if (fd >= 0 && !WaitLog("Accepting connection from", before + 1)) return -1;
  return fd;
}

Rig::~Rig() {
  Stop(srv);
  // A sanitizer build of the server reports through its log stream.
  EXPECT_EQ(srv.err.find("Sanitizer"), std::string::npos) << srv.err;
  EXPECT_EQ(srv.err.find("runtime error:"), std::string::npos) << srv.err;
}

RigClient::RigClient(Rig& r) : rig(r), fd(r.Connect()) {}

RigClient::~RigClient() {
  if (fd >= 0) close(fd);
}

void RigClient::Send(const std::string& text) {
  ASSERT_TRUE(SendAll(fd, text));
}

std::string RigClient::Raw(int n) {
  std::string text, line;
  while (n-- > 0) text += rig.Line(fd, pending, line) ? line : "<none>";
  return text;
}

std::string RigClient::Line() {
  std::string line = Raw();
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

void RigClient::Talk(const std::string& text, const std::vector<std::string>& expected) {
  if (!text.empty()) Send(text);
  for (const std::string& e : expected) EXPECT_EQ(Line(), e) << "after " << text;
  EXPECT_EQ(pending + RecvFor(fd, std::chrono::milliseconds(150)), "") << "after " << text;
}

}  // namespace kt
