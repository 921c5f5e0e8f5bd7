// Many clients on one PLC: up to 1024 clients connect, 1000 variables change together at a
// steady pace, and every client must see every change as one DIFF line, in order; writes made
// meanwhile must reach the PLC or be answered with an error. At the end the server is stopped
// with SIGTERM while the clients are busy, file and memory reads run and some clients have
// stopped reading.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "loadkit.h"

namespace {

constexpr int kVars = 1000;  // V0000.. UDINT from R 1000, moved together
constexpr int kVarBase = 1000;
constexpr int kWrites = 100;  // W000.. UDINT from R 8000, set by the first clients
constexpr int kWriteBase = 8000;
constexpr int kBigFile = 2 << 20;  // bytes of the file read while the server is stopped

struct Params {
  int clients;
  int burst;         // clients that connect at once, first
  int window;        // then: connections not yet answered at a time
  int connect_s;     // bound of the connect phase
  int loop_delay;    // comm_loop_delay; the fast phase changes every variable once per cycle
  int fast_changes;  // cycles the variables move in the fast phase
  int slow_period;   // the slow phase: one change per period
  int slow_changes;
};

struct Client {
  int fd = -1;
  std::string buf;
  bool answered = false;  // its first GET came back: the server serves it
  bool closed = false;
  bool reading = true;
  std::vector<uint32_t> last = std::vector<uint32_t>(kVars, 0);
  std::vector<uint32_t> count = std::vector<uint32_t>(kVars, 0);
  long gaps = 0;                    // a value that skipped one or more changes
  long backwards = 0;               // a value not above the one before: repeated or out of order
  std::vector<std::string> others;  // lines other than DIFF and GET: ERROR, WARNING
  std::string get_line;             // the last "GET:" reply
  int64_t get_sent = -1;            // when the pending GET was sent
  int64_t get_rtt = -1;             // its round trip
};

// All clients, read through one epoll set.
struct Fleet {
  int ep = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Client> clients;
  explicit Fleet(int n) : clients(static_cast<size_t>(n)) {}
  ~Fleet() {
    for (Client& c : clients)
      if (c.fd >= 0) close(c.fd);
    close(ep);
  }

  void Add(int i, int fd) {
    clients[i].fd = fd;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
  }

  void StopReading(int i) {
    clients[i].reading = false;
    epoll_ctl(ep, EPOLL_CTL_DEL, clients[i].fd, nullptr);
  }

  void Handle(Client& c, const char* line, size_t n) {
    if (n > 6 && memcmp(line, "DIFF:V", 6) == 0) {
      int var = atoi(line + 6);
      const char* comma = static_cast<const char*>(memchr(line, ',', n));
      if (var < 0 || var >= kVars || !comma) {
        c.others.push_back(std::string(line, n));
        return;
      }
      uint32_t v = static_cast<uint32_t>(strtoul(comma + 1, nullptr, 10));
      if (v <= c.last[var])
        c.backwards++;
      else if (v != c.last[var] + 1)
        c.gaps++;
      c.last[var] = v;
      c.count[var]++;
    } else if (n > 5 && memcmp(line, "DIFF:", 5) == 0) {
      // The W variables the writers set.
    } else if (n > 4 && memcmp(line, "GET:", 4) == 0) {
      c.get_line.assign(line, n);
      c.answered = true;
      if (c.get_sent >= 0) c.get_rtt = kl::NowMs() - c.get_sent;
      c.get_sent = -1;
    } else {
      c.others.push_back(std::string(line, n));
    }
  }

  void ReadSome(Client& c) {
    char buf[65536];
    for (;;) {
      ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        c.closed = true;
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        return;
      }
      if (n < 0) return;
      c.buf.append(buf, static_cast<size_t>(n));
      if (static_cast<size_t>(n) < sizeof buf) break;
    }
    size_t start = 0;
    for (size_t nl; (nl = c.buf.find('\n', start)) != std::string::npos; start = nl + 1) {
      size_t end = nl > start && c.buf[nl - 1] == '\r' ? nl - 1 : nl;
      Handle(c, c.buf.data() + start, end - start);
    }
    c.buf.erase(0, start);
  }

  // Reads whatever is ready within timeout_ms; the number of sockets that had something.
  int Pump(int timeout_ms) {
    epoll_event evs[256];
    int n = epoll_wait(ep, evs, 256, timeout_ms);
    for (int i = 0; i < n; ++i) ReadSome(clients[evs[i].data.u32]);
    return n < 0 ? 0 : n;
  }

  // Pumps until `cond` holds or the time-out passes.
  bool PumpUntil(const std::function<bool()>& cond, int timeout_ms) {
    const int64_t deadline = kl::NowMs() + timeout_ms;
    while (!cond()) {
      int left = static_cast<int>(deadline - kl::NowMs());
      if (left <= 0) return false;
      Pump(std::min(left, 50));
    }
    return true;
  }

  // Pumps until nothing arrived for quiet_ms (bounded by timeout_ms).
  void PumpQuiet(int quiet_ms, int timeout_ms) {
    const int64_t deadline = kl::NowMs() + timeout_ms;
    int64_t last = kl::NowMs();
    while (kl::NowMs() < deadline && kl::NowMs() - last < quiet_ms)
      if (Pump(20) > 0) last = kl::NowMs();
  }
};

std::string VarName(const char* prefix, int i, int width) {
  return kl::Fmt("%s%0*d", prefix, width, i);
}

bool WriteProject(const std::string& dir) {
  std::string pub = "; many variables moving together\n";
  for (int i = 0; i < kVars; ++i)
    pub += kl::Fmt("%s R 0 %d UDINT\n", VarName("V", i, 4).c_str(), kVarBase + 4 * i);
  for (int i = 0; i < kWrites; ++i)
    pub += kl::Fmt("%s R 0 %d UDINT\n", VarName("W", i, 3).c_str(), kWriteBase + 4 * i);
  std::string big(kBigFile, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 3);
  return kl::MakeDir(dir) && kl::MakeDir(dir + "/files") &&
         kl::WriteFile(dir + "/values.txt", "R 0 UDINT 12345\n") &&
         kl::WriteFile(dir + "/files/iRovanta.pub", kl::SignPubFile(pub)) &&
         kl::WriteFile(dir + "/files/big.bin", big);
}

// Opens `n` more connections, each asking for a first value; they count as connected once it
// came back.
void Open(Fleet& fleet, int port, int& opened, int n) {
  for (int k = 0; k < n && opened < static_cast<int>(fleet.clients.size()); ++k) {
    int fd = kl::ConnectNonBlocking(port);
    if (fd < 0) return;
    fleet.Add(opened, fd);
    opened++;
  }
}

int Answered(const Fleet& fleet) {
  int n = 0;
  for (const Client& c : fleet.clients) n += c.answered ? 1 : 0;
  return n;
}

// Asks every client that has no value yet for its first one once its connection is up.
void AskFirst(Fleet& fleet, std::vector<bool>& asked) {
  for (size_t i = 0; i < fleet.clients.size(); ++i) {
    Client& c = fleet.clients[i];
    if (c.fd < 0 || asked[i]) continue;
    if (kl::SendAll(c.fd, "GET:W000\n", 0)) asked[i] = true;
  }
}

struct Sampler {
  pid_t pid;
  long rss_max_kb = 0;
  int fds_max = 0;
  void Sample() {
    kl::ProcFigures f;
    if (!kl::ReadProc(pid, f)) return;
    rss_max_kb = std::max(rss_max_kb, f.rss_kb);
    fds_max = std::max(fds_max, f.fds);
  }
};

std::vector<uint32_t> SimVars(kl::Sim& sim) {
  const std::string bytes = kl::SimBytes(sim, "R", kVarBase, 4 * kVars);
  std::vector<uint32_t> v(kVars, 0);
  for (int i = 0; i < kVars && bytes.size() == 4u * kVars; ++i)
    memcpy(&v[i], bytes.data() + 4 * i, 4);
  return v;
}

// One phase of moving variables: every variable +1 per period for `changes` periods, the first
// clients setting their own variable meanwhile, then counting what each client was told.
struct Phase {
  std::string what;
  int period_ms;
  int changes;
  uint32_t round;  // makes the values written in this phase differ from earlier ones
  // At the pace of the cycle a late cycle reads two changes at once, which no client can be
  // told: then every client must have been told the same changes as every other.
  bool same_as_others;
};

void RunPhase(kl::Report& report, Fleet& fleet, kl::Sim& sim, pid_t pid, kl::LogWatch& log,
              const Phase& ph) {
  // Output the server could not hand to our sockets at once: then our reading was too slow.
  const size_t slow_w = log.Watch("Slow client");
  const size_t drop_w = log.Watch("exceeds its buffer");
  const std::vector<uint32_t> start = SimVars(sim);
  for (Client& c : fleet.clients) {
    c.last = start;
    std::fill(c.count.begin(), c.count.end(), 0);
    c.gaps = c.backwards = 0;
    c.others.clear();
  }
  const int clients = Answered(fleet);
  const int writers = std::min(kWrites, clients);
  std::vector<uint32_t> written(kWrites, 0);
  Sampler sampler{pid};
  kl::ProcFigures before;
  kl::ReadProc(pid, before);
  long rtt_max = 0, rtt_sum = 0, rtt_n = 0;
  int sets = 0;
  const int64_t t0 = kl::NowMs();
  if (kl::SimCmd(sim, kl::Fmt("move R %d UDINT %d count 1 %d", kVarBase, kVars, ph.period_ms)) !=
      "OK")
    report.Note("the simulator refused the move");
  const int64_t end = t0 + static_cast<int64_t>(ph.changes) * ph.period_ms;
  int64_t next_sample = t0, next_write = t0 + (end - t0) / 4;
  while (kl::NowMs() < end) {
    fleet.Pump(20);
    const int64_t now = kl::NowMs();
    if (now >= next_sample) {
      sampler.Sample();
      next_sample = now + 250;
      // One GET round trip of the first client, amid its DIFF lines.
      Client& c0 = fleet.clients[0];
      if (c0.get_rtt >= 0) {
        rtt_max = std::max<long>(rtt_max, c0.get_rtt);
        rtt_sum += c0.get_rtt;
        rtt_n++;
        c0.get_rtt = -1;
      }
      if (c0.get_sent < 0 && kl::SendAll(c0.fd, "GET:W099\n")) c0.get_sent = now;
    }
    if (now >= next_write && sets < 3) {
      // The writers each set their own variable; the last value set must stay.
      for (int i = 0; i < writers; ++i) {
        written[i] =
            100000u * ph.round + 1000u * static_cast<uint32_t>(sets) + static_cast<uint32_t>(i);
        kl::SendAll(fleet.clients[i].fd,
                    kl::Fmt("SET:%s,%u\n", VarName("W", i, 3).c_str(), written[i]));
      }
      sets++;
      next_write = now + (end - t0) / 4;
    }
  }
  kl::SimCmd(sim, "move clear");
  const int64_t moved_ms = kl::NowMs() - t0;
  kl::ProcFigures after_move;
  kl::ReadProc(pid, after_move);
  const std::vector<uint32_t> final = SimVars(sim);
  auto converged = [&](const Client& c) { return c.last == final; };
  const int64_t settle0 = kl::NowMs();
  fleet.PumpUntil(
      [&] {
        for (const Client& c : fleet.clients)
          if (c.answered && !c.closed && !converged(c)) return false;
        return true;
      },
      30000);
  const int64_t settle_ms = kl::NowMs() - settle0;
  fleet.PumpQuiet(300, 3000);

  uint64_t changed = 0;
  for (int i = 0; i < kVars; ++i) changed += final[i] - start[i];
  int complete = 0, closed = 0, same = 0, alike = 0;
  uint64_t lines = 0;
  long gaps = 0, backwards = 0;
  const Client* first = nullptr;
  for (const Client& c : fleet.clients) {
    if (!c.answered) continue;
    if (!first) first = &c;
    if (c.count == first->count && !c.closed && c.backwards == 0 && converged(c)) alike++;
    closed += c.closed ? 1 : 0;
    uint64_t got = 0;
    for (uint32_t n : c.count) got += n;
    lines += got;
    gaps += c.gaps;
    backwards += c.backwards;
    same += converged(c) ? 1 : 0;
    if (converged(c) && got == changed && c.backwards == 0) complete++;
  }
  const double cpu = after_move.cpu_s - before.cpu_s;
  const std::string resources =
      kl::Fmt("CPU %.0f%% of one core, peak RSS %.1f MiB, %d fds", cpu * 100000.0 / moved_ms,
              sampler.rss_max_kb / 1024.0, sampler.fds_max);
  report.Row(
      ph.what,
      kl::Fmt("%llu changes (%d x %d vars, one per %d ms) to %d clients",
              static_cast<unsigned long long>(changed), ph.changes, kVars, ph.period_ms, clients),
      kl::Fmt("%d/%d clients got every change; %llu of %llu DIFF lines (%.1f%%, %.0f "
              "lines/s), %ld skipped values, %ld out of order, %d closed; slow-client lines %zu, "
              "clients dropped %zu",
              complete, clients, static_cast<unsigned long long>(lines),
              static_cast<unsigned long long>(changed * clients),
              changed ? 100.0 * lines / (static_cast<double>(changed) * clients) : 0.0,
              lines * 1000.0 / (moved_ms + settle_ms), gaps, backwards, closed, log.Count(slow_w),
              log.Count(drop_w)),
      resources,
      ph.same_as_others
          ? kl::Fmt("every client told the same changes, in order (%d/%d)", alike, clients)
          : std::string("every client sees every change once, in order"),
      clients > 0 && (ph.same_as_others ? alike : complete) == clients);
  report.Row(ph.what + ": last values", kl::Fmt("%d clients, %d vars", clients, kVars),
             kl::Fmt("%d/%d clients hold the PLC's final value of every variable %.1f s after "
                     "the moves stopped",
                     same, clients, settle_ms / 1000.0),
             "", "all, within 30 s", clients > 0 && same == clients);
  report.Info(ph.what + ": GET round trip amid the DIFF lines", kl::Fmt("%ld GETs", rtt_n),
              kl::Fmt("mean %.0f ms, max %ld ms",
                      rtt_n ? static_cast<double>(rtt_sum) / rtt_n : 0.0, rtt_max),
              "");

  // The last value each writer set is in the PLC, or the writer got an error line.
  int landed = 0, reported = 0, lost = 0;
  std::string lost_example;
  for (int i = 0; i < writers; ++i) {
    uint32_t v = kl::SimUdint(sim, "R", kWriteBase + 4 * i);
    bool error = false;
    for (const std::string& e : fleet.clients[i].others) error |= e.compare(0, 6, "ERROR:") == 0;
    if (v == written[i]) {
      landed++;
    } else if (error) {
      reported++;
    } else {
      lost++;
      if (lost_example.empty())
        lost_example = kl::Fmt(" (W%03d: set %u, PLC has %u)", i, written[i], v);
    }
  }
  report.Row(ph.what + ": SETs meanwhile", kl::Fmt("%d clients x %d SETs", writers, sets),
             kl::Fmt("%d in the PLC, %d answered with an error, %d lost%s", landed, reported, lost,
                     lost_example.c_str()),
             "", "none lost without an error line", lost == 0 && writers > 0);
}

}  // namespace

int main(int argc, char** argv) {
  kl::RunArgs args = kl::ParseArgs(argc, argv);
  Params p = args.quick ? Params{256, 64, 8, 120, 100, 20, 2000, 3}
                        : Params{1024, 64, 8, 300, 100, 50, 5000, 6};
  p.clients = static_cast<int>(args.Figure("clients", p.clients));
  p.burst = std::min(p.clients, static_cast<int>(args.Figure("burst", p.burst)));
  p.loop_delay = static_cast<int>(args.Figure("loop_delay", p.loop_delay));
  p.fast_changes = static_cast<int>(args.Figure("fast_changes", p.fast_changes));
  p.slow_period = static_cast<int>(args.Figure("slow_period", p.slow_period));
  p.slow_changes = static_cast<int>(args.Figure("slow_changes", p.slow_changes));
  kl::Report report(kl::Fmt("%d clients, DIFF traffic", p.clients));
  kl::Scratch scratch;
  scratch.keep = args.keep;
  kl::Sim sim;
  kl::Server srv;
  const std::string project = scratch / "plc";
  const std::string globals =
      kl::Fmt("comm_loop_delay = %d\nnet_connect_max = 1024\n", p.loop_delay);
  if (!kl::StartRun(report, scratch, WriteProject(project), sim, srv, globals, ""))
    return report.Exit();
  const pid_t pid = srv.proc.pid;
  kl::ProcFigures idle;
  kl::ReadProc(pid, idle);
  kl::LogWatch log(srv.log_path);
  const size_t notices = log.Watch("Public file 'iRovanta.pub' not changed");

  const size_t accepted_w = log.Watch("Accepting connection from");
  const size_t refused_w = log.Watch("Maximum connections reached");

  // 1. Connecting: a burst first, then the rest a few at a time.
  kl::Progress("connecting %d clients", p.clients);
  Fleet fleet(p.clients);
  std::vector<bool> asked(p.clients, false);
  int opened = 0;
  const int64_t t0 = kl::NowMs();
  Open(fleet, srv.port, opened, p.burst);
  fleet.PumpUntil(
      [&] {
        AskFirst(fleet, asked);
        return Answered(fleet) >= p.burst;
      },
      10000);
  const int64_t burst_ms = kl::NowMs() - t0;
  report.Row(
      "burst of simultaneous connects", kl::Fmt("%d clients at once", p.burst),
      kl::Fmt("%d answered after %lld ms", Answered(fleet), static_cast<long long>(burst_ms)), "",
      "all answered within 1 s", Answered(fleet) == p.burst && burst_ms <= 1000);
  const int64_t deadline = t0 + p.connect_s * 1000L;
  auto failed = [&] {
    int n = 0;
    for (const Client& c : fleet.clients) n += c.closed && !c.answered ? 1 : 0;
    return n;
  };
  while (Answered(fleet) + failed() < p.clients && kl::NowMs() < deadline) {
    Open(fleet, srv.port, opened, Answered(fleet) + failed() + p.window - opened);
    AskFirst(fleet, asked);
    fleet.Pump(10);
  }
  const int64_t connect_ms = kl::NowMs() - t0;
  const int answered = Answered(fleet);
  for (int i = 0, told = 0; i < opened && told < 5; ++i) {
    const Client& c = fleet.clients[i];
    if (c.answered) continue;
    tcp_info ti{};
    socklen_t len = sizeof ti;
    getsockopt(c.fd, IPPROTO_TCP, TCP_INFO, &ti, &len);
    report.Note(
        kl::Fmt("client %d never answered: %s, TCP state %u, %u bytes unacknowledged, "
                "GET %s",
                i, c.closed ? "closed" : "open", ti.tcpi_state, ti.tcpi_unacked,
                asked[i] ? "sent" : "not sent"));
    told++;
  }
  kl::ProcFigures after_connect;
  kl::ReadProc(pid, after_connect);
  report.Row(
      kl::Fmt("clients connect (net_connect_max 1024, comm_loop_delay %d)", p.loop_delay),
      kl::Fmt("%d clients, then %d at a time", p.clients, p.window),
      kl::Fmt("%d answered in %.1f s (%.0f/s); the server logged %zu accepted, %zu over "
              "the limit; %d connections failed",
              answered, connect_ms / 1000.0, answered * 1000.0 / std::max<int64_t>(connect_ms, 1),
              log.Count(accepted_w), log.Count(refused_w), failed()),
      kl::Resources(after_connect) +
          kl::Fmt(", %.2f s CPU per 100 clients",
                  (after_connect.cpu_s - idle.cpu_s) * 100.0 / std::max(answered, 1)),
      kl::Fmt("all %d within %d s", p.clients, p.connect_s), answered == p.clients);
  long other = 0;
  for (const Client& c : fleet.clients) other += static_cast<long>(c.others.size());
  report.Note(
      kl::Fmt("memory per connected client: %.0f KiB (RSS %.1f MiB idle, %.1f MiB with "
              "%d clients)",
              (after_connect.rss_kb - idle.rss_kb) / static_cast<double>(std::max(answered, 1)),
              idle.rss_kb / 1024.0, after_connect.rss_kb / 1024.0, answered));
  report.Note(
      kl::Fmt("while they connected the server checked the public file again %zu times "
              "and sent the clients %ld lines other than replies (notices 251)",
              log.Count(notices), other));
  if (answered == 0) return report.Exit();

  // 2. DIFF traffic, at the pace of the cycle and at a pace the server can follow.
  kl::Progress("every variable changing every cycle");
  RunPhase(report, fleet, sim, pid, log,
           {kl::Fmt("1000 variables changing every cycle (%d ms)", p.loop_delay), p.loop_delay,
            p.fast_changes, 1, true});
  kl::Progress("every variable changing every %d ms", p.slow_period);
  RunPhase(report, fleet, sim, pid, log,
           {kl::Fmt("1000 variables changing every %d ms", p.slow_period), p.slow_period,
            p.slow_changes, 2, false});

  // Every client still answers GET with the PLC's value.
  const uint32_t v999 = SimVars(sim)[kVars - 1];
  for (Client& c : fleet.clients)
    if (c.answered && !c.closed) {
      c.get_line.clear();
      kl::SendAll(c.fd, "GET:V0999\n");
    }
  const std::string want = kl::Fmt("GET:V0999,%u", v999);
  fleet.PumpUntil(
      [&] {
        for (const Client& c : fleet.clients)
          if (c.answered && !c.closed && c.get_line.empty()) return false;
        return true;
      },
      20000);
  int right = 0;
  for (const Client& c : fleet.clients) right += c.get_line == want ? 1 : 0;
  report.Row("GET after the traffic", kl::Fmt("%d clients", answered),
             kl::Fmt("%d answered with the PLC's value", right), "", "all", right == answered);

  // 3. SIGTERM under full load: changes every cycle, a file and a memory block being read, and
  // clients that stopped reading.
  kl::Progress("SIGTERM under load");
  kl::SimCmd(sim, kl::Fmt("move R %d UDINT %d count 1 %d", kVarBase, kVars, p.loop_delay));
  if (answered > 12) {
    kl::SendAll(fleet.clients[1].fd, "GETFILE:big.bin\n");
    kl::SendAll(fleet.clients[2].fd, "GETMEM:%R0 60000\n");
    for (int i = 3; i < 11; ++i) fleet.StopReading(i);
  }
  fleet.PumpUntil([] { return false; }, 2000);
  kl::ProcFigures loaded;
  kl::ReadProc(pid, loaded);
  const int64_t term_at = kl::NowMs();
  kill(pid, SIGTERM);
  kl::WaitUntil([&] { return !kl::Alive(srv.proc); }, 10000, 1);
  const int64_t exit_ms = kl::NowMs() - term_at;
  const int code = kl::ExitCode(srv.proc);
  const bool end_line = kl::ReadFile(srv.log_path).find("*** END ***") != std::string::npos;
  fleet.PumpUntil(
      [&] {
        for (const Client& c : fleet.clients)
          if (c.answered && c.reading && !c.closed) return false;
        return true;
      },
      3000);
  int still_open = 0;
  for (const Client& c : fleet.clients) still_open += c.answered && c.reading && !c.closed ? 1 : 0;
  report.Row("SIGTERM under full load",
             kl::Fmt("%d clients, 1000 vars changing every cycle, GETFILE 2 MiB, GETMEM 60000, "
                     "8 clients not reading",
                     answered),
             kl::Fmt("exit %d after %lld ms, \"*** END ***\" %s, %d client sockets left open", code,
                     static_cast<long long>(exit_ms), end_line ? "logged" : "missing", still_open),
             kl::Resources(loaded), "exit 0 within 2 s, \"*** END ***\" logged",
             code == 0 && exit_ms <= 2000 && end_line && still_open == 0);
  kl::SimCmd(sim, "move clear");
  return kl::EndRun(report, srv, false);
}
