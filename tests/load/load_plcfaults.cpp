// PLC faults from the simulator in the middle of cyclic reads, a file transfer and a memory
// read: no answer, wrong sequence number, short and long replies, refused services, late
// replies, wrong file handles, and a restart of the simulator on the same port. A watching client
// checks that no wrong value ever reaches a client; the transfers must arrive intact or end in an
// error line; writes made meanwhile must reach the PLC or be answered with an error.
#include <signal.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loadkit.h"

namespace {

constexpr uint32_t kFixed = 4242;  // K, R 100
constexpr int kFixedVars = 50;     // F00.. UDINT from R 1000, value 100000 + i, never change
constexpr int kWrites = 40;        // W00.. UDINT from R 200
constexpr int kMemLen = 60000;     // GETMEM block: Y from 0
constexpr int kFileLen = 2 << 20;

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed + (i >> 9)) & 0xFF);
  return s;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string h;
  for (unsigned char b : bytes) {
    h += digits[b >> 4];
    h += digits[b & 15];
  }
  return h;
}

bool WriteProject(const std::string& dir) {
  std::string pub =
      "; PLC faults\n"
      "K        R 0 100 UDINT\n"
      "COUNTER  R 0 104 UDINT\n";
  std::string values = kl::Fmt("R 0 UDINT 12345\nR 100 UDINT %u\n", kFixed);
  for (int i = 0; i < kFixedVars; ++i) {
    pub += kl::Fmt("F%02d R 0 %d UDINT\n", i, 1000 + 4 * i);
    values += kl::Fmt("R %d UDINT %d\n", 1000 + 4 * i, 100000 + i);
  }
  for (int i = 0; i < kWrites; ++i) pub += kl::Fmt("W%02d R 0 %d UDINT\n", i, 200 + 4 * i);
  return kl::MakeDir(dir) && kl::MakeDir(dir + "/files") &&
         kl::WriteFile(dir + "/values.txt", values) &&
         kl::WriteFile(dir + "/moves.txt", "R 104 UDINT count 1 50\n") &&
         kl::WriteFile(dir + "/files/iRovanta.pub", kl::SignPubFile(pub)) &&
         kl::WriteFile(dir + "/files/big.bin", Pattern(kFileLen, 3));
}

// The memory block the GETMEM reads, put into the simulator after each start.
bool FillMemory(kl::Sim& sim) {
  const std::string mem = Pattern(kMemLen, 11);
  for (int off = 0; off < kMemLen; off += 1000)
    if (kl::SimCmd(sim, kl::Fmt("setbytes Y %d ", off) + Hex(mem.substr(off, 1000))) != "OK")
      return false;
  return true;
}

// A client that only listens to DIFF lines and counts every value that cannot be right.
struct Watcher {
  kl::LineConn conn;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::mutex m;
  long wrong = 0;      // a fixed variable reported with another value
  long backwards = 0;  // the counter reported lower than before
  long diffs = 0;
  std::string example;
  uint32_t counter = 0;
  bool restarted = false;  // the counter starts again with the simulator

  explicit Watcher(int port) : conn(kl::Connect(port)) {
    thread = std::thread([this] { Run(); });
  }
  ~Watcher() {
    stop = true;
    thread.join();
  }

  void Run() {
    std::string line;
    while (!stop) {
      if (!conn.Line(line, 100)) {
        if (conn.closed) return;
        continue;
      }
      Check(line);
    }
  }

  void Check(const std::string& line) {
    std::lock_guard<std::mutex> lock(m);
    if (line.compare(0, 5, "DIFF:") != 0) return;
    diffs++;
    const size_t comma = line.find(',');
    if (comma == std::string::npos) return;
    const std::string name = line.substr(5, comma - 5);
    const unsigned long v = strtoul(line.c_str() + comma + 1, nullptr, 10);
    bool bad = false;
    if (name == "K") bad = v != kFixed;
    if (name.size() == 3 && name[0] == 'F') bad = v != 100000ul + std::stoul(name.substr(1));
    if (name == "COUNTER") {
      if (v < counter && !restarted) {
        backwards++;
        if (example.empty()) example = line + kl::Fmt(" after %u", counter);
      }
      counter = static_cast<uint32_t>(v);
      restarted = false;
    }
    if (bad) {
      wrong++;
      if (example.empty()) example = line;
    }
  }

  struct Counts {
    long wrong, backwards, diffs;
    bool closed;
    std::string example;
  };
  Counts Take() {
    std::lock_guard<std::mutex> lock(m);
    Counts c{wrong, backwards, diffs, conn.closed, example};
    wrong = backwards = diffs = 0;
    example.clear();
    return c;
  }
  void Restarted() {
    std::lock_guard<std::mutex> lock(m);
    restarted = true;
  }
};

// One GETFILE or GETMEM reply: blocks "HEAD[n]=" with n raw bytes and a line end, ending with
// the block [0]; or an ERROR line instead.
struct Transfer {
  bool complete = false;
  std::string data;
  std::string error;
  int64_t ms = 0;
};

Transfer ReadTransfer(kl::LineConn& c, const std::string& head, int timeout_ms) {
  Transfer t;
  const int64_t t0 = kl::NowMs();
  const int64_t deadline = t0 + timeout_ms;
  while (kl::NowMs() < deadline) {
    std::string& b = c.buf;
    if (b.compare(0, head.size(), head) == 0) {
      const size_t close = b.find("]=", head.size());
      if (close != std::string::npos) {
        const size_t n = strtoul(b.c_str() + head.size(), nullptr, 10);
        if (b.size() >= close + 2 + n + 1) {
          t.data.append(b, close + 2, n);
          b.erase(0, close + 2 + n + 1);
          if (n == 0) {
            t.complete = true;
            break;
          }
          continue;
        }
      }
    } else if (b.find('\n') != std::string::npos && head.compare(0, b.size(), b) != 0) {
      std::string line;
      c.Line(line, 0);
      if (line.compare(0, 6, "ERROR:") == 0) {
        t.error = line;
        break;
      }
      continue;
    }
    if (!c.More(static_cast<int>(std::max<int64_t>(1, deadline - kl::NowMs())))) {
      if (c.closed) break;
    }
  }
  t.ms = kl::NowMs() - t0;
  return t;
}

struct Env {
  kl::Report& report;
  kl::Sim& sim;
  kl::Server& srv;
  Watcher& watcher;
  kl::LineConn& client;  // transfers and GETs; DIFF lines off
  kl::LineConn& writer;  // SETs, so that their error lines are told apart; DIFF lines off
  std::string project;
  std::string sim_out;
  int write_seq = 0;
  std::vector<std::pair<int, uint32_t>> writes;  // SETs since the last verdict: variable, value
};

// Sets the next W variable to a fresh value, to be checked by the next verdict.
void SetOne(Env& e) {
  const int w = e.write_seq % kWrites;
  const uint32_t value = 500000u + static_cast<uint32_t>(e.write_seq);
  e.write_seq++;
  kl::SendAll(e.writer.fd, kl::Fmt("SET:W%02d,%u\n", w, value));
  e.writes.push_back({w, value});
}

// The GET of K answered correctly, within the time-out: how long it took, or -1.
long RecoverMs(Env& e, int timeout_ms) {
  const int64_t t0 = kl::NowMs();
  while (kl::NowMs() - t0 < timeout_ms) {
    std::string got;
    if (kl::GetValue(e.client, "K", 1000, &got) == std::to_string(kFixed))
      return static_cast<long>(kl::NowMs() - t0);
    kl::SleepMs(50);
  }
  return -1;
}

// The verdict common to every fault: the server lives and answers again, no wrong value reached
// the watcher, and every SET made meanwhile reached the PLC or came back as an error line (their
// texts do not name the variable, so the error lines are counted against the SETs missing).
void Verdict(Env& e, const std::string& what, const std::string& amount, std::string result,
             bool ok, const std::string& expect) {
  const long recover = RecoverMs(e, 10000);
  int errors = 0;
  for (const std::string& l : e.writer.LinesFor(300)) errors += l.compare(0, 6, "ERROR:") == 0;
  int landed = 0;
  for (const auto& w : e.writes) landed += kl::SimUdint(e.sim, "R", 200 + 4 * w.first) == w.second;
  const int missing = static_cast<int>(e.writes.size()) - landed;
  const bool write_ok = missing <= errors;
  const Watcher::Counts w = e.watcher.Take();
  const bool alive = kl::Alive(e.srv.proc);
  result += kl::Fmt(
      "; GET answered again after %ld ms; SETs: %d in the PLC, %d not, %d ERROR "
      "lines%s; watcher: %ld DIFF lines, %ld wrong values, %ld counter steps back%s%s",
      recover, landed, missing, errors, write_ok ? "" : " (A SET LOST)", w.diffs, w.wrong,
      w.backwards, w.example.empty() ? "" : (" e.g. " + w.example).c_str(),
      w.closed ? "; WATCHER DISCONNECTED" : "");
  e.writes.clear();
  if (!alive) result += "; SERVER GONE";
  kl::ProcFigures f;
  kl::ReadProc(e.srv.proc.pid, f);
  e.report.Row(
      what, amount, result, kl::Resources(f),
      expect +
          "; no wrong value to any client; the SET in the PLC or an error line; GET "
          "answered within 10 s",
      ok && alive && recover >= 0 && write_ok && w.wrong == 0 && w.backwards == 0 && !w.closed);
}

struct Fault {
  const char* command;  // after "fault "
  const char* label;
  bool quick;  // also in the quick run
};

void DuringCyclicReads(Env& e, const Fault& f) {
  if (kl::SimCmd(e.sim, std::string("fault ") + f.command) != "OK") {
    e.report.Row(std::string("fault ") + f.label + " during cyclic reads", "", "simulator refused",
                 "", "", false);
    return;
  }
  SetOne(e);
  kl::SleepMs(1000);
  kl::SimCmd(e.sim, "fault clear");
  Verdict(e, std::string("fault ") + f.label + " during cyclic reads",
          "every variable read each 50 ms", "the fault set", true, "the reads recover");
}

// Waits until the simulator served `n` more exchanges than `base`: a transfer is under way.
bool WaitExchanges(kl::Sim& sim, long base, long n) {
  return kl::WaitUntil(
      [&] {
        const std::string r = kl::SimCmd(sim, "stats");
        const size_t at = r.find("requests=");
        return at != std::string::npos && atol(r.c_str() + at + 9) >= base + n;
      },
      5000, 0);
}

long Exchanges(kl::Sim& sim) {
  const std::string r = kl::SimCmd(sim, "stats");
  const size_t at = r.find("requests=");
  return at == std::string::npos ? 0 : atol(r.c_str() + at + 9);
}

const char* const kFileHead = "GETFILE:big.bin[";
const char* const kMemHead = "GETMEM:%Y0[";

std::string TransferRequest(bool file) {
  return file ? "GETFILE:big.bin\n" : kl::Fmt("GETMEM:%%Y0 %d\n", kMemLen);
}

std::string Describe(const Transfer& t, const std::string& want) {
  if (t.complete)
    return kl::Fmt("%zu bytes in %lld ms, %s", t.data.size(), static_cast<long long>(t.ms),
                   t.data == want ? "intact" : "CORRUPT");
  if (!t.error.empty())
    return t.error.substr(0, 60) +
           kl::Fmt(" after %zu bytes, %lld ms", t.data.size(), static_cast<long long>(t.ms));
  return kl::Fmt("NO END after %zu bytes in %lld ms", t.data.size(), static_cast<long long>(t.ms));
}

void DuringTransfer(Env& e, const Fault& f, bool file) {
  const std::string what =
      std::string("fault ") + f.label + (file ? " during GETFILE" : " during GETMEM");
  const std::string want = file ? Pattern(kFileLen, 3) : Pattern(kMemLen, 11);
  const long base = Exchanges(e.sim);
  kl::SendAll(e.client.fd, TransferRequest(file));
  // The fault comes once the transfer runs, so that it hits the transfer's exchanges.
  const bool running = WaitExchanges(e.sim, base, 3);
  kl::SimCmd(e.sim, std::string("fault ") + f.command);
  const long at = Exchanges(e.sim) - base;
  SetOne(e);
  const Transfer t = ReadTransfer(e.client, file ? kFileHead : kMemHead, 60000);
  kl::SimCmd(e.sim, "fault clear");
  const bool intact = t.complete && t.data == want;
  Verdict(e, what, file ? "2 MiB file" : "60000-byte block",
          kl::Fmt("fault set after %ld exchanges%s; ", at, running ? "" : " (transfer not seen)") +
              Describe(t, want),
          intact || !t.error.empty(), "the data intact or an ERROR line");
}

// Kills the simulator while a transfer runs (or only the cyclic reads), and starts it again on
// the same UDP port after a pause.
void Restart(Env& e, const std::string& what, int transfer /* 0 none, 1 file, 2 memory */) {
  const long base = Exchanges(e.sim);
  if (transfer) {
    kl::SendAll(e.client.fd, TransferRequest(transfer == 1));
    WaitExchanges(e.sim, base, 3);
  }
  const int port = e.sim.udp_port;
  kl::StopChild(e.sim.proc, SIGKILL, 2000);
  e.watcher.Restarted();
  kl::SleepMs(300);
  // A SET while nothing can reach the PLC: it must come back as an error line, or be written
  // once the PLC is back.
  SetOne(e);
  kl::SleepMs(1200);
  const bool started = kl::StartSim(e.sim, e.project, port, e.sim_out) && FillMemory(e.sim);
  std::string result =
      kl::Fmt("simulator %s on port %d", started ? "started again" : "NOT started", port);
  bool ok = started;
  if (transfer) {
    const std::string want = transfer == 1 ? Pattern(kFileLen, 3) : Pattern(kMemLen, 11);
    const Transfer t = ReadTransfer(e.client, transfer == 1 ? kFileHead : kMemHead, 60000);
    result += "; transfer: " + Describe(t, want);
    ok = ok && ((t.complete && t.data == want) || !t.error.empty());
  }
  SetOne(e);
  Verdict(e, what, "kill -9, 1.5 s down", result, ok,
          "the link comes back; the transfer intact or an ERROR line");
}

}  // namespace

int main(int argc, char** argv) {
  kl::RunArgs args = kl::ParseArgs(argc, argv);
  kl::Report report("PLC faults");
  kl::Scratch scratch;
  scratch.keep = args.keep;
  kl::Sim sim;
  kl::Server srv;
  const std::string project = scratch / "plc";
  if (!kl::StartRun(report, scratch, WriteProject(project), sim, srv,
                    "comm_loop_delay = 50\nnet_connect_max = 10\nffile_maxrecs = 0\n",
                    "dvktout = 200\ndvktout_step = 100\n", FillMemory))
    return report.Exit();
  Watcher watcher(srv.port);
  kl::LineConn client(kl::Connect(srv.port));
  kl::LineConn writer(kl::Connect(srv.port));
  kl::SendAll(client.fd, "SETCONF:diff,no\n");
  kl::SendAll(writer.fd, "SETCONF:diff,no\n");
  Env e{report, sim, srv, watcher, client, writer, project, scratch / "sim.out", 0, {}};
  if (RecoverMs(e, 5000) < 0) {
    report.Row("start", "client", "no answer to GET", "", "answers", false);
    return report.Exit();
  }
  client.LinesFor(200);
  writer.LinesFor(200);
  watcher.Take();

  const std::vector<Fault> faults = {
      {"noanswer 3", "noanswer x3", true},
      {"badseq 3", "badseq x3", false},
      {"short 3", "short x3", true},
      {"long 3", "long x3", true},
      {"refuse 0x0B 3", "refuse 523 x3", false},
      {"delay 150 3", "delay 150 ms x3 (inside the 200 ms time-out)", false},
      {"delay 700 3", "delay 700 ms x3 (past the time-out)", true},
      {"filehandle 2", "filehandle x2", false},
      {"noanswer 12", "noanswer x12 (all retries of several exchanges)", false},
  };
  for (const Fault& f : faults) {
    if (!kl::Alive(srv.proc) || (args.quick && !f.quick)) continue;
    kl::Progress("fault %s", f.command);
    DuringCyclicReads(e, f);
    DuringTransfer(e, f, true);
    DuringTransfer(e, f, false);
  }
  if (kl::Alive(srv.proc)) {
    kl::Progress("restarts");
    Restart(e, "simulator restart during cyclic reads", 0);
    Restart(e, "simulator restart during GETFILE", 1);
    Restart(e, "simulator restart during GETMEM", 2);
  }

  // Finally every fixed variable, read as one wildcard GET, holds its value.
  if (kl::Alive(srv.proc)) {
    kl::SendAll(client.fd, "GET:F*\n");
    std::vector<std::string> before;
    std::string line;
    int right = 0, seen = 0;
    while (client.Line(line, 3000) && line != "GET:") {
      if (line.compare(0, 5, "GET:F") != 0) continue;
      seen++;
      const size_t comma = line.find(',');
      if (comma != std::string::npos && strtoul(line.c_str() + comma + 1, nullptr, 10) ==
                                            100000ul + strtoul(line.c_str() + 5, nullptr, 10))
        right++;
    }
    report.Row("after the faults: GET of every fixed variable", kl::Fmt("%d variables", kFixedVars),
               kl::Fmt("%d answered, %d right", seen, right), "", "all right",
               seen == kFixedVars && right == kFixedVars);
  }
  return kl::EndRun(report, srv, true);
}
