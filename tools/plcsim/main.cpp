// korvane-plcsim: a DORVIK slave station over UDP and a pseudo-terminal, with a TCP control
// channel, and a PLC served through shared memory to the substitute module. One thread runs
// everything from the poll loop below, moving values included; with shared memory every event
// that may touch the registers runs under the port lock.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control.h"
#include "exchange.h"
#include "frame.h"
#include "moves.h"
#include "project.h"
#include "shm.h"
#include "sim.h"
#include "values.h"

using namespace plcsim;

namespace {

constexpr size_t kUdpHeader = 6;
constexpr size_t kUdpMaxFrames = 5;
constexpr size_t kMaxDatagram = 2054;
constexpr int64_t kSerialGapMs = 300;  // a pause this long drops a half-received frame
constexpr size_t kMaxControlLine = 2 * kMaxControlFile + 256;
constexpr size_t kMaxRegSize = 16u << 20;
constexpr size_t kMaxClients = 64;    // control connections beyond this are closed at once
constexpr size_t kMaxDelayed = 1024;  // delayed answers beyond this are dropped

int sig_pipe_w = -1;

void OnSignal(int) {
  int saved = errno;
  char c = 1;
  if (write(sig_pipe_w, &c, 1) < 0) {
  }
  errno = saved;
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Options {
  std::string udp, control, project, files, shm;
  bool pty = false;
};

struct ControlClient {
  int fd = -1;
  std::string in, out;
  bool closing = false;  // close once `out` is sent
};

struct Delayed {
  int64_t due_ms;
  bool udp;
  sockaddr_in to;
  std::vector<uint8_t> bytes;
};

// Everything the loop owns besides the PLC state.
struct Loop {
  int udp = -1, pty = -1, pty_slave = -1, listen = -1, sig_r = -1;
  std::vector<ControlClient> clients;
  std::vector<Delayed> delayed;
  std::vector<uint8_t> serial_in;
  int64_t serial_last_ms = 0;
  int64_t next_move_ms = 0;  // next tick of the moving values
};

void Usage() {
  fprintf(
      stderr,
      "usage: korvane-plcsim [--udp ADDR:PORT] [--pty] [--control ADDR:PORT] [--project DIR]\n"
      "                      [--files DIR] [--addr N] [--regsize N] [--shm SOCKET:PORT] [-v]\n");
}

int ParseEndpoint(const std::string& text, sockaddr_in& sa) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return 1;
  std::string ip = text.substr(0, colon), port = text.substr(colon + 1);
  char* end = nullptr;
  long p = strtol(port.c_str(), &end, 10);
  if (port.empty() || *end || p < 0 || p > 65535) return 1;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(p));
  return inet_pton(AF_INET, ip.c_str(), &sa.sin_addr) == 1 ? 0 : 1;
}

void PrintEndpoint(const char* kind, int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  char ip[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
  printf("%s %s:%u\n", kind, ip, ntohs(sa.sin_port));
  fflush(stdout);
}

int OpenSocket(const std::string& where, int type, const char* kind) {
  sockaddr_in sa;
  if (ParseEndpoint(where, sa) != 0) {
    fprintf(stderr, "korvane-plcsim: bad %s address: %s\n", kind, where.c_str());
    return -1;
  }
  int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  if (fd >= 0 && type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      (type == SOCK_STREAM && listen(fd, 16) != 0)) {
    fprintf(stderr, "korvane-plcsim: cannot open %s %s: %s\n", kind, where.c_str(),
            strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  PrintEndpoint(kind, fd);
  return fd;
}

// The master end of a new pseudo-terminal in raw mode. The slave stays open here too, so the
// master never sees a hang-up while no server has the line open.
int OpenPty(Loop& lp) {
  int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  char name[128];
  if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
    fprintf(stderr, "korvane-plcsim: cannot open a pty: %s\n", strerror(errno));
    if (m >= 0) close(m);
    return 1;
  }
  int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios tio;
  if (s < 0 || tcgetattr(s, &tio) != 0) {
    fprintf(stderr, "korvane-plcsim: cannot open %s: %s\n", name, strerror(errno));
    close(m);
    if (s >= 0) close(s);
    return 1;
  }
  cfmakeraw(&tio);
  tcsetattr(s, TCSANOW, &tio);
  lp.pty = m;
  lp.pty_slave = s;
  printf("pty %s\n", name);
  fflush(stdout);
  return 0;
}

void WriteAll(int fd, const uint8_t* p, size_t n) {
  size_t done = 0;
  int64_t deadline = NowMs() + 1000;
  while (done < n && NowMs() < deadline) {
    ssize_t w = write(fd, p + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd pfd{fd, POLLOUT, 0};
      poll(&pfd, 1, 100);
    } else {
      return;
    }
  }
}

void SendNow(Loop& lp, bool udp, const sockaddr_in& to, const std::vector<uint8_t>& bytes) {
  if (udp)
    sendto(lp.udp, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
  else
    WriteAll(lp.pty, bytes.data(), bytes.size());
}

void Deliver(Loop& lp, const Answer& a, bool udp, const sockaddr_in& to,
             std::vector<uint8_t> bytes) {
  if (!a.send || bytes.empty()) return;
  if (a.delay_ms > 0) {
    if (lp.delayed.size() >= kMaxDelayed) return;
    lp.delayed.push_back({NowMs() + a.delay_ms, udp, to, std::move(bytes)});
    return;
  }
  SendNow(lp, udp, to, bytes);
}

void OnDatagram(Sim& sim, Loop& lp) {
  uint8_t pkt[kMaxDatagram + 1];
  sockaddr_in from{};
  socklen_t flen = sizeof from;
  ssize_t n = recvfrom(lp.udp, pkt, sizeof pkt, 0, reinterpret_cast<sockaddr*>(&from), &flen);
  if (n < 0) return;
  sim.stats.udp++;
  size_t len = static_cast<size_t>(n);
  if (len < kUdpHeader || (static_cast<size_t>(pkt[4] << 8 | pkt[5])) > len - kUdpHeader) {
    Verbose(sim, "ignored: datagram of %zu bytes with a bad header", len);
    return;
  }
  size_t frames_len = static_cast<size_t>(pkt[4] << 8 | pkt[5]);
  unsigned seq = pkt[0] | (pkt[1] << 8);
  Verbose(sim, "udp datagram seq %u, %zu frame bytes", seq, frames_len);
  if (!ShmEnter(sim)) return;
  Answer a;
  int rc = ServeExchange(sim, pkt + kUdpHeader, frames_len, kUdpMaxFrames, a);
  ShmLeave(sim);
  if (rc != 0) return;
  if (a.bad_seq) seq ^= 0x8000;
  std::vector<uint8_t> out = {static_cast<uint8_t>(seq),
                              static_cast<uint8_t>(seq >> 8),
                              0x02,
                              0x00,
                              static_cast<uint8_t>(a.frames.size() >> 8),
                              static_cast<uint8_t>(a.frames.size())};
  out.insert(out.end(), a.frames.begin(), a.frames.end());
  Deliver(lp, a, true, from, std::move(out));
}

// Bytes from the line: complete frames are served one per exchange; a frame that stays
// incomplete across a pause is dropped so the line resynchronises.
void OnPty(Sim& sim, Loop& lp) {
  uint8_t buf[512];
  ssize_t n = read(lp.pty, buf, sizeof buf);
  if (n <= 0) return;
  int64_t now = NowMs();
  if (!lp.serial_in.empty() && now - lp.serial_last_ms > kSerialGapMs) {
    Verbose(sim, "ignored: %zu stale bytes on the line", lp.serial_in.size());
    lp.serial_in.clear();
  }
  lp.serial_last_ms = now;
  lp.serial_in.insert(lp.serial_in.end(), buf, buf + n);
  for (;;) {
    int len = FrameLength(lp.serial_in.data(), lp.serial_in.size());
    if (len < 0) {
      Verbose(sim, "ignored: byte 0x%02x on the line", lp.serial_in[0]);
      lp.serial_in.erase(lp.serial_in.begin());
      continue;
    }
    if (len == 0 || lp.serial_in.size() < static_cast<size_t>(len)) return;
    sim.stats.serial++;
    Answer a;
    if (ShmEnter(sim)) {
      int rc = ServeExchange(sim, lp.serial_in.data(), static_cast<size_t>(len), 1, a);
      ShmLeave(sim);
      if (rc == 0) Deliver(lp, a, false, sockaddr_in{}, a.frames);
    }
    lp.serial_in.erase(lp.serial_in.begin(), lp.serial_in.begin() + len);
  }
}

void OnAccept(Loop& lp) {
  int fd = accept4(lp.listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  if (lp.clients.size() >= kMaxClients) {
    close(fd);
    return;
  }
  ControlClient c;
  c.fd = fd;
  lp.clients.push_back(std::move(c));
}

void FlushClient(ControlClient& c) {
  while (!c.out.empty()) {
    ssize_t w = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (w > 0) {
      c.out.erase(0, static_cast<size_t>(w));
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else {
      if (w < 0 && errno != EAGAIN) c.out.clear(), c.closing = true;
      return;
    }
  }
}

// Reads a client's input and runs its complete lines. Returns false when it is gone.
bool OnClientInput(Sim& sim, ControlClient& c) {
  char buf[65536];
  ssize_t n = recv(c.fd, buf, sizeof buf, 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
  if (n < 0) return true;
  c.in.append(buf, static_cast<size_t>(n));
  size_t start = 0;
  for (;;) {
    size_t nl = c.in.find('\n', start);
    if (nl == std::string::npos || c.closing) break;
    size_t end = nl > start && c.in[nl - 1] == '\r' ? nl - 1 : nl;
    std::string reply = "ERR port locked";
    if (ShmEnter(sim)) {
      if (ControlCommand(sim, c.in.substr(start, end - start), NowMs(), reply) != 0)
        c.closing = true;
      ShmLeave(sim);
    }
    c.out += reply;
    c.out += '\n';
    start = nl + 1;
  }
  c.in.erase(0, start);
  if (c.in.size() > kMaxControlLine) {
    c.out += "ERR line too long\n";
    c.in.clear();
    c.closing = true;
  }
  FlushClient(c);
  return true;
}

void SendDueReplies(Loop& lp) {
  int64_t now = NowMs();
  for (size_t i = 0; i < lp.delayed.size();) {
    if (lp.delayed[i].due_ms <= now) {
      SendNow(lp, lp.delayed[i].udp, lp.delayed[i].to, lp.delayed[i].bytes);
      lp.delayed.erase(lp.delayed.begin() + static_cast<long>(i));
    } else {
      i++;
    }
  }
}

// Without moves, delayed answers or a held lock the loop sleeps until something arrives.
int PollTimeout(const Sim& sim, const Loop& lp) {
  int64_t first = ShmDueMs(sim);
  if (!sim.moves.empty() && (first < 0 || lp.next_move_ms < first)) first = lp.next_move_ms;
  for (const auto& d : lp.delayed) first = first < 0 || d.due_ms < first ? d.due_ms : first;
  if (first < 0) return -1;
  int64_t wait = first - NowMs();
  return wait < 0 ? 0 : static_cast<int>(wait);
}

void TickMoves(Sim& sim, Loop& lp) {
  int64_t now = NowMs();
  if (sim.moves.empty() || now < lp.next_move_ms || !ShmEnter(sim)) return;
  ApplyMoves(sim, now);
  ShmLeave(sim);
  lp.next_move_ms = now + kMoveTickMs;
}

// The loop: signals, datagrams, the line, control clients, delayed replies, moving values.
void Run(Sim& sim, Loop& lp) {
  for (;;) {
    std::vector<pollfd> pfds;
    pfds.push_back({lp.sig_r, POLLIN, 0});
    pfds.push_back({lp.udp, POLLIN, 0});
    pfds.push_back({lp.pty, POLLIN, 0});
    pfds.push_back({lp.listen, POLLIN, 0});
    for (const auto& c : lp.clients)
      pfds.push_back({c.fd, static_cast<short>(c.out.empty() ? POLLIN : POLLIN | POLLOUT), 0});
    int r = poll(pfds.data(), pfds.size(), PollTimeout(sim, lp));
    if (r < 0 && errno != EINTR) return;
    if (r > 0 && (pfds[0].revents & POLLIN)) return;
    SendDueReplies(lp);
    TickMoves(sim, lp);
    ShmTick(sim, NowMs());
    if (r <= 0) continue;
    if (pfds[1].revents & POLLIN) OnDatagram(sim, lp);
    if (pfds[2].revents & POLLIN) OnPty(sim, lp);
    if (pfds[3].revents & POLLIN) OnAccept(lp);
    // Clients accepted just now are not in pfds; only the ones polled are looked at.
    size_t polled = pfds.size() - 4;
    std::vector<ControlClient> keep;
    for (size_t i = 0; i < lp.clients.size(); i++) {
      ControlClient& c = lp.clients[i];
      bool alive = true;
      short ev = i < polled ? pfds[4 + i].revents : 0;
      if (ev & (POLLIN | POLLHUP | POLLERR)) alive = OnClientInput(sim, c);
      if (alive && (ev & POLLOUT)) FlushClient(c);
      if (!alive || (c.closing && c.out.empty())) {
        close(c.fd);
        continue;
      }
      keep.push_back(std::move(c));
    }
    lp.clients.swap(keep);
  }
}

int ParseOptions(int argc, char** argv, Options& o, Sim& sim) {
  static const option kLong[] = {
      {"udp", required_argument, nullptr, 'u'},     {"pty", no_argument, nullptr, 'p'},
      {"control", required_argument, nullptr, 'c'}, {"project", required_argument, nullptr, 'j'},
      {"files", required_argument, nullptr, 'f'},   {"addr", required_argument, nullptr, 'a'},
      {"regsize", required_argument, nullptr, 'r'}, {"shm", required_argument, nullptr, 's'},
      {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0}};
  int c;
  char* end = nullptr;
  while ((c = getopt_long(argc, argv, "vh", kLong, nullptr)) != -1) {
    switch (c) {
      case 'u':
        o.udp = optarg;
        break;
      case 'p':
        o.pty = true;
        break;
      case 'c':
        o.control = optarg;
        break;
      case 'j':
        o.project = optarg;
        break;
      case 'f':
        o.files = optarg;
        break;
      case 's':
        o.shm = optarg;
        break;
      case 'v':
        sim.verbose = true;
        break;
      case 'a': {
        long a = strtol(optarg, &end, NumberBase(optarg));
        if (*end || a < 0 || a > 255) return 1;
        sim.addr = static_cast<uint8_t>(a);
        break;
      }
      case 'r': {
        unsigned long long n = strtoull(optarg, &end, NumberBase(optarg));
        if (*end || optarg[0] == '-' || n == 0 || n > kMaxRegSize) return 1;
        sim.regsize = static_cast<size_t>(n);
        break;
      }
      default:
        return 1;
    }
  }
  return optind == argc ? 0 : 1;
}

void CloseLoop(Loop& lp) {
  for (int fd : {lp.udp, lp.pty, lp.pty_slave, lp.listen})
    if (fd >= 0) close(fd);
  for (auto& c : lp.clients) close(c.fd);
  lp.clients.clear();
}

}  // namespace

int main(int argc, char** argv) {
  Sim sim;
  Options opt;
  if (ParseOptions(argc, argv, opt, sim) != 0) {
    Usage();
    return 2;
  }
  InitRegisters(sim);
  if (!opt.shm.empty() && ShmCreate(sim, opt.shm) != 0) return 1;
  if (!opt.project.empty() && LoadProject(sim, opt.project, opt.files.empty()) != 0) {
    ShmRemove(sim);
    return 1;
  }
  ShmPublish(sim);
  if (!opt.files.empty()) sim.files = opt.files;

  int sp[2];
  if (pipe2(sp, O_CLOEXEC | O_NONBLOCK) != 0) {
    ShmRemove(sim);
    return 1;
  }
  sig_pipe_w = sp[1];
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Loop lp;
  lp.sig_r = sp[0];
  int rc = 0;
  if (!opt.udp.empty() && (lp.udp = OpenSocket(opt.udp, SOCK_DGRAM, "udp")) < 0) rc = 1;
  if (rc == 0 && opt.pty && OpenPty(lp) != 0) rc = 1;
  if (rc == 0 && !opt.control.empty() &&
      (lp.listen = OpenSocket(opt.control, SOCK_STREAM, "control")) < 0)
    rc = 1;
  if (rc == 0) Run(sim, lp);
  CloseLoop(lp);
  CloseAllFiles(sim);
  ShmRemove(sim);
  close(sp[0]);
  close(sp[1]);
  return rc;
}
