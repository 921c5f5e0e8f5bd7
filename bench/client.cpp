// Client-side measurements of the server (and of the two floors a client sees), each printing
// "key=value" lines:
//   get PORT NAME SIM N [MODBUS]        N sequential "GET:" requests of one client, in turn with
//                                       the floor's two round trips and the Modbus peer's read
//   diff PORT CTL NAME REG ADDR N MS    a value changed in the simulator at random moments, until
//                                       its "DIFF:" line arrives (MS: the cycle, for the spread)
//   getfile PORT SIZE NAME...           "GETFILE:" of each file, its rate
//   idle PORT N SECONDS                 N connections that say nothing, held for SECONDS
//   cycles CTL SECONDS                  the read exchanges of each cycle and the request rate
//                                       (best one-second window), from the simulator's counters
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "benchkit.h"
#include "link/dorvik.h"

namespace {

using bench::NowNs;

double Us(int64_t ns) {
  return static_cast<double>(ns) / 1000.0;
}

void PutLatency(const char* prefix, std::vector<double>& us) {
  std::string p(prefix);
  double sum = 0;
  for (double v : us) sum += v;
  bench::Put((p + "_p50_us").c_str(), bench::Percentile(us, 50));
  bench::Put((p + "_p99_us").c_str(), bench::Percentile(us, 99));
  bench::Put((p + "_max_us").c_str(), us.empty() ? 0 : us.back());
  bench::Put((p + "_mean_us").c_str(), us.empty() ? 0 : sum / static_cast<double>(us.size()));
  bench::Put((p + "_count").c_str(), static_cast<double>(us.size()));
}

// One timed request/reply; false when it failed.
struct Probe {
  const char* name;
  std::function<bool(int)> round;
  std::vector<double> us;
};

// The probes take turns, round by round, so that a busy machine weighs on all of them alike.
// 200 rounds of warm-up come first.
int Rounds(std::vector<Probe>& probes, int n) {
  for (int i = 0; i < n + 200; ++i)
    for (Probe& p : probes) {
      const int64_t t0 = NowNs();
      if (!p.round(i)) {
        fprintf(stderr, "%s: round %d failed\n", p.name, i);
        return 1;
      }
      if (i >= 200) p.us.push_back(Us(NowNs() - t0));
    }
  for (Probe& p : probes) PutLatency(p.name, p.us);
  return 0;
}

// Echoes whatever comes on one connection; the listening port.
int StartEcho(std::thread* t) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, 1) != 0 ||
      getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return -1;
  *t = std::thread([ls] {
    int c = accept(ls, nullptr, nullptr);
    close(ls);
    char buf[4096];
    ssize_t got;
    while ((got = recv(c, buf, sizeof buf, 0)) > 0)
      bench::SendAll(c, buf, static_cast<size_t>(got));
    close(c);
  });
  return ntohs(a.sin_port);
}

// GET of one variable, beside its floor (a TCP echo round trip plus a UDP read of one block from
// the simulator) and, with a Modbus port, the same pattern against the Modbus peer: a Read
// Holding Registers (function 3) of register 0, count 1, unit 1 (12-byte request with its
// MBAP header, 11-byte reply).
int Get(int port, const std::string& name, int sim_port, int n, int modbus_port) {
  std::thread echo;
  bench::LineReader e, g, m;
  e.fd = bench::TcpConnect(StartEcho(&echo));
  g.fd = bench::TcpConnect(port);
  DORVIK_T link;
  Dorvik_SetStation(&link, 0, 1, 1000);
  Dorvik_SetUDP(&link, "127.0.0.1", sim_port);
  if (e.fd < 0 || g.fd < 0 || Dorvik_INIT(&link) != 0) return 1;
  const std::string req = "GET:" + name + "\n", want = "GET:" + name + ",";
  std::string line, reply;
  std::vector<Probe> probes;
  probes.push_back({"echo", [&](int) { return bench::SendAll(e.fd, req) && e.Next(&line); }, {}});
  probes.push_back({"udp",
                    [&](int) {
                      unsigned char buf[512] = {0, 3, 4, 0, 4};  // R 4, 4 bytes
                      return Dorvik_READN(&link, buf, 1) == 4;
                    },
                    {}});
  probes.push_back({"get",
                    [&](int) {
                      if (!bench::SendAll(g.fd, req)) return false;
                      while (g.Next(&line))
                        if (line.compare(0, want.size(), want) == 0) return true;
                      return false;
                    },
                    {}});
  if (modbus_port > 0) {
    m.fd = bench::TcpConnect(modbus_port);
    if (m.fd < 0) return 1;
    probes.push_back({"modbus",
                      [&](int i) {
                        const unsigned char hi = static_cast<unsigned char>(i >> 8);
                        const unsigned char lo = static_cast<unsigned char>(i);
                        const unsigned char q[12] = {hi, lo, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1};
                        return bench::SendAll(m.fd, reinterpret_cast<const char*>(q), sizeof q) &&
                               m.Bytes(11, &reply) && reply[7] == 3 &&
                               reply[0] == static_cast<char>(hi) &&
                               reply[1] == static_cast<char>(lo);
                      },
                      {}});
  }
  const int rc = Rounds(probes, n);
  if (rc == 0) {
    bench::Put("floor_p50_us",
               bench::Percentile(probes[0].us, 50) + bench::Percentile(probes[1].us, 50));
    bench::Put("floor_p99_us",
               bench::Percentile(probes[0].us, 99) + bench::Percentile(probes[1].us, 99));
  }
  close(e.fd);
  echo.join();
  close(g.fd);
  if (m.fd >= 0) close(m.fd);
  Dorvik_EXIT(&link);
  return rc;
}

int Diff(int port, int ctl_port, const std::string& name, const std::string& reg,
         const std::string& addr, int n, int cycle_ms) {
  bench::LineReader in;
  in.fd = bench::TcpConnect(port);
  bench::Control ctl;
  if (in.fd < 0 || !ctl.Open(ctl_port)) return 1;
  std::string line;
  // Served once: the client is accepted and its copy of the public file is in place.
  if (!bench::SendAll(in.fd, "GET:" + name + "\n") || !in.Next(&line)) return 1;
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> pause_us(0, 3 * cycle_ms * 1000);
  std::vector<double> us;
  int lost = 0;
  for (int i = 0; i < n; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(pause_us(rng)));
    const std::string value = std::to_string(100000 + i);
    const std::string want = "DIFF:" + name + "," + value;
    const int64_t t0 = NowNs();
    if (ctl.Cmd("set " + reg + " " + addr + " UDINT " + value) != "OK") return 1;
    bool seen = false;
    while (!seen && in.Next(&line, 2000)) seen = line == want;
    if (seen)
      us.push_back(Us(NowNs() - t0));
    else
      ++lost;
  }
  PutLatency("diff", us);
  bench::Put("diff_lost", lost);
  return 0;
}

int GetFile(int port, long size, int argc, char** names) {
  bench::LineReader in;
  in.fd = bench::TcpConnect(port);
  if (in.fd < 0) return 1;
  std::vector<double> mib_s;
  std::string head, data;
  for (int f = 0; f < argc; ++f) {
    const std::string name = names[f];
    const int64_t t0 = NowNs();
    if (!bench::SendAll(in.fd, "GETFILE:" + name + "\n")) return 1;
    long got = 0;
    for (;;) {
      if (!in.Next(&head, 60000, '=')) return 1;
      // Notices (a new client makes the server check its public file) may come first.
      const size_t nl = head.rfind('\n');
      if (nl != std::string::npos) head.erase(0, nl + 1);
      const size_t open = head.rfind('[');
      if (head.compare(0, 8 + name.size(), "GETFILE:" + name) != 0 || open == std::string::npos) {
        fprintf(stderr, "getfile: unexpected '%s'\n", head.c_str());
        return 1;
      }
      const long n = atol(head.c_str() + open + 1);
      if (!in.Bytes(static_cast<size_t>(n) + 1, &data, 60000)) return 1;
      if (n == 0) break;
      got += n;
    }
    if (got != size) {
      fprintf(stderr, "getfile: %s gave %ld bytes of %ld\n", name.c_str(), got, size);
      return 1;
    }
    mib_s.push_back(static_cast<double>(size) / 1048576.0 /
                    (static_cast<double>(NowNs() - t0) / 1e9));
  }
  bench::Put("getfile_mib_s", bench::Percentile(mib_s, 50));
  bench::Put("getfile_files", static_cast<double>(mib_s.size()));
  return 0;
}

int Idle(int port, int n, int seconds) {
  std::vector<int> fds;
  for (int i = 0; i < n; ++i) {
    int fd = bench::TcpConnect(port);
    if (fd < 0) return 1;
    fds.push_back(fd);
  }
  printf("connected=%d\n", n);
  fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));  // or until killed
  for (int fd : fds) close(fd);
  return 0;
}

int Cycles(int ctl_port, int seconds) {
  bench::CyclePoller poller;
  if (!poller.Start(ctl_port, 20)) return 1;
  // The request rate of the best one-second window: back-to-back cycles show their work.
  double rps = 0;
  for (int w = 0; w < static_cast<int>(seconds); ++w) {
    const int64_t t0 = NowNs(), r0 = poller.Requests();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    rps = std::max(rps, static_cast<double>(poller.Requests() - r0) /
                            (static_cast<double>(NowNs() - t0) / 1e9));
  }
  std::vector<bench::Burst> bursts = poller.Stop();
  bench::Put("requests_per_s", rps);
  // What the server's shortest idle wait, a 1 ms epoll_wait, really takes here.
  const int ep = epoll_create1(0);
  epoll_event ev[4];
  const int64_t s0 = NowNs();
  for (int i = 0; i < 200; ++i) epoll_wait(ep, ev, 4, 1);
  bench::Put("idle_step_ms", static_cast<double>(NowNs() - s0) / 200 / 1e6);
  close(ep);
  // The first and last bursts may be cut by the window; back-to-back cycles show no bursts.
  if (bursts.size() < 4) return 0;
  std::vector<double> per, period, span;
  for (size_t i = 1; i + 1 < bursts.size(); ++i) {
    per.push_back(static_cast<double>(bursts[i].requests));
    period.push_back(static_cast<double>(bursts[i].start_ns - bursts[i - 1].start_ns) / 1e6);
    span.push_back(static_cast<double>(bursts[i].end_ns - bursts[i].start_ns) / 1e6);
  }
  bench::Put("cycles", static_cast<double>(per.size()));
  bench::Put("exchanges_min", bench::Percentile(per, 0));
  bench::Put("exchanges_p50", bench::Percentile(per, 50));
  bench::Put("exchanges_max", bench::Percentile(per, 100));
  bench::Put("period_p50_ms", bench::Percentile(period, 50));
  bench::Put("read_span_p50_ms", bench::Percentile(span, 50));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  int rc = 2;
  if (mode == "get" && (argc == 6 || argc == 7))
    rc = Get(atoi(argv[2]), argv[3], atoi(argv[4]), atoi(argv[5]), argc == 7 ? atoi(argv[6]) : 0);
  if (mode == "diff" && argc == 9)
    rc =
        Diff(atoi(argv[2]), atoi(argv[3]), argv[4], argv[5], argv[6], atoi(argv[7]), atoi(argv[8]));
  if (mode == "getfile" && argc >= 5)
    rc = GetFile(atoi(argv[2]), atol(argv[3]), argc - 4, argv + 4);
  if (mode == "idle" && argc == 5) rc = Idle(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
  if (mode == "cycles" && argc == 4) rc = Cycles(atoi(argv[2]), atoi(argv[3]));
  if (rc == 2) fprintf(stderr, "usage: see the head of bench/client.cpp\n");
  return rc;
}
