// Child processes, /proc figures, loopback sockets and result rows for the load and fault runs.
#include "loadkit.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace kl {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool WaitUntil(const std::function<bool()>& cond, int timeout_ms, int step_ms) {
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    if (cond()) return true;
    if (NowMs() >= deadline) return false;
    SleepMs(step_ms);
  }
}

RunArgs ParseArgs(int argc, char** argv) {
  RunArgs a;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--quick") == 0) a.quick = true;
    if (strcmp(argv[i], "--keep") == 0) a.keep = true;
    const char* eq = strchr(argv[i], '=');
    if (strncmp(argv[i], "--", 2) == 0 && eq)
      a.figures.emplace_back(std::string(argv[i] + 2, static_cast<size_t>(eq - argv[i] - 2)),
                             atol(eq + 1));
  }
  // A connection the server closed must fail the send, not end the run.
  signal(SIGPIPE, SIG_IGN);
  return a;
}

long RunArgs::Figure(const std::string& name, long fallback) const {
  for (const auto& f : figures)
    if (f.first == name) return f.second;
  return fallback;
}

Scratch::Scratch() {
  const char* tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/korvane-load-XXXXXX";
  if (mkdtemp(&templ[0])) path = templ;
}

static void RemoveTree(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (!d) {
    unlink(path.c_str());
    return;
  }
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    std::string sub = path + "/" + e->d_name;
    struct stat st;
    if (lstat(sub.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      RemoveTree(sub);
    else
      unlink(sub.c_str());
  }
  closedir(d);
  rmdir(path.c_str());
}

Scratch::~Scratch() {
  if (path.empty()) return;
  if (keep)
    fprintf(stderr, "scratch folder kept: %s\n", path.c_str());
  else
    RemoveTree(path);
}

bool WriteFile(const std::string& path, const std::string& content) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
  return fclose(f) == 0 && ok;
}

std::string ReadFile(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

bool MakeDir(const std::string& path) {
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

Child::~Child() {
  if (pid > 0 && !ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
}

bool Spawn(Child& c, const std::vector<std::string>& argv, const std::string& cwd,
           const std::string& out_path) {
  int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0) return false;
  pid_t pid = fork();
  if (pid < 0) {
    close(out);
    return false;
  }
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    dup2(out, 1);
    dup2(out, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out);
  c.pid = pid;
  c.ended = false;
  c.status = -1;
  c.out_path = out_path;
  return true;
}

bool Alive(Child& c) {
  if (c.pid <= 0 || c.ended) return false;
  int st = 0;
  if (waitpid(c.pid, &st, WNOHANG) == c.pid) {
    c.ended = true;
    c.status = st;
    return false;
  }
  return true;
}

int ExitCode(const Child& c) {
  return c.ended && WIFEXITED(c.status) ? WEXITSTATUS(c.status) : -1;
}

int StopChild(Child& c, int sig, int timeout_ms) {
  if (Alive(c)) kill(c.pid, sig);
  WaitUntil([&] { return !Alive(c); }, timeout_ms, 2);
  return ExitCode(c);
}

bool ReadProc(pid_t pid, ProcFigures& f) {
  f = ProcFigures{};
  std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  if (status.empty()) return false;
  auto field = [&](const char* name) -> long {
    size_t at = status.find(name);
    return at == std::string::npos ? 0 : atol(status.c_str() + at + strlen(name));
  };
  f.rss_kb = field("VmRSS:");
  f.hwm_kb = field("VmHWM:");
  // Fields 14 and 15 of stat count after the command name, which may hold spaces.
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close_paren = stat.rfind(')');
  if (close_paren != std::string::npos) {
    unsigned long utime = 0, stime = 0;
    if (sscanf(stat.c_str() + close_paren + 2,
               "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) == 2)
      f.cpu_s = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') f.fds++;
    closedir(d);
  }
  return true;
}

size_t LogWatch::Watch(const std::string& text) {
  Poll();
  texts.push_back(text);
  counts.push_back(0);
  return texts.size() - 1;
}

void LogWatch::Poll() {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buf[65536];
  for (;;) {
    ssize_t n = pread(fd, buf, sizeof buf, offset);
    if (n <= 0) break;
    offset += n;
    partial.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  size_t start = 0;
  for (size_t nl; (nl = partial.find('\n', start)) != std::string::npos; start = nl + 1) {
    for (size_t i = 0; i < texts.size(); ++i) {
      if (memmem(partial.data() + start, nl - start, texts[i].data(), texts[i].size())) counts[i]++;
    }
  }
  partial.erase(0, start);
}

Sim::~Sim() {
  if (control_fd >= 0) close(control_fd);
  StopChild(proc, SIGTERM, 3000);
}

// The text after `prefix` on its line of the file, once that line is complete.
static bool LineAfter(const std::string& path, const std::string& prefix, std::string& rest) {
  std::string text = ReadFile(path);
  for (size_t pos = 0; pos < text.size();) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) return false;
    if (text.compare(pos, prefix.size(), prefix) == 0) {
      rest = text.substr(pos + prefix.size(), nl - pos - prefix.size());
      return true;
    }
    pos = nl + 1;
  }
  return false;
}

static int PortOf(const std::string& addr) {
  size_t colon = addr.rfind(':');
  return colon == std::string::npos ? -1 : atoi(addr.c_str() + colon + 1);
}

bool StartSim(Sim& sim, const std::string& project, int udp_port, const std::string& out_path,
              const std::vector<std::string>& extra) {
  if (sim.control_fd >= 0) close(sim.control_fd);
  sim.control_fd = -1;
  sim.pending.clear();
  unlink(out_path.c_str());
  std::vector<std::string> argv{KORVANE_PLCSIM_BIN,
                                "--control",
                                "127.0.0.1:0",
                                "--udp",
                                "127.0.0.1:" + std::to_string(udp_port),
                                "--project",
                                project};
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!Spawn(sim.proc, argv, "", out_path)) return false;
  std::string udp, control;
  if (!WaitUntil(
          [&] {
            return !Alive(sim.proc) ||
                   (LineAfter(out_path, "udp ", udp) && LineAfter(out_path, "control ", control));
          },
          10000) ||
      !Alive(sim.proc))
    return false;
  sim.udp_port = PortOf(udp);
  sim.control_fd = Connect(PortOf(control));
  return sim.control_fd >= 0;
}

std::string SimCmd(Sim& sim, const std::string& command) {
  if (sim.control_fd < 0 || !SendAll(sim.control_fd, command + "\n")) return "";
  LineConn c(sim.control_fd);
  c.buf.swap(sim.pending);
  std::string line;
  bool ok = c.Line(line, 10000);
  sim.pending.swap(c.buf);
  c.fd = -1;  // the connection stays the simulator's
  return ok ? line : "";
}

uint32_t SimUdint(Sim& sim, const std::string& reg, int addr) {
  std::string r = SimCmd(sim, "get " + reg + " " + std::to_string(addr) + " UDINT");
  return r.compare(0, 3, "OK ") == 0 ? static_cast<uint32_t>(strtoul(r.c_str() + 3, nullptr, 10))
                                     : 0;
}

std::string SimBytes(Sim& sim, const std::string& reg, int addr, int len) {
  std::string r =
      SimCmd(sim, "getbytes " + reg + " " + std::to_string(addr) + " " + std::to_string(len));
  std::string out;
  if (r.compare(0, 3, "OK ") != 0) return out;
  for (size_t i = 3; i + 1 < r.size(); i += 2)
    out.push_back(static_cast<char>(strtoul(r.substr(i, 2).c_str(), nullptr, 16)));
  return out;
}

int FreeTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int port = -1;
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

static uint16_t CrcPlc(const std::string& data) {
  // CRC-16, MSB first, polynomial 0x0049, bytes of the result exchanged.
  uint16_t crc = 0;
  for (unsigned char b : data) {
    uint16_t t = static_cast<uint16_t>(((crc >> 8) ^ b) << 8);
    for (int i = 0; i < 8; ++i)
      t = static_cast<uint16_t>((t & 0x8000) ? (t << 1) ^ 0x0049 : t << 1);
    crc = static_cast<uint16_t>((crc << 8) ^ t);
  }
  return static_cast<uint16_t>((crc << 8) | (crc >> 8));
}

std::string SignPubFile(const std::string& body) {
  return body + Fmt(";* Crc=\"%04X\"\n", CrcPlc(body));
}

bool StartServer(Server& srv, const std::string& dir, int sim_udp_port, const std::string& globals,
                 const std::string& plc_keys) {
  srv.dir = dir;
  srv.log_path = dir + "/korvane.log";
  if (!WriteFile(dir + "/FIXED_Rovanta.pub", SignPubFile("__PF_CRC R 0 0 UDINT\n"))) return false;
  // The port was free a moment ago; another program may take it first, so try again then.
  for (int attempt = 0; attempt < 3; ++attempt) {
    srv.port = FreeTcpPort();
    std::string ini = "[*]\n" + globals + "\n[PLC1]\nserver_port = " + std::to_string(srv.port) +
                      "\nipaddr_local = 127.0.0.1\nipaddr = 127.0.0.1\ndvkport = " +
                      std::to_string(sim_udp_port) + "\n" + plc_keys + "\n";
    if (plc_keys.find("dvktout ") == std::string::npos) ini += "dvktout = 300\n";
    if (plc_keys.find("dvktout_step") == std::string::npos) ini += "dvktout_step = 100\n";
    if (!WriteFile(dir + "/Korvane.ini", ini)) return false;
    unlink(srv.log_path.c_str());
    if (!Spawn(srv.proc, {KORVANE_BIN, "-c", "Korvane.ini", "-l", "korvane.log"}, dir,
               dir + "/korvane.out"))
      return false;
    bool running = WaitUntil(
        [&] {
          std::string log = ReadFile(srv.log_path);
          return !Alive(srv.proc) || log.find("CommObject running...") != std::string::npos ||
                 log.find("Unable to initialize network communication") != std::string::npos;
        },
        20000);
    if (running && Alive(srv.proc) &&
        ReadFile(srv.log_path).find("CommObject running...") != std::string::npos)
      return true;
    StopChild(srv.proc, SIGKILL, 2000);
  }
  return false;
}

std::string ServerTrouble(const Server& srv) {
  static const char* const marks[] = {"Received signal SIGSEGV",
                                      "Received signal SIGABRT",
                                      "Received signal SIGILL",
                                      "Received signal SIGFPE",
                                      "Sanitizer",
                                      "runtime error:"};
  for (const std::string& path : {srv.log_path, srv.dir + "/korvane.out"}) {
    const std::string text = ReadFile(path);
    for (const char* mark : marks) {
      const size_t at = text.find(mark);
      if (at == std::string::npos) continue;
      const size_t start = text.rfind('\n', at);
      const size_t end = text.find('\n', at);
      return text.substr(start == std::string::npos ? 0 : start + 1,
                         (end == std::string::npos ? text.size() : end) -
                             (start == std::string::npos ? 0 : start + 1));
    }
  }
  return "";
}

bool StartRun(Report& report, const Scratch& scratch, bool written, Sim& sim, Server& srv,
              const std::string& globals, const std::string& plc_keys,
              const std::function<bool(Sim&)>& prepare) {
  if (!written || !MakeDir(scratch / "srv") ||
      !StartSim(sim, scratch / "plc", 0, scratch / "sim.out") || (prepare && !prepare(sim))) {
    report.Row("start", "simulator", "did not start", "", "starts", false);
    return false;
  }
  if (!StartServer(srv, scratch / "srv", sim.udp_port, globals, plc_keys)) {
    report.Row("start", "server", "did not start", "", "starts", false);
    return false;
  }
  return true;
}

int EndRun(Report& report, Server& srv, bool stop) {
  if (stop) {
    const int code = StopChild(srv.proc, SIGTERM, 5000);
    if (code != 0) report.Row("stop", "SIGTERM", Fmt("exit %d", code), "", "exit 0", false);
  }
  const std::string trouble = ServerTrouble(srv);
  report.Row("the server's log and standard error", "the whole run",
             trouble.empty() ? "clean" : trouble, "", "no fatal signal, no sanitizer report",
             trouble.empty());
  return report.Exit();
}

int ConnectNonBlocking(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

int Connect(int port, int timeout_ms) {
  int fd = ConnectNonBlocking(port);
  if (fd < 0) return -1;
  pollfd p{fd, POLLOUT, 0};
  int err = 0;
  socklen_t len = sizeof err;
  if (poll(&p, 1, timeout_ms) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 ||
      err != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data, int timeout_ms) {
  const int64_t deadline = NowMs() + timeout_ms;
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      off += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    int left = static_cast<int>(deadline - NowMs());
    if (left <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, left);
  }
  return true;
}

void Abort(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

LineConn::~LineConn() {
  if (fd >= 0) close(fd);
}

// Reads what arrives before the deadline into buf; false when nothing more can come.
static bool Fill(LineConn& c, int64_t deadline) {
  int left = static_cast<int>(deadline - NowMs());
  if (left < 0) left = 0;
  pollfd p{c.fd, POLLIN, 0};
  if (poll(&p, 1, left) != 1) return false;
  char buf[65536];
  ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    c.closed = true;
    return false;
  }
  if (n > 0) c.buf.append(buf, static_cast<size_t>(n));
  return true;
}

bool LineConn::Line(std::string& line, int timeout_ms) {
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    size_t nl = buf.find('\n');
    if (nl != std::string::npos) {
      line = buf.substr(0, nl);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      buf.erase(0, nl + 1);
      return true;
    }
    if (closed || !Fill(*this, deadline)) {
      if (closed || NowMs() >= deadline) return false;
    }
  }
}

bool LineConn::Until(const std::string& prefix, std::string& line, int timeout_ms,
                     std::vector<std::string>* before) {
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    int left = static_cast<int>(deadline - NowMs());
    if (left < 0 || !Line(line, left)) return false;
    if (line.compare(0, prefix.size(), prefix) == 0) return true;
    if (before) before->push_back(line);
  }
}

bool LineConn::More(int timeout_ms) {
  return !closed && Fill(*this, NowMs() + timeout_ms);
}

std::vector<std::string> LineConn::LinesFor(int window_ms) {
  std::vector<std::string> lines;
  const int64_t deadline = NowMs() + window_ms;
  std::string line;
  for (;;) {
    int left = static_cast<int>(deadline - NowMs());
    if (left <= 0 || !Line(line, left)) break;
    lines.push_back(line);
  }
  return lines;
}

std::string GetValue(LineConn& c, const std::string& name, int timeout_ms, std::string* got) {
  if (got) got->clear();
  if (!SendAll(c.fd, "GET:" + name + "\n")) return "";
  const std::string prefix = "GET:" + name + ",";
  const int64_t deadline = NowMs() + timeout_ms;
  std::string line;
  for (;;) {
    int left = static_cast<int>(deadline - NowMs());
    if (left <= 0 || !c.Line(line, left)) return "";
    if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
    if (line.compare(0, 5, "DIFF:") == 0) continue;
    if (got) *got += line + "; ";
    if (line.compare(0, 6, "ERROR:") == 0) return "";
  }
}

static std::string OneLine(std::string s) {
  for (char& ch : s)
    if (ch == '\t' || ch == '\n' || ch == '\r') ch = ' ';
  return s;
}

static void PrintRow(const std::string& run, const std::string& what, const std::string& amount,
                     const std::string& result, const std::string& resources,
                     const std::string& expect, const char* verdict) {
  printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", OneLine(run).c_str(), OneLine(what).c_str(),
         OneLine(amount).c_str(), OneLine(result).c_str(), OneLine(resources).c_str(),
         OneLine(expect).c_str(), verdict);
  fflush(stdout);
  fprintf(stderr, "[%s] %s: %s -> %s\n", verdict, what.c_str(), amount.c_str(), result.c_str());
}

void Report::Row(const std::string& what, const std::string& amount, const std::string& result,
                 const std::string& resources, const std::string& expect, bool pass) {
  if (!pass) fails++;
  PrintRow(run, what, amount, result, resources, expect, pass ? "PASS" : "FAIL");
}

void Report::Info(const std::string& what, const std::string& amount, const std::string& result,
                  const std::string& resources) {
  PrintRow(run, what, amount, result, resources, "figures only", "INFO");
}

void Report::Note(const std::string& text) {
  printf("NOTE\t%s\t%s\n", OneLine(run).c_str(), OneLine(text).c_str());
  fflush(stdout);
  fprintf(stderr, "note: %s\n", text.c_str());
}

std::string Fmt(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string Resources(const ProcFigures& f) {
  return Fmt("RSS %.1f MiB (peak %.1f), CPU %.2f s, %d fds", f.rss_kb / 1024.0, f.hwm_kb / 1024.0,
             f.cpu_s, f.fds);
}

void Progress(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fprintf(stderr, "  ");
  vfprintf(stderr, fmt, ap);
  fprintf(stderr, "\n");
  va_end(ap);
}

}  // namespace kl
