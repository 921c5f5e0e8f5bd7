// Change notification to many clients: N clients with DIFF on watch VARS counters (C0000...,
// UDINT from R 8) that the simulator moves on every one of its 20 ms ticks.
//   korvane_bench_fanout PORT CTL SERVER_PID N VARS WINDOW_S DELAY_MS
// The counters move only during the window, so every line that arrives belongs to it. Each
// cycle of the server whose read comes 20 ms or more after the one before sees every counter
// changed (a tick lies between), so every client is owed VARS lines for it. After the window
// the lines still on their way are read until the clients fall quiet, and each client's last
// value of every counter must be the simulator's final one. The server's CPU time over the
// same span gives the lines per CPU second.
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "benchkit.h"

namespace {

using bench::NowNs;

struct Client {
  int fd = -1;
  std::string partial;
  bool ready = false;  // its first GET was answered
  int64_t lines = 0;
  int64_t backwards = 0;  // a counter reported lower than before
  std::vector<uint32_t> last;
};

int vars = 0;

// "DIFF:Cnnnn,value"
void Take(Client& c, const char* s, size_t n) {
  if (n > 6 && memcmp(s, "DIFF:C", 6) == 0) {
    ++c.lines;
    unsigned idx = 0;
    size_t i = 6;
    for (; i < n && s[i] != ','; ++i) idx = idx * 10 + static_cast<unsigned>(s[i] - '0');
    uint32_t v = 0;
    for (++i; i < n && s[i] >= '0' && s[i] <= '9'; ++i)
      v = v * 10 + static_cast<uint32_t>(s[i] - '0');
    if (idx < c.last.size()) {
      if (v < c.last[idx]) ++c.backwards;
      c.last[idx] = v;
    }
  } else if (n > 4 && memcmp(s, "GET:", 4) == 0) {
    c.ready = true;
  }
}

// Reads what is waiting on every ready socket; the time of the last byte seen.
int64_t Pump(int ep, std::vector<Client>& cs, int timeout_ms, int64_t* bytes) {
  epoll_event ev[256];
  int n = epoll_wait(ep, ev, 256, timeout_ms);
  int64_t seen = 0;
  static char buf[1 << 16];
  for (int k = 0; k < n; ++k) {
    Client& c = cs[ev[k].data.u32];
    for (;;) {
      ssize_t got = read(c.fd, buf, sizeof buf);
      if (got <= 0) break;
      seen = NowNs();
      *bytes += got;
      const char* p = buf;
      const char* end = buf + got;
      while (p < end) {
        const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!nl) {
          c.partial.append(p, static_cast<size_t>(end - p));
          break;
        }
        if (!c.partial.empty()) {
          c.partial.append(p, static_cast<size_t>(nl - p));
          Take(c, c.partial.data(), c.partial.size());
          c.partial.clear();
        } else {
          Take(c, p, static_cast<size_t>(nl - p));
        }
        p = nl + 1;
      }
    }
  }
  return seen;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8) {
    fprintf(stderr, "usage: %s PORT CTL SERVER_PID N VARS WINDOW_S DELAY_MS\n", argv[0]);
    return 2;
  }
  const int port = atoi(argv[1]), ctl_port = atoi(argv[2]), pid = atoi(argv[3]);
  const int n = atoi(argv[4]);
  vars = atoi(argv[5]);
  const double window_s = atof(argv[6]);
  const int delay_ms = atoi(argv[7]);

  bench::Control ctl;
  if (!ctl.Open(ctl_port)) return 1;
  std::vector<Client> cs(static_cast<size_t>(n));
  int ep = epoll_create1(0);
  int64_t bytes = 0;
  const int64_t c0 = NowNs();
  for (int i = 0; i < n; ++i) {
    Client& c = cs[static_cast<size_t>(i)];
    c.fd = bench::TcpConnect(port);
    if (c.fd < 0) return 1;
    c.last.assign(static_cast<size_t>(vars), 0);
    bench::SendAll(c.fd, "GET:C0000\n");
    fcntl(c.fd, F_SETFL, O_NONBLOCK);
    epoll_event e = {};
    e.events = EPOLLIN;
    e.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &e);
  }
  // Every client accepted and served once before the counters move.
  int ready = 0;
  while (ready < n && NowNs() - c0 < 180 * int64_t{1000000000}) {
    Pump(ep, cs, 100, &bytes);
    ready = 0;
    for (const Client& c : cs) ready += c.ready;
  }
  if (ready < n) {
    fprintf(stderr, "fanout: only %d of %d clients were served\n", ready, n);
    return 1;
  }
  bench::Put("connect_s", static_cast<double>(NowNs() - c0) / 1e9);
  fflush(stdout);  // bench/run may start a profile's window on this line

  bench::CyclePoller poller;
  if (!poller.Start(ctl_port, 20)) return 1;
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the poller's first bursts
  const double cpu0 = bench::ProcCpuSeconds(pid);
  const int64_t t0 = NowNs();
  bytes = 0;
  for (Client& c : cs) c.lines = 0;
  if (ctl.Cmd("move R 8 UDINT " + std::to_string(vars) + " count 1 1") != "OK") return 1;
  while (NowNs() - t0 < static_cast<int64_t>(window_s * 1e9)) Pump(ep, cs, 10, &bytes);
  if (ctl.Cmd("move clear") != "OK") return 1;
  const int64_t t1 = NowNs();
  int64_t last = t1;
  while (NowNs() - last < 1000 * int64_t{1000000} && NowNs() - t1 < 60 * int64_t{1000000000}) {
    int64_t seen = Pump(ep, cs, 50, &bytes);
    if (seen) last = seen;
  }
  const double cpu = bench::ProcCpuSeconds(pid) - cpu0;
  const std::vector<bench::Burst> bursts = poller.Stop();

  // Cycles owed to every client: reads at least 20 ms after the previous one (a tick lies
  // between) from the first tick on (within 20 ms of t0) up to the first read after the last
  // tick (within 20 ms before t1). Reads in those two 20 ms edges may or may not owe a cycle.
  // The periods tell whether the cycle kept to its delay.
  int64_t owed_cycles = 0, maybe_cycles = 0, cycles = 0, late = 0;
  double worst_ms = 0;
  const int64_t tick = 20 * int64_t{1000000};
  for (size_t i = 1; i < bursts.size(); ++i) {
    const bench::Burst& b = bursts[i];
    const int64_t prev = bursts[i - 1].start_ns;
    if (b.start_ns <= t0 || prev > t1) continue;
    const double gap_ms = static_cast<double>(b.start_ns - prev) / 1e6;
    if (b.start_ns <= t1) {
      ++cycles;
      if (gap_ms > delay_ms + 2) ++late;
      if (gap_ms > worst_ms) worst_ms = gap_ms;
    }
    if (gap_ms < 20) continue;
    if (b.start_ns < t0 + tick || prev > t1 - tick)
      ++maybe_cycles;
    else
      ++owed_cycles;
  }

  std::vector<uint32_t> final_value(static_cast<size_t>(vars));
  for (int i = 0; i < vars; ++i)
    final_value[static_cast<size_t>(i)] = static_cast<uint32_t>(
        strtoul(ctl.Cmd("get R " + std::to_string(8 + 4 * i) + " UDINT").c_str() + 3, nullptr, 10));
  int64_t lines = 0, stale = 0, backwards = 0, short_clients = 0;
  const int64_t owed = owed_cycles * vars;
  for (const Client& c : cs) {
    lines += c.lines;
    backwards += c.backwards;
    if (c.lines < owed) ++short_clients;
    for (int i = 0; i < vars; ++i)
      stale += c.last[static_cast<size_t>(i)] != final_value[static_cast<size_t>(i)];
  }
  const double total_s = static_cast<double>(last - t0) / 1e9;
  bench::Put("window_s", window_s);
  bench::Put("cycles", static_cast<double>(cycles));
  bench::Put("owed_cycles", static_cast<double>(owed_cycles));
  bench::Put("maybe_cycles", static_cast<double>(maybe_cycles));
  bench::Put("late_cycles", static_cast<double>(late));
  bench::Put("worst_period_ms", worst_ms);
  bench::Put("lines", static_cast<double>(lines));
  bench::Put("owed_lines", static_cast<double>(owed * n));
  bench::Put("delivered_ratio",
             owed > 0 ? static_cast<double>(lines) / static_cast<double>(owed * n) : 0);
  bench::Put("short_clients", static_cast<double>(short_clients));
  bench::Put("stale_values", static_cast<double>(stale));
  bench::Put("backwards", static_cast<double>(backwards));
  bench::Put("drain_s", static_cast<double>(last - t1) / 1e9);
  bench::Put("lines_per_s", static_cast<double>(lines) / total_s);
  bench::Put("server_cpu_s", cpu);
  bench::Put("lines_per_cpu_s", cpu > 0 ? static_cast<double>(lines) / cpu : 0);
  bench::Put("mib_per_s", static_cast<double>(bytes) / 1048576.0 / total_s);
  for (Client& c : cs) close(c.fd);
  close(ep);
  return 0;
}
