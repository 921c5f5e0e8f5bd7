// Hostile clients: garbage, NUL bytes, overlong lines, half-closed sockets, rapid connect and
// close, WRITEFILE with absurd sizes, a client that never reads, and a flood of requests in one
// packet. A probe client asks for a fixed value during and after every step; afterwards the
// server must still answer it, hold no more descriptors than before and not have grown beyond
// the step's allowance.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "loadkit.h"

namespace {

constexpr uint32_t kFixed = 4242;  // K, R 100 UDINT: never changes
constexpr int kWrites = 10;        // W0.. UDINT from R 200

struct Params {
  int connect_cycles;
  int garbage_clients;
  int half_closed;
};

bool WriteProject(const std::string& dir) {
  std::string pub =
      "; hostile clients\n"
      "K        R 0 100 UDINT\n"
      "COUNTER  R 0 104 UDINT\n"
      "MSG      R 0 108 STRING[32]\n";
  for (int i = 0; i < kWrites; ++i) pub += kl::Fmt("W%d R 0 %d UDINT\n", i, 200 + 4 * i);
  return kl::MakeDir(dir) && kl::MakeDir(dir + "/files") &&
         kl::WriteFile(
             dir + "/values.txt",
             kl::Fmt("R 0 UDINT 12345\nR 100 UDINT %u\nR 108 STRING[32] quiet\n", kFixed)) &&
         kl::WriteFile(dir + "/moves.txt", "R 104 UDINT count 1 100\n") &&
         kl::WriteFile(dir + "/files/iRovanta.pub", kl::SignPubFile(pub));
}

struct Env {
  kl::Report& report;
  kl::Server& srv;
  kl::Sim& sim;
  kl::LineConn& probe;
  kl::LogWatch& log;
};

// The probe's GET of K: its round trip in ms, or -1 when the answer was missing or wrong.
long Probe(Env& e) {
  const int64_t t0 = kl::NowMs();
  std::string got;
  std::string v = kl::GetValue(e.probe, "K", 3000, &got);
  return v == std::to_string(kFixed) ? static_cast<long>(kl::NowMs() - t0) : -1;
}

kl::ProcFigures Figures(Env& e) {
  kl::ProcFigures f;
  kl::ReadProc(e.srv.proc.pid, f);
  return f;
}

// Waits until the server holds no more descriptors than `fds` (closed clients are noticed in a
// later cycle); the count it settled at.
int SettledFds(Env& e, int fds) {
  int now = fds;
  kl::WaitUntil(
      [&] {
        now = Figures(e).fds;
        return now <= fds;
      },
      5000, 20);
  return now;
}

// The common verdict of one hostile step: alive, the probe answered, no descriptor left over,
// memory grown by at most `rss_allowance_kb`.
struct Step {
  Env& e;
  kl::ProcFigures before;
  explicit Step(Env& env) : e(env), before(Figures(env)) {}

  void Done(const std::string& what, const std::string& amount, std::string result, bool ok,
            const std::string& expect, long rss_allowance_kb = 2048) {
    const long rtt = Probe(e);
    const int fds = SettledFds(e, before.fds);
    const kl::ProcFigures after = Figures(e);
    const bool alive = kl::Alive(e.srv.proc);
    const long grown = after.rss_kb - before.rss_kb;
    result += kl::Fmt("; probe GET %s; fds %d -> %d; RSS %+ld KiB",
                      rtt >= 0 ? kl::Fmt("%ld ms", rtt).c_str() : "FAILED", before.fds, fds, grown);
    if (!alive) result += "; SERVER GONE";
    e.report.Row(
        what, amount, result, kl::Resources(after),
        expect + kl::Fmt("; probe answered, no fd or memory growth (<= %ld KiB)", rss_allowance_kb),
        ok && alive && rtt >= 0 && fds <= before.fds && grown <= rss_allowance_kb);
  }
};

std::string Summary(const std::vector<std::string>& lines, size_t max = 3) {
  std::string s;
  for (size_t i = 0; i < lines.size() && i < max; ++i)
    s += (i ? " | " : "") + lines[i].substr(0, 80);
  if (lines.size() > max) s += kl::Fmt(" | ... (%zu lines)", lines.size());
  return s.empty() ? "nothing" : s;
}

void Garbage(Env& e, const Params& p) {
  Step step(e);
  std::mt19937 rng(7);
  int sent = 0, closed_by_server = 0;
  for (int i = 0; i < p.garbage_clients; ++i) {
    kl::LineConn c(kl::Connect(e.srv.port));
    std::string junk(256 * 1024, '\0');
    for (char& ch : junk) ch = static_cast<char>(rng());
    if (kl::SendAll(c.fd, junk, 3000)) sent++;
    c.LinesFor(200);
    closed_by_server += c.closed ? 1 : 0;
  }
  step.Done("garbage bytes (all byte values, random line ends)",
            kl::Fmt("%d clients x 256 KiB", p.garbage_clients),
            kl::Fmt("%d sent in full, %d closed by the server", sent, closed_by_server),
            sent == p.garbage_clients, "no crash");
}

void NulBytes(Env& e, const Params&) {
  Step step(e);
  std::string v, got;
  {
    kl::LineConn c(kl::Connect(e.srv.port));
    kl::SendAll(c.fd, std::string(65536, '\0'));
    kl::SleepMs(300);
    v = kl::GetValue(c, "K", 3000, &got);
  }
  step.Done("NUL bytes, then a request on the same connection", "64 KiB of NUL",
            "the next GET: " + (v.empty() ? "not answered (" + got + ")" : "answered " + v),
            v == std::to_string(kFixed), "the next request is answered");
}

// Sends `head`, then a GET in the same packet as the line end that closes it, then another GET
// on its own; what came back for each.
struct AfterOverlong {
  bool sent = false;
  bool same_packet = false;  // the GET that followed the line end in the same packet
  bool later = false;        // the GET sent on its own afterwards
  std::vector<std::string> lines;
};

AfterOverlong SendOverlong(Env& e, const std::string& head, const std::string& close) {
  AfterOverlong r;
  kl::LineConn c(kl::Connect(e.srv.port));
  r.sent = kl::SendAll(c.fd, head, 10000);
  kl::SleepMs(300);
  kl::SendAll(c.fd, close + "GET:K\n");
  const std::string want = kl::Fmt("GET:K,%u", kFixed);
  std::string line;
  r.same_packet = c.Until(want, line, 2000, &r.lines);
  kl::SendAll(c.fd, "GET:K\n");
  r.later = c.Until(want, line, 2000, &r.lines);
  r.lines.erase(std::remove_if(r.lines.begin(), r.lines.end(),
                               [](const std::string& l) {
                                 return l.compare(0, 5, "DIFF:") == 0 ||
                                        l.compare(0, 8, "WARNING:") == 0;
                               }),
                r.lines.end());
  return r;
}

std::string Describe(const AfterOverlong& r) {
  return kl::Fmt("%s; GET in the same packet %s, GET sent after it %s; other lines: %s",
                 r.sent ? "taken" : "NOT taken in 10 s", r.same_packet ? "answered" : "LOST",
                 r.later ? "answered" : "LOST", Summary(r.lines).c_str());
}

void MegaLine(Env& e, const Params&) {
  Step step(e);
  const size_t watch = e.log.Watch("Too many data in input buffer");
  const AfterOverlong r = SendOverlong(e, std::string(1 << 20, 'A'), "\n");
  step.Done("a 1 MiB line without LF, then LF + GET in one packet, then another GET", "1 MiB",
            Describe(r) + kl::Fmt("; \"Too many data in input buffer!\" logged %zu times",
                                  e.log.Count(watch)),
            r.sent && r.same_packet && r.later, "the overlong line refused, both GETs answered",
            4096);
}

void LongLines(Env& e, const Params&) {
  Step step(e);
  constexpr int kLines = 8;
  std::string text;
  for (int i = 0; i < kLines; ++i) text += "GET:" + std::string(131071 - 5, 'B') + "\n";
  // The last line end goes with the GET.
  text.pop_back();
  const AfterOverlong r = SendOverlong(e, text, "\n");
  const long errors = std::count_if(r.lines.begin(), r.lines.end(), [](const std::string& l) {
    return l.compare(0, 6, "ERROR:") == 0;
  });
  step.Done("lines of 131071 bytes (LF included), then a GET in the same packet, then another GET",
            kl::Fmt("%d lines, %d KiB", kLines, static_cast<int>(text.size() / 1024)),
            kl::Fmt("%ld ERROR lines; ", errors) + Describe(r),
            r.sent && r.same_packet && r.later && errors == kLines,
            "one reply per long line, both GETs answered", 4096);
}

void HalfClosed(Env& e, const Params& p) {
  Step step(e);
  int replies = 0, closed = 0;
  {
    std::vector<std::unique_ptr<kl::LineConn>> conns;
    for (int i = 0; i < p.half_closed; ++i) {
      conns.push_back(std::make_unique<kl::LineConn>(kl::Connect(e.srv.port)));
      kl::SendAll(conns.back()->fd, "GET:K\n");
      shutdown(conns.back()->fd, SHUT_WR);
    }
    for (auto& c : conns) {
      std::string line;
      if (c->Until("GET:K,", line, 2000)) replies++;
      // Whatever else comes (DIFF lines) until the server closes, within a bound.
      const int64_t deadline = kl::NowMs() + 2000;
      while (!c->closed && kl::NowMs() < deadline) c->Line(line, 100);
      closed += c->closed ? 1 : 0;
    }
  }
  step.Done("half-closed sockets: GET, then shutdown(SHUT_WR)",
            kl::Fmt("%d clients", p.half_closed),
            kl::Fmt("%d got the GET reply, %d closed by the server", replies, closed),
            replies == p.half_closed && closed == p.half_closed,
            "every request answered, then the connection closed");
}

void ConnectClose(Env& e, const Params& p) {
  Step step(e);
  // Once per connection: the upkeep's line with the counts.
  const size_t closed_w = e.log.Watch("Closed connection from 127.0.0.1 [");
  const size_t accepted_w = e.log.Watch("Accepting connection from");
  const int64_t t0 = kl::NowMs();
  const int64_t deadline = t0 + 240000;
  int done = 0, failed = 0;
  kl::ProcFigures peak = step.before;
  while (done < p.connect_cycles && kl::NowMs() < deadline) {
    // A few connections at a time, below the listen backlog, so that none waits for a SYN
    // to be sent again.
    if (static_cast<long>(done) - static_cast<long>(e.log.Count(closed_w)) >= 8) {
      kl::SleepMs(1);
      continue;
    }
    int fd = kl::Connect(e.srv.port, 3000);
    if (fd < 0) {
      failed++;
      continue;
    }
    if (done % 2)
      kl::Abort(fd);
    else
      close(fd);
    done++;
    // Every connection is announced to the probe (notice 251); keep its socket from filling.
    if (done % 500 == 0) e.probe.LinesFor(1);
    if (done % 2000 == 0) {
      kl::ProcFigures f = Figures(e);
      peak.fds = std::max(peak.fds, f.fds);
      peak.rss_kb = std::max(peak.rss_kb, f.rss_kb);
    }
  }
  kl::WaitUntil([&] { return e.log.Count(closed_w) >= static_cast<size_t>(done); }, 10000, 10);
  const int64_t ms = kl::NowMs() - t0;
  step.Done("rapid connect/close (every second one with a reset)",
            kl::Fmt("%d cycles", p.connect_cycles),
            kl::Fmt("%d done in %.1f s (%.0f/s), %d connects failed, %zu accepted and %zu closed "
                    "by the server; peak during the run %d fds, RSS %.1f MiB",
                    done, ms / 1000.0, done * 1000.0 / std::max<int64_t>(ms, 1), failed,
                    e.log.Count(accepted_w), e.log.Count(closed_w), peak.fds, peak.rss_kb / 1024.0),
            done == p.connect_cycles && failed == 0, "all cycles done", 1024);
}

void AbsurdWriteFile(Env& e, const Params&) {
  Step step(e);
  const std::vector<std::string> sizes = {"99999999999",
                                          "18446744073709551615",
                                          "18446744073709551616",
                                          "-1",
                                          "4294967296",
                                          "2147483647",
                                          "131072",
                                          "1e9",
                                          "0x7fffffff",
                                          "",
                                          " 5",
                                          "999999999999999999999999"};
  int answered = 0;
  bool short_answered = false;
  std::vector<std::string> replies;
  {
    kl::LineConn c(kl::Connect(e.srv.port));
    for (const std::string& size : sizes) {
      kl::SendAll(c.fd, "WRITEFILE:absurd.bin[" + size + "]=abc\n");
      std::string line;
      if (c.Line(line, 2000)) {
        answered++;
        replies.push_back("[" + size + "] " + line.substr(0, line.find(' ')));
      } else {
        replies.push_back("[" + size + "] no reply");
      }
    }
    // A block announced with a plausible size and then not sent in full.
    kl::SendAll(c.fd, "WRITEFILE:absurd.bin[1048576]=" + std::string(200000, 'x'));
    std::string line;
    short_answered = c.Line(line, 8000);
    replies.push_back("[1048576, 200000 sent] " +
                      (short_answered ? line.substr(0, line.find(' ')) : "no reply"));
  }
  const bool written = !kl::ReadFile(e.srv.dir + "/absurd.bin").empty() ||
                       kl::SimCmd(e.sim, "fileget absurd.bin").compare(0, 2, "OK") == 0;
  std::string joined;
  for (const std::string& r : replies) joined += (joined.empty() ? "" : ", ") + r;
  step.Done("WRITEFILE with absurd block sizes", kl::Fmt("%zu sizes + 1 short block", sizes.size()),
            kl::Fmt("%d/%zu answered: %s; file %s", answered, sizes.size(), joined.c_str(),
                    written ? "WRITTEN" : "not written"),
            answered == static_cast<int>(sizes.size()) && short_answered && !written,
            "every request answered with an error, nothing written, no big allocation", 8192);
}

// A client whose receive window is small, so that the server's output backs up at once.
int ConnectSmallWindow(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int size = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Probe GETs every 50 ms for `ms`, calling `meanwhile` before each; their round trips.
struct Rtts {
  int asked = 0, ok = 0;
  long max = 0, sum = 0;
  std::string Text() const {
    return kl::Fmt("probe %d/%d answered, mean %.0f ms, max %ld ms", ok, asked,
                   ok ? static_cast<double>(sum) / ok : 0.0, max);
  }
};

Rtts ProbeFor(Env& e, int ms, const std::function<void()>& meanwhile) {
  Rtts r;
  const int64_t end = kl::NowMs() + ms;
  while (kl::NowMs() < end) {
    meanwhile();
    const long rtt = Probe(e);
    r.asked++;
    if (rtt >= 0) {
      r.ok++;
      r.max = std::max(r.max, rtt);
      r.sum += rtt;
    }
    kl::SleepMs(50);
  }
  return r;
}

void NeverReads(Env& e, const Params&) {
  Step step(e);
  const size_t slow_w = e.log.Watch("Slow client");
  const size_t drop_w = e.log.Watch("exceeds its buffer");
  std::string burst;
  for (int i = 0; i < 20; ++i) burst += "HELP:\nLIST:\n";
  int sent = 0;
  Rtts r;
  {
    kl::LineConn stalled(ConnectSmallWindow(e.srv.port));
    r = ProbeFor(e, 3000, [&] {
      if (kl::SendAll(stalled.fd, burst, 0)) sent += 40;
    });
  }
  // The replies queued for the stalled client are a high-water mark of the heap, not a leak.
  step.Done("a client that never reads: 20 HELP and 20 LIST every 50 ms, 4 KiB receive window",
            kl::Fmt("%d requests over 3 s (about %d KiB of replies)", sent, sent * 3 / 2),
            r.Text() + kl::Fmt("; slow-client lines %zu; dropped by the server: %s",
                               e.log.Count(slow_w), e.log.Count(drop_w) ? "yes" : "no"),
            r.ok == r.asked && r.max <= 250, "every probe GET answered within 250 ms", 4096);
}

void RequestFlood(Env& e, const Params&) {
  Step step(e);
  constexpr int kGets = 20000;
  std::string flood;
  for (int i = 0; i < kGets; ++i) flood += "GET:K\n";
  int replies = 0;
  Rtts r;
  {
    kl::LineConn c(kl::Connect(e.srv.port));
    bool sent = false;
    r = ProbeFor(e, 1500, [&] {
      if (!sent) sent = kl::SendAll(c.fd, flood, 5000);
    });
    const std::string want = kl::Fmt("GET:K,%u", kFixed);
    std::string line;
    while (replies < kGets && c.Line(line, 3000)) replies += line == want ? 1 : 0;
  }
  step.Done("one packet of 20000 GETs from one client (it reads its replies)",
            kl::Fmt("%d KiB", static_cast<int>(flood.size() / 1024)),
            kl::Fmt("%d/%d GETs answered; %s", replies, kGets, r.Text().c_str()),
            replies == kGets && r.ok == r.asked && r.max <= 250,
            "all answered; every probe GET answered within 250 ms", 16384);
}

// Fresh clients set values; each must reach the PLC or come back as an error line.
void FinalChecks(Env& e) {
  kl::LineConn c(kl::Connect(e.srv.port));
  std::string get;
  const std::string v = kl::GetValue(c, "K", 3000, &get);
  std::string sets;
  for (int i = 0; i < kWrites; ++i) sets += kl::Fmt("SET:W%d,%d\n", i, 7000 + i);
  kl::SendAll(c.fd, sets);
  std::vector<std::string> lines = c.LinesFor(1000);
  bool error = false;
  for (const std::string& l : lines) error |= l.compare(0, 6, "ERROR:") == 0;
  int landed = 0;
  for (int i = 0; i < kWrites; ++i)
    landed += kl::SimUdint(e.sim, "R", 200 + 4 * i) == static_cast<uint32_t>(7000 + i) ? 1 : 0;
  e.report.Row("after the hostile clients: a new client GETs and SETs",
               kl::Fmt("1 GET, %d SETs", kWrites),
               kl::Fmt("GET %s; %d/%d SETs in the PLC%s", v.empty() ? "not answered" : "answered",
                       landed, kWrites, error ? ", an ERROR line came" : ""),
               kl::Resources(Figures(e)), "GET answered, every SET in the PLC or an error line",
               v == std::to_string(kFixed) && (landed == kWrites || error));
}

}  // namespace

int main(int argc, char** argv) {
  kl::RunArgs args = kl::ParseArgs(argc, argv);
  Params p = args.quick ? Params{2000, 4, 20} : Params{20000, 20, 100};
  p.connect_cycles = static_cast<int>(args.Figure("cycles", p.connect_cycles));
  kl::Report report("hostile clients");
  kl::Scratch scratch;
  scratch.keep = args.keep;
  kl::Sim sim;
  kl::Server srv;
  if (!kl::StartRun(report, scratch, WriteProject(scratch / "plc"), sim, srv,
                    "comm_loop_delay = 20\nnet_connect_max = 200\n", ""))
    return report.Exit();
  kl::LineConn probe(kl::Connect(srv.port));
  kl::LogWatch log(srv.log_path);
  Env e{report, srv, sim, probe, log};
  if (Probe(e) < 0) {
    report.Row("start", "probe client", "no answer to GET", "", "answers", false);
    return report.Exit();
  }
  kl::ProcFigures start = Figures(e);

  const std::vector<std::pair<const char*, void (*)(Env&, const Params&)>> steps = {
      {"garbage", Garbage},
      {"NUL bytes", NulBytes},
      {"1 MiB line", MegaLine},
      {"131071-byte lines", LongLines},
      {"half-closed", HalfClosed},
      {"connect/close", ConnectClose},
      {"WRITEFILE sizes", AbsurdWriteFile},
      {"never reads", NeverReads},
      {"request flood", RequestFlood},
  };
  for (const auto& s : steps) {
    if (!kl::Alive(srv.proc)) {
      report.Row(s.first, "", "not run: the server is gone", "", "", false);
      continue;
    }
    kl::Progress("%s", s.first);
    s.second(e, p);
  }
  if (kl::Alive(srv.proc)) FinalChecks(e);
  SettledFds(e, start.fds);
  kl::ProcFigures end = Figures(e);
  report.Info("whole hostile run", "",
              kl::Fmt("fds %d -> %d, RSS %.1f -> %.1f MiB", start.fds, end.fds,
                      start.rss_kb / 1024.0, end.rss_kb / 1024.0),
              kl::Resources(end));
  return kl::EndRun(report, srv, true);
}
