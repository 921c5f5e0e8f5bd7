// Small pieces the measuring programs share: clocks, loopback sockets, a line reader,
// percentiles, the simulator's control channel and its request counters, and /proc figures.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace bench {

int64_t NowNs();  // monotonic

// A blocking TCP connection to 127.0.0.1:port with Nagle off; -1 on failure.
int TcpConnect(int port);
bool SendAll(int fd, const char* data, size_t len);
bool SendAll(int fd, const std::string& text);

// Lines of one socket, found in place in a growing buffer.
struct LineReader {
  int fd = -1;
  std::string buf;
  size_t pos = 0;
  // The next line without its end (or the text up to `delim`, which is dropped); false when
  // the peer closed or timeout_ms passed.
  bool Next(std::string* line, int timeout_ms = 10000, char delim = '\n');
  // Exactly n raw bytes (after what the buffer already holds); false as for Next.
  bool Bytes(size_t n, std::string* out, int timeout_ms = 10000);

 private:
  bool Fill(int timeout_ms);
};

// Percentile p (0..100) of the values, nearest rank; the vector gets sorted.
double Percentile(std::vector<double>& v, double p);

// The simulator's control channel: one command, one reply line.
struct Control {
  int fd = -1;
  LineReader in;
  bool Open(int port);
  std::string Cmd(const std::string& line);  // "" when nothing came back
  ~Control();
};

// The simulator's counters from "stats".
struct SimStats {
  int64_t requests = -1, frames = -1, udp = -1;
};
SimStats ParseStats(const std::string& reply);

// Server process figures from /proc: CPU seconds (user + system) and resident KiB.
double ProcCpuSeconds(int pid);
long ProcRssKiB(int pid);

// Prints "key=value" on standard output, the form bench/run reads.
void Put(const char* key, double value);
void Put(const char* key, const std::string& value);

// The read exchanges of the server's cycles as the simulator's counters show them: a burst of
// requests after a quiet spell is one cycle's read. Polls "stats" every millisecond in a thread.
struct Burst {
  int64_t start_ns = 0;  // between the last quiet poll and the first poll that saw requests
  int64_t end_ns = 0;
  int64_t requests = 0;
};
class CyclePoller {
 public:
  bool Start(int control_port, int quiet_ms);
  std::vector<Burst> Stop();  // the bursts seen; the last one may be cut short
  int64_t Requests() const { return total_; }

 private:
  void Run();
  Control ctl_;
  int quiet_ms_ = 5;
  std::vector<Burst> bursts_;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> total_{0};
  std::thread thread_;
};

}  // namespace bench
