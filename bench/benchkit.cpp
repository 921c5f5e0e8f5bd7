// Shared helpers of the measuring programs.
#include "benchkit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace bench {

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int TcpConnect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool SendAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, 1000);
        continue;
      }
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool SendAll(int fd, const std::string& text) {
  return SendAll(fd, text.data(), text.size());
}

bool LineReader::Fill(int timeout_ms) {
  if (pos > 0 && pos == buf.size()) {
    buf.clear();
    pos = 0;
  } else if (pos > (1 << 20)) {
    buf.erase(0, pos);
    pos = 0;
  }
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char chunk[65536];
  ssize_t n = recv(fd, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  buf.append(chunk, static_cast<size_t>(n));
  return true;
}

bool LineReader::Next(std::string* line, int timeout_ms, char delim) {
  const int64_t deadline = NowNs() + int64_t{timeout_ms} * 1000000;
  for (;;) {
    size_t end = buf.find(delim, pos);
    if (end != std::string::npos) {
      size_t stop = delim == '\n' && end > pos && buf[end - 1] == '\r' ? end - 1 : end;
      line->assign(buf, pos, stop - pos);
      pos = end + 1;
      return true;
    }
    int left = static_cast<int>((deadline - NowNs()) / 1000000);
    if (left < 0 || !Fill(left)) return false;
  }
}

bool LineReader::Bytes(size_t n, std::string* out, int timeout_ms) {
  const int64_t deadline = NowNs() + int64_t{timeout_ms} * 1000000;
  while (buf.size() - pos < n) {
    int left = static_cast<int>((deadline - NowNs()) / 1000000);
    if (left < 0 || !Fill(left)) return false;
  }
  out->assign(buf, pos, n);
  pos += n;
  return true;
}

double Percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
  return v[rank == 0 ? 0 : std::min(rank, v.size()) - 1];
}

bool Control::Open(int port) {
  fd = TcpConnect(port);
  in.fd = fd;
  return fd >= 0;
}

std::string Control::Cmd(const std::string& line) {
  std::string reply;
  if (!SendAll(fd, line + "\n") || !in.Next(&reply)) return "";
  return reply;
}

Control::~Control() {
  if (fd >= 0) close(fd);
}

SimStats ParseStats(const std::string& reply) {
  SimStats s;
  long long r = 0, f = 0, u = 0;
  if (sscanf(reply.c_str(), "OK requests=%lld frames=%lld udp=%lld", &r, &f, &u) == 3) {
    s.requests = r;
    s.frames = f;
    s.udp = u;
  }
  return s;
}

double ProcCpuSeconds(int pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = fopen(path, "r");
  if (!f) return -1;
  char text[1024] = {};
  size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[n] = 0;
  // Fields after the command name, which may hold spaces: state is field 3, utime 14, stime 15.
  const char* p = strrchr(text, ')');
  if (!p) return -1;
  unsigned long long ut = 0, st = 0;
  if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2)
    return -1;
  return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ProcRssKiB(int pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", pid);
  FILE* f = fopen(path, "r");
  if (!f) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, f))
    if (sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  fclose(f);
  return kib;
}

void Put(const char* key, double value) {
  printf("%s=%.6g\n", key, value);
}

void Put(const char* key, const std::string& value) {
  printf("%s=%s\n", key, value.c_str());
}

bool CyclePoller::Start(int control_port, int quiet_ms) {
  quiet_ms_ = quiet_ms;
  if (!ctl_.Open(control_port)) return false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void CyclePoller::Run() {
  int64_t last = ParseStats(ctl_.Cmd("stats")).requests;
  int64_t last_poll = NowNs(), last_rise = 0;
  while (!stop_.load()) {
    timespec ms = {0, 1000000};
    nanosleep(&ms, nullptr);
    const int64_t now = NowNs();
    const int64_t r = ParseStats(ctl_.Cmd("stats")).requests;
    if (r < 0) break;
    if (r > last) {
      if (bursts_.empty() || now - last_rise > int64_t{quiet_ms_} * 1000000)
        bursts_.push_back({(last_poll + now) / 2, now, 0});
      bursts_.back().requests += r - last;
      bursts_.back().end_ns = now;
      total_ += r - last;
      last_rise = now;
      last = r;
    }
    last_poll = now;
  }
}

std::vector<Burst> CyclePoller::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return bursts_;
}

}  // namespace bench
