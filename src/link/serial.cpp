// The serial transport: line set-up through termios2 (arbitrary speeds), one frame per exchange,
// the frame's end found from its first byte, and the transmit wait before RTS drops.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "app/log.h"
#include "link/dorvik.h"

static_assert(sizeof(termios2) <= sizeof(SEREP_T::saved), "saved line settings do not fit");

namespace {

using Clock = std::chrono::steady_clock;

tcflag_t CharSize(int data_bits) {
  switch (data_bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

// Builds the line settings from the endpoint's codes; reports unsupported codes and goes on.
void BuildLine(SEREP_T* ep, termios2* t) {
  t->c_cflag |= CharSize(ep->data_bits);
  int stop_bits = 1;
  if (ep->stop_bits == 1 || ep->stop_bits == 2) {
    t->c_cflag |= CSTOPB;
    stop_bits = 2;
  } else if (ep->stop_bits != 0) {
    Error("Serial_Init", "Unsupported stop bits size!");
    stop_bits = 0;  // one stop bit is used but not counted
  }
  int parity_bits = 1;
  switch (ep->parity) {
    case 0:
      parity_bits = 0;
      break;
    case 1:
      t->c_cflag |= PARENB;
      break;
    case 2:
      t->c_cflag |= PARENB | PARODD;
      break;
    case 3:
      t->c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case 4:
      t->c_cflag |= PARENB | CMSPAR;
      break;
    default:
      Error("Serial_Init", "Unsupported parity!");
      parity_bits = 0;
  }
  switch (ep->flow) {
    case 0:
      break;
    case 1:
      t->c_cflag |= CRTSCTS;
      break;
    case 2:
      t->c_iflag |= IXON | IXOFF;
      break;
    default:
      Error("Serial_Init", "Unsupported flow control!");
  }
  ep->bits_per_char = 1 + ep->data_bits + stop_bits + parity_bits;
}

void SleepUs(long long us) {
  timespec ts = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void DiscardInput(int fd) {
  unsigned char junk[256];
  while (read(fd, junk, sizeof junk) > 0) {
  }
}

// Where the reply frame ends, from what has arrived: -1 while unknown.
int FrameEnd(const unsigned char* reply, int got) {
  if (reply[0] == 0x10) return 5;
  if (reply[0] == 0x68 && got >= 2) return reply[1] + 5;
  return -1;
}

}  // namespace

extern "C" {

long long Serial_TxWaitUs(int len, int bits_per_char, int speed) {
  if (speed <= 0) return 1000;
  return static_cast<long long>(len) * bits_per_char * 1000000LL / speed + 1000;
}

int Serial_Init(SEREP_T* ep, const char* device) {
  ep->fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (ep->fd < 0) {
    ep->fd = -1;
    Error("Serial_Init", "Unable to open device!");
    return 1;
  }
  termios2 saved;
  memset(&saved, 0, sizeof saved);
  ioctl(ep->fd, TCGETS2, &saved);
  memcpy(ep->saved, &saved, sizeof saved);

  termios2 t;
  memset(&t, 0, sizeof t);
  t.c_cflag = CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  const char* fault = nullptr;
  if (ep->speed <= 0) {
    fault = "Wrong communication speed!";
  } else if (ep->data_bits < 5 || ep->data_bits > 8) {
    fault = "Wrong number of data bits!";
  } else {
    t.c_ispeed = static_cast<speed_t>(ep->speed);
    t.c_ospeed = static_cast<speed_t>(ep->speed);
    BuildLine(ep, &t);
    if (ioctl(ep->fd, TCSETS2, &t) != 0) fault = "Unable to set device attr!";
  }
  if (fault) {
    Error("Serial_Init", fault);
    close(ep->fd);  // nothing was changed on the line yet, or the change failed
    ep->fd = -1;
    return 1;
  }
  return 0;
}

int Serial_SendData(SEREP_T* ep, const unsigned char* request, unsigned char* reply,
                    int request_len, int reply_len, int* error, int reply_cap) {
  *error = 0;
  DiscardInput(ep->fd);
  unsigned timeout =
      ep->timeout == 0 ? static_cast<unsigned>(DORVIK_DEFAULT_TIMEOUT_MS) : ep->timeout;
  long long budget_ms = static_cast<long long>(timeout) + ep->extra_wait.load();

  Serial_Set_RTS(ep, 1);
  int sent = 0;
  while (sent < request_len) {
    ssize_t w = write(ep->fd, request + sent, static_cast<size_t>(request_len - sent));
    if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
      pollfd p = {ep->fd, POLLOUT, 0};
      if (errno == EAGAIN && poll(&p, 1, 100) <= 0) break;
      continue;
    }
    if (w <= 0) break;
    sent += static_cast<int>(w);
  }
  if (sent < request_len) Error("Serial_SendData", "Send data error!");
  SleepUs(Serial_TxWaitUs(request_len, ep->bits_per_char, ep->speed));
  Serial_Set_RTS(ep, 0);

  if (reply_len > reply_cap) reply_len = reply_cap;
  if (reply_len <= 0) return 0;
  memset(reply, 0, static_cast<size_t>(reply_len));

  int target = reply_len;
  int got = 0;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(budget_ms);
  for (;;) {
    long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p = {ep->fd, POLLIN, 0};
    int r = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) {
      Error("Serial_SendData", "Receive data timeout!");
      return 1;  // the code stays 0; the service's check fails on the cleared area
    }
    ssize_t n = r > 0 ? read(ep->fd, reply + got, static_cast<size_t>(target - got)) : -1;
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      *error = DORVIK_ERR_NOANSWER;
      Error("Serial_SendData", "Receive data error!");
      return 1;
    }
    got += static_cast<int>(n);
    // A short frame acknowledging a write is 6 bytes even when one byte (0xE5) was expected.
    if (reply[0] == 0x10 && target < 6 && reply_cap >= 6) {
      memset(reply + target, 0, static_cast<size_t>(6 - target));
      target = 6;
    }
    int end = FrameEnd(reply, got);
    if (end >= 0 && got > end && reply[end] == 0x16) return 0;
    if (got >= target) return 0;
  }
}

int Serial_Exit(SEREP_T* ep) {
  if (ep->fd > 0) {
    termios2 saved;
    memcpy(&saved, ep->saved, sizeof saved);
    ioctl(ep->fd, TCSETS2, &saved);
    close(ep->fd);
  }
  ep->fd = -1;
  return 0;
}

}  // extern "C"
