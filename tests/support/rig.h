// The shared fixture of the end-to-end tests: the simulator with a small project and the server
// against it, in one scratch folder.
#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "support/plcsim.h"
#include "support/process.h"
#include "support/scratch.h"

namespace kt {

// A public file text with its checksum line appended.
std::string SignPubFile(const std::string& body);

// The test project's public file (signed) and the fixed public file of every server.
extern const char* const kTestPubFile;
extern const char* const kFixedPubFile;

// A log text about the rig's PLC: "PLC-1 (PLC1): " and the text.
inline std::string Plc1(const std::string& text) {
  return "PLC-1 (PLC1): " + text;
}

// Starts `sim` on UDP (and a pty when asked) with a project in `folder`: the registers set by
// `values` ("REG ADDR TYPE VALUE" lines; the project CRC, R 0, is 12345 unless they set it) and
// `pubfile` among its files.
bool StartProjectSim(PlcSim& sim, const std::string& folder, const std::string& values,
                     const std::string& pubfile, bool pty = false);

struct Rig {
  ScratchDir dir;  // the server's working folder; the simulator's project is in dir/plc
  PlcSim sim;
  Process srv;
  int port = -1;  // the server's client port

  // Starts the simulator with the project in dir/plc (StartProjectSim).
  bool StartSim(const std::string& values = "",
                const std::string& pubfile = SignPubFile(kTestPubFile), bool pty = false);
  // The same, with the PLC served through the shared-memory module instead (a socket and port of
  // their own); the server then finds the public file in its working folder.
  bool StartShmSim(const std::string& values = "",
                   const std::string& pubfile = SignPubFile(kTestPubFile));
  int shm_socket = -1, shm_port = -1;
  // Starts the server with [*] `globals` and one section [PLC1] reaching the simulator (over
  // the pty when `serial`), plus `plc_keys`; waits until its cycle runs.
  bool StartServer(const std::string& globals = "", const std::string& plc_keys = "",
                   bool serial = false);
  // Waits until `what` occurs n times in the server's log.
  bool WaitLog(const std::string& what, size_t n = 1,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // One line from a client socket, keeping the server's log drained meanwhile.
  bool Line(int fd, std::string& pending, std::string& line,
            std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // A client connection, counted as accepted by the server.
  int Connect();
  ~Rig();
};

// A client of the rig's server.
struct RigClient {
  Rig& rig;
  int fd;
  std::string pending;  // bytes received past the last line taken

  explicit RigClient(Rig& r);
  ~RigClient();
  void Send(const std::string& text);
  std::string Raw(int n = 1);  // the next n lines with their ends; "<none>" for one not in time
  std::string Line();          // the next line without its end
  // Sends the text and expects exactly these lines back, in order, then nothing for a while.
  void Talk(const std::string& text, const std::vector<std::string>& expected);
};

}  // namespace kt
