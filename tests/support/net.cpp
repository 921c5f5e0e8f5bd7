// Loopback socket helpers for tests.
#include "support/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace kt {

int BoundSocket(int type, int* port, const char* ip) {
  int fd = socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = inet_addr(ip);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

int TcpConnect(int port, std::chrono::milliseconds timeout, int rcvbuf) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    close(fd);
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool SendAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

static int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Reads what is available within the deadline; -1 closed/error, 0 time-out, else bytes.
static ssize_t ReadSome(int fd, std::string& into, std::chrono::steady_clock::time_point deadline) {
  pollfd p{fd, POLLIN, 0};
  int r = poll(&p, 1, RemainingMs(deadline));
  if (r <= 0) return 0;
  char buf[65536];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  if (n <= 0) return -1;
  into.append(buf, static_cast<size_t>(n));
  return n;
}

bool RecvLine(int fd, std::string& pending, std::string& line, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    size_t nl = pending.find('\n');
    if (nl != std::string::npos) {
      line = pending.substr(0, nl + 1);
      pending.erase(0, nl + 1);
      return true;
    }
    ssize_t n = ReadSome(fd, pending, deadline);
    if (n < 0 || (n == 0 && RemainingMs(deadline) == 0)) return false;
  }
}

bool RecvN(int fd, std::string& out, size_t n, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < n) {
    ssize_t r = ReadSome(fd, out, deadline);
    if (r < 0 || (r == 0 && RemainingMs(deadline) == 0)) return false;
  }
  return true;
}

bool WaitClosed(int fd, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string sink;
  for (;;) {
    ssize_t r = ReadSome(fd, sink, deadline);
    if (r < 0) return true;
    if (r == 0 && RemainingMs(deadline) == 0) return false;
  }
}

std::string RecvFor(int fd, std::chrono::milliseconds window) {
  auto deadline = std::chrono::steady_clock::now() + window;
  std::string got;
  while (RemainingMs(deadline) > 0 && ReadSome(fd, got, deadline) >= 0) {
  }
  return got;
}

}  // namespace kt
