// The communication object's side of its clients: the listening socket at thread start, the poll
// that ends the idle wait on client input, the per-cycle connection upkeep, and the closing of
// every connection when the thread ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "app/clock.h"
#include "app/globals.h"
#include "app/log.h"
#include "client/netcomm.h"
#include "client/protocol.h"
#include "comm/commobj.h"
#include "plc/optimreq.h"
#include "plc/pubfile_ops.h"

namespace {

bool Connected(const NETCOMM_T* r) {
  return (r->state & NET_CONNECTED) && r->sock >= 1;
}

// Closes a finished client and makes its slot reusable.
void CloseFinished(const char* func, COMMOBJ_T* obj, NETCOMM_T* r, int count) {
  CloseCliNetComm(r);
  log(func, 0, "PLC-%d (%s): Closed connection from %s [%d/%d]", obj->cfg.plc_num, obj->cfg.name,
      r->addr, count, net_connect_max);
  ResetNetCommRec(r);
  r->state = NET_FREE;
  obj->active_changed = 3;
}

char stop_mark;  // the stop descriptor's entry in the readiness set

// Interest of the listening socket in the readiness set (it has no client record).
void WatchListen(COMMOBJ_T* obj, bool on) {
  if (obj->poll_fd < 0 || obj->listen_sock <= 0 || obj->listen_watched == on) return;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;
  epoll_ctl(obj->poll_fd, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, obj->listen_sock, &ev);
  obj->listen_watched = on;
}

}  // namespace

int StartNetCommObject(COMMOBJ_T* obj) {
  NETCOMM_T* head = AddNetCommRec(nullptr);
  if (!head) {
    log("ThreadCommObject", 0, "PLC-%d (%s): Unable to allocate memory for 'NetComm' record!!!",
        obj->cfg.plc_num, obj->cfg.name);
    StopOnStartFailure();
    return 1;
  }
  obj->clients = head;
  head->sock = -1;
  snprintf(head->local_addr, sizeof head->local_addr, "%s", obj->cfg.ipaddr_local);
  log("ThreadCommObject", 0,
      "PLC-%d (%s): Initializing network communication on local ip address '%s' and port '%d'",
      obj->cfg.plc_num, obj->cfg.name, head->local_addr, obj->cfg.server_port);
  if (InitNetComm(head, obj->cfg.server_port) != 0) {
    log("ThreadCommObject", 0, "PLC-%d (%s): Unable to initialize network communication!!!",
        obj->cfg.plc_num, obj->cfg.name);
    StopOnStartFailure();
    return 1;
  }
  obj->listen_sock = head->listen_sock;
  head->state = NET_FREE;
  // The readiness set: what the idle wait wakes on, so a cycle touches only the clients that
  // have something to read or to send.
  obj->poll_fd = epoll_create1(EPOLL_CLOEXEC);
  WatchListen(obj, true);
  if (obj->poll_fd >= 0 && StopFd() >= 0) {
    // A stop request ends the idle wait at once.
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &stop_mark;
    epoll_ctl(obj->poll_fd, EPOLL_CTL_ADD, StopFd(), &ev);
  }
  log("ThreadCommObject", 0, "PLC-%d (%s): Network communication initialized...", obj->cfg.plc_num,
      obj->cfg.name);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(obj->listen_sock, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    log("ThreadCommObject", 1, "PLC-%d (%s): Listening on port %d", obj->cfg.plc_num, obj->cfg.name,
        ntohs(a.sin_port));
  return 0;
}

int DropSlowNetComm(COMMOBJ_T* obj, NETCOMM_T* rec) {
  log("SendNetComm", 0,
      "PLC-%d (%s): Output of client %s exceeds its buffer (%zuB). Closing connection!!!",
      obj->cfg.plc_num, obj->cfg.name, rec->addr, rec->tx_len);
  rec->state = NET_FREE;
  return 1;
}

void WatchNetComm(COMMOBJ_T* obj, NETCOMM_T* r) {
  uint32_t want = 0;
  if ((r->state & NET_CONNECTED) && !(r->state & NET_FREE) && r->sock >= 1) {
    if (!(r->state & NET_PENDING)) want |= EPOLLIN;
    if (r->tx_len > 0) want |= EPOLLOUT;  // a slow client's queue can move on
  }
  if (want == r->poll_events || obj->poll_fd < 0) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.ptr = r;
  const int op = r->poll_events == 0 ? EPOLL_CTL_ADD : want == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
  epoll_ctl(obj->poll_fd, op, r->sock, &ev);
  r->poll_events = want;
}

int PollNetCommObject(COMMOBJ_T* obj, long timeout_us) {
  if (obj->poll_fd < 0) return 0;
  // A listening socket that keeps failing to accept (no descriptors left) stays ready: it is
  // left out of this one wait.
  WatchListen(obj, !obj->listen_backoff);
  epoll_event ev[64];
  const int ms = timeout_us <= 0 ? 0 : static_cast<int>((timeout_us + 999) / 1000);
  int n = epoll_wait(obj->poll_fd, ev, 64, ms);
  for (int i = 0; i < n; ++i) {
    if (ev[i].data.ptr == &stop_mark) continue;
    if (!ev[i].data.ptr) {
      obj->listen_ready = 1;
      continue;
    }
    NETCOMM_T* r = static_cast<NETCOMM_T*>(ev[i].data.ptr);
    if (ev[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) r->readable = 1;
  }
  return n > 0 ? 1 : 0;
}

namespace {

// At most this many connections are accepted in one cycle: a reconnecting farm of clients gets
// in within a few cycles, and one cycle stays short.
constexpr int kAcceptBurst = 64;

// A record for the next connection: `freed` when given, else the first free one without a
// socket, else a new one. Null when memory runs out.
NETCOMM_T* FreeSlotNetComm(COMMOBJ_T* obj, NETCOMM_T* freed) {
  if (freed) return freed;
  for (NETCOMM_T* r = obj->clients; r; r = r->next)
    if ((r->state & NET_FREE) && r->sock < 1) return r;
  NETCOMM_T* slot = AddNetCommRec(obj->clients);
  if (!slot) return nullptr;
  if (!obj->clients) obj->clients = slot;
  slot->state = NET_FREE;
  return slot;
}

// Accepts one waiting connection into the slot. 0 accepted, 1 none (or over the limit: refused,
// closed by the next upkeep), -1 on a fatal error.
int AcceptOneNetComm(COMMOBJ_T* obj, NETCOMM_T* slot) {
  slot->sock = -1;
  slot->listen_sock = obj->listen_sock;
  if (AcceptNectComm(slot) != 0) {
    // Anything but "nobody waiting" (no descriptors left, ...) would keep the listening socket
    // ready; the next idle wait then does not wake on it.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) obj->listen_backoff = 1;
    return 1;
  }
  slot->conn_time = ClockNow();
  obj->conn_count++;
  if (obj->conn_count > net_connect_max) {
    log("UpdateNetCommObject", 0,
        "PLC-%d (%s): Unable to accepting connection from %s. Maximum connections reached "
        "[%d/%d]!!!",
        obj->cfg.plc_num, obj->cfg.name, slot->addr, obj->conn_count, net_connect_max);
    slot->state = NET_FREE;
    return 1;
  }
  log("UpdateNetCommObject", 0, "PLC-%d (%s): Accepting connection from %s [%d/%d]",
      obj->cfg.plc_num, obj->cfg.name, slot->addr, obj->conn_count, net_connect_max);
  if (obj->pf) {
    slot->pf = ClonePubFile(obj->pf);
    if (!slot->pf) {
      log("UpdateNetCommObject", 0, "PLC-%d (%s): Unable to create copy of public file!!!",
          obj->cfg.plc_num, obj->cfg.name);
      RequestStop();
      return -1;
    }
  }
  obj->pf_crc = 0;
  obj->active_changed = 3;
  slot->state = NET_CONNECTED;
  return 0;
}

}  // namespace

int UpdateNetCommObject(COMMOBJ_T* obj) {
  NETCOMM_T* freed = nullptr;
  for (NETCOMM_T* r = obj->clients; r; r = r->next) {
    if ((r->state & NET_FREE) && r->sock >= 1) {
      CloseFinished("UpdateNetCommObject", obj, r, obj->conn_count);
      obj->conn_count--;
      freed = r;
    } else if (Connected(r) && r->readable) {
      obj->wakeup = 1;
    }
  }
  // The listening socket is tried only when the readiness set reported it (or there is no set).
  if (obj->poll_fd >= 0 && !obj->listen_ready) return 0;
  obj->listen_ready = 0;
  for (int n = 0; n < kAcceptBurst; ++n) {
    NETCOMM_T* slot = FreeSlotNetComm(obj, freed);
    if (!slot) return 0;  // no memory for another slot now; nobody else is accepted this cycle
    freed = nullptr;
    int rc = AcceptOneNetComm(obj, slot);
    if (rc != 0) return rc < 0 ? -1 : 0;
    WatchNetComm(obj, slot);
  }
  return 0;
}

int CloseNetCommObject(COMMOBJ_T* obj) {
  int count = CountActRecNetComm(obj->clients);
  for (NETCOMM_T* r = obj->clients; r; r = r->next) {
    if (Connected(r)) {
      CloseFinished("CloseNetCommObject", obj, r, count);
      count--;
    } else if ((r->state & NET_FREE) && r->sock >= 1) {
      // Refused or finished in the last cycle: already logged as closed by its reason.
      CloseCliNetComm(r);
      ResetNetCommRec(r);
      r->state = NET_FREE;
    }
  }
  if (obj->poll_fd >= 0) close(obj->poll_fd);
  obj->poll_fd = -1;
  obj->listen_watched = false;
  if (obj->clients) {
    CloseSrvNetComm(obj->clients);
    obj->listen_sock = -1;
    log("CloseNetCommObject", 0, "PLC-%d (%s): Network communication exited...", obj->cfg.plc_num,
        obj->cfg.name);
  }
  return 0;
}
