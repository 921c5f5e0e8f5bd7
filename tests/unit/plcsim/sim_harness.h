// A running korvane-plcsim for tests: its endpoints, a UDP socket towards it, a control
// connection, and hand-built DORVIK frames (deliberately not the server's link library).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "support/process.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kPlc = 0;     // the simulator's station address
constexpr uint8_t kMaster = 5;  // ours

Bytes ShortFrame(uint8_t da, uint8_t sa, uint8_t fc);
Bytes LongFrame(uint8_t da, uint8_t sa, uint8_t fc, const Bytes& data);
inline Bytes Request(uint8_t fc, const Bytes& data) {
  return LongFrame(kPlc, kMaster, fc, data);
}
Bytes Cat(const std::vector<Bytes>& parts);
Bytes Le32(uint32_t v);
uint32_t GetLe32(const Bytes& b, size_t at);
// The data bytes of the long frame at `at` in `b` (empty when there is none).
Bytes LongData(const Bytes& b, size_t at = 0);

struct Sim {
  kt::Process proc;
  int udp_port = 0, control_port = 0;
  std::string pty_path;
  int udp_fd = -1, ctl_fd = -1;
  std::string ctl_pending;
  uint16_t seq = 100;

  // Starts the simulator with UDP, control and the extra arguments; false on failure.
  bool Start(const std::vector<std::string>& extra = {}, bool with_pty = false);
  ~Sim();

  // Sends the frames in one datagram with sequence number `s` (no wait).
  void SendDatagram(const Bytes& frames, uint16_t s);
  // Receives one datagram within the time-out; false when none arrives.
  bool RecvDatagram(Bytes& dgram, int timeout_ms = 5000);
  // One exchange: the frames of the reply datagram, after checking the echoed sequence number.
  Bytes Exchange(const Bytes& frames);
  // One control command; the reply line without its line end.
  std::string Ctl(const std::string& cmd);
};

}  // namespace simtest
