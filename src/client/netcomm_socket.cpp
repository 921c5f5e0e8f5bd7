// Sockets of the client connections: the listening socket, accepting, receiving into the
// fixed buffer, and sending from the output queue without waiting for a slow client.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/globals.h"
#include "app/log.h"
#include "client/netcomm.h"
#include "client/protocol.h"

namespace {

void SleepMs(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

int InitNetComm(NETCOMM_T* rec, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    log("InitNetComm", 0, "Unable to create socket: %s!", strerror(errno));
    return 1;
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    log("InitNetComm", 0,
        "Unable to set socket options. Socket can't be bound to an address that is already in "
        "use: %s!",
        strerror(errno));
    close(fd);
    return 1;
  }
  SetNonBlocking(fd);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = inet_addr(rec->local_addr);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    log("InitNetComm", 0, "Unable to bind socket: %s!", strerror(errno));
    close(fd);
    return 1;
  }
  // Room for every client the object may serve to knock at once (an HMI farm reconnecting).
  if (listen(fd, net_connect_max > 10 ? net_connect_max : 10) != 0) {
    log("InitNetComm", 0, "Unable to listen in port: %s!", strerror(errno));
    close(fd);
    return 1;
  }
  rec->listen_sock = fd;
  return 0;
}

int AcceptNectComm(NETCOMM_T* rec) {
  rec->json = json_proto;
  rec->crlf = end_line_crlf;
  rec->diff = diff_var_enabled;
  sockaddr_in a{};
  socklen_t len = sizeof a;
  int fd = accept(rec->listen_sock, reinterpret_cast<sockaddr*>(&a), &len);
  if (fd < 0) return 1;
  rec->sock = fd;
  if (!inet_ntop(AF_INET, &a.sin_addr, rec->addr, sizeof rec->addr)) rec->addr[0] = '\0';
  SetNonBlocking(fd);
  // A peer that vanished without closing is found within a few minutes, so its slot does not
  // keep refusing live clients.
  int on = 1, idle = 60, interval = 10, count = 5;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  return 0;
}

int RecvNetComm(NETCOMM_T* rec) {
  ClearRxNetComm(rec);
  // What one call takes in must fit behind the unfinished line and the text held back, or a
  // line of the longest allowed length would be cut where two reads meet.
  const size_t held = rec->pending_len + rec->deferred_len;
  size_t budget = held < kLineMax ? kLineMax - held : 0;
  if (budget == 0 && rec->deferred_len > 0) {  // the held-back text is served first
    rec->readable = 1;
    return 0;
  }
  // A full unfinished line is overlong already: what follows is read at full pace and dropped.
  if (budget == 0 || budget > kNetRecvBudget) budget = kNetRecvBudget;
  while (rec->rx_len < budget) {
    ssize_t n = recv(rec->sock, rec->rx + rec->rx_len, budget - rec->rx_len, 0);
    if (n < 0) return 0;  // nothing more for now; any error counts the same
    if (n == 0) {
      // Requests that came with the peer's close are still served: the close waits for them.
      if (rec->rx_len == 0) return 1;
      rec->peer_closed = 1;
      return 0;
    }
    rec->rx_len += static_cast<size_t>(n);
  }
  rec->readable = 1;  // the budget ended the read: more may be waiting
  return 0;
}

int AmountOfUnreadDataNetComm(NETCOMM_T* rec) {
  int n = 0;
  if (ioctl(rec->sock, FIONREAD, &n) != 0) {
    log("AmountOfUnreadDataNetComm", 0,
        "Unable to get amount of unread data in the socket recive queue: %s!", strerror(errno));
    return 0;
  }
  return n;
}

namespace {

// The drain wait of the send path; its lines carry the name of the function that waits.
int DrainNetComm(NETCOMM_T* rec, int tries, const char* func) {
  int queued = 0;
  for (int left = tries; left > 0; --left) {
    if (ioctl(rec->sock, TIOCOUTQ, &queued) != 0) {
      log(func, 0, "Unable to get amount of unsent data in the socket send queue: %s!",
          strerror(errno));
    } else if (queued == 0) {
      return left;
    }
    SleepMs(1);
    // A peer that went away would otherwise keep us here for the whole second.
    if (left % 10 == 0 && send(rec->sock, "", 0, MSG_NOSIGNAL) < 0) return left;
  }
  log(func, 0, "Too many data in transmit buffer (%dB). Slow client connected from %s", queued,
      rec->addr);
  return 0;
}

}  // namespace

int WaitCliNetComm(NETCOMM_T* rec, int tries) {
  return DrainNetComm(rec, tries, "WaitCliNetComm");
}

int QueueNetComm(NETCOMM_T* rec, const char* data, size_t n) {
  if (rec->tx_len + n >= kNetBufSize) return 1;
  memcpy(rec->tx + rec->tx_len, data, n);
  rec->tx_len += n;
  rec->tx[rec->tx_len] = '\0';
  return 0;
}

int SendNetComm(NETCOMM_T* rec, long len) {
  size_t n = len < 0 ? rec->tx_len : static_cast<size_t>(len);
  if (n > rec->tx_len) n = rec->tx_len;
  if (n == 0) return 0;
  log("SendNetComm", 1, "%10s %d %d [RX: %d / TX: %d] omsg = %.*s", rec->addr, rec->sock,
      rec->state, static_cast<int>(rec->rx_len), static_cast<int>(n), static_cast<int>(n), rec->tx);
  size_t off = 0;
  while (off < n) {
    ssize_t s = send(rec->sock, rec->tx + off, n - off, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (s > 0) {
      off += static_cast<size_t>(s);
      continue;
    }
    if (s < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
    return 1;
  }
  // What the socket did not take waits, in order, for the next cycle; nobody waits for it.
  memmove(rec->tx, rec->tx + off, rec->tx_len - off);
  rec->tx_len -= off;
  rec->tx[rec->tx_len] = '\0';
  if (rec->tx_len > 0 && !rec->stalled) {
    int queued = 0;
    ioctl(rec->sock, TIOCOUTQ, &queued);
    log("SendNetComm", 0, "Too many data in transmit buffer (%dB). Slow client connected from %s",
        queued + static_cast<int>(rec->tx_len), rec->addr);
  }
  rec->stalled = rec->tx_len > 0 ? 1 : 0;
  return 0;
}

void CloseCliNetComm(NETCOMM_T* rec) {
  rec->crlf = end_line_crlf;
  if (rec->sock > 0) close(rec->sock);
}

void CloseSrvNetComm(NETCOMM_T* rec) {
  if (rec->listen_sock > 0) close(rec->listen_sock);
  rec->listen_sock = -1;
}

int ExitNetComm(NETCOMM_T* rec) {
  (void)rec;
  return 0;
}
