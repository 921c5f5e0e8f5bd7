// Shared pieces of the load and fault runs: the simulator and the server as child processes in a
// scratch folder, their figures from /proc, loopback client sockets, and the result rows that
// scripts/robustness gathers into docs/robustness.md.
//
// Everything runs on 127.0.0.1; every wait has a bound.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kl {

int64_t NowMs();  // steady clock
void SleepMs(int ms);

// Polls `cond` every `step_ms` until it holds or `timeout_ms` passes; whether it held.
bool WaitUntil(const std::function<bool()>& cond, int timeout_ms, int step_ms = 5);

// Command line shared by every run: --quick (the short variant), --keep (leave the scratch
// folder), and --NAME=NUMBER to change one of a run's figures (each run names its own).
struct RunArgs {
  bool quick = false;
  bool keep = false;
  std::vector<std::pair<std::string, long>> figures;
  long Figure(const std::string& name, long fallback) const;
};
RunArgs ParseArgs(int argc, char** argv);

// A fresh folder below the temporary folder, removed at the end unless kept.
struct Scratch {
  std::string path;
  bool keep = false;
  Scratch();
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

bool WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);  // empty when missing
bool MakeDir(const std::string& path);

// A child process whose standard output and error go to one file.
struct Child {
  pid_t pid = -1;
  int status = -1;  // wait status once ended
  bool ended = false;
  std::string out_path;
  ~Child();  // SIGKILLs and reaps a child still running
};
bool Spawn(Child& c, const std::vector<std::string>& argv, const std::string& cwd,
           const std::string& out_path);
bool Alive(Child& c);  // reaps it when it has ended
// Sends `sig` and waits up to timeout_ms; exit code, or -1 (signalled or still running).
int StopChild(Child& c, int sig, int timeout_ms);
int ExitCode(const Child& c);  // -1 unless it exited normally

// What /proc says about a process.
struct ProcFigures {
  long rss_kb = 0;   // VmRSS
  long hwm_kb = 0;   // VmHWM, the peak
  double cpu_s = 0;  // user + system time
  int fds = 0;       // entries of /proc/<pid>/fd
};
bool ReadProc(pid_t pid, ProcFigures& f);

// Follows a growing log file and counts lines holding each watched text.
struct LogWatch {
  std::string path;
  off_t offset = 0;
  std::string partial;
  std::vector<std::string> texts;
  std::vector<size_t> counts;

  explicit LogWatch(const std::string& p) : path(p) {}
  size_t Watch(const std::string& text);  // counts from now on; the index for Count
  void Poll();
  size_t Count(size_t index) {
    Poll();
    return counts[index];
  }
};

// The simulator with UDP and its control channel.
struct Sim {
  Child proc;
  int udp_port = -1;
  int control_fd = -1;
  std::string pending;
  ~Sim();
};
// Starts it with --project dir; udp_port 0 picks a free port. Waits for its endpoints.
bool StartSim(Sim& sim, const std::string& project, int udp_port, const std::string& out_path,
              const std::vector<std::string>& extra = {});
// One control command; its reply line without the line end ("" on failure).
std::string SimCmd(Sim& sim, const std::string& command);
uint32_t SimUdint(Sim& sim, const std::string& reg, int addr);              // `get REG ADDR UDINT`
std::string SimBytes(Sim& sim, const std::string& reg, int addr, int len);  // raw bytes

// The server in its working folder, logging to dir/korvane.log.
struct Server {
  Child proc;
  std::string dir;
  std::string log_path;
  int port = -1;
};
// Writes Korvane.ini ([*] comm_loop_delay and `globals`; [PLC1] over UDP to the simulator with
// `plc_keys`) and the fixed public file, starts the server and waits until its cycle runs.
bool StartServer(Server& srv, const std::string& dir, int sim_udp_port, const std::string& globals,
                 const std::string& plc_keys);
int FreeTcpPort();
// What the server said about itself going wrong: a fatal signal in its log, a sanitizer report on
// its standard error (a sanitizer build); the first such line, or "" when there is none.
std::string ServerTrouble(const Server& srv);

// The public file text with its checksum line.
std::string SignPubFile(const std::string& body);

// Loopback clients.
int Connect(int port, int timeout_ms = 5000);
int ConnectNonBlocking(int port);  // connect in progress; -1 when the socket fails
bool SendAll(int fd, const std::string& data, int timeout_ms = 5000);
void Abort(int fd);  // close with a reset

// A client connection that reads whole lines.
struct LineConn {
  int fd = -1;
  std::string buf;
  bool closed = false;  // the server closed it
  explicit LineConn(int f = -1) : fd(f) {}
  ~LineConn();
  LineConn(const LineConn&) = delete;
  LineConn& operator=(const LineConn&) = delete;
  // The next line without its end, within the time-out; false on time-out or close.
  bool Line(std::string& line, int timeout_ms);
  // Reads until a line starting with `prefix` came (kept in `line`); lines before it go to
  // `before` when given.
  bool Until(const std::string& prefix, std::string& line, int timeout_ms,
             std::vector<std::string>* before = nullptr);
  // Appends what arrives within the time-out to buf; false when nothing came or it closed.
  bool More(int timeout_ms);
  // Whatever arrives within the window, as lines.
  std::vector<std::string> LinesFor(int window_ms);
};

// Sends "GET:name" and waits for its "GET:" reply; the value, or "" with the lines that came
// instead in `got` (an ERROR line, nothing).
std::string GetValue(LineConn& c, const std::string& name, int timeout_ms, std::string* got);

// Results. A row is what was tried, how much, what it gave, the server's resources, the
// expectation and the verdict; scripts/robustness turns the rows into the table.
struct Report {
  std::string run;
  int fails = 0;
  explicit Report(const std::string& r) : run(r) {}
  void Row(const std::string& what, const std::string& amount, const std::string& result,
           const std::string& resources, const std::string& expect, bool pass);
  // A row of figures without an expectation of its own.
  void Info(const std::string& what, const std::string& amount, const std::string& result,
            const std::string& resources);
  void Note(const std::string& text);  // a finding worth reading beside the table
  int Exit() const { return fails > 0 ? 1 : 0; }
};

// The start of a run in `scratch`: the simulator on the project `written` in its "plc" folder
// (then `prepare`, when given), the server in its "srv" folder. False, with a failed row, when
// one of them did not start.
bool StartRun(Report& report, const Scratch& scratch, bool written, Sim& sim, Server& srv,
              const std::string& globals, const std::string& plc_keys,
              const std::function<bool(Sim&)>& prepare = nullptr);

// The end of a run: with `stop` the server is stopped by SIGTERM (a row when it does not exit 0),
// then the row of its log and standard error; the run's exit code.
int EndRun(Report& report, Server& srv, bool stop);

std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Resources(const ProcFigures& f);  // "RSS 12.3 MiB, CPU 1.20 s, 9 fds"
void Progress(const char* fmt, ...) __attribute__((format(printf, 1, 2)));  // to stderr

}  // namespace kl
