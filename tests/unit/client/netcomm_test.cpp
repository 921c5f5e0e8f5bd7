// Client records and their sockets over a real loopback connection.
#include "client/netcomm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "app/globals.h"
#include "client/protocol.h"
#include "comm/commobj.h"
#include "plc/optimreq.h"
#include "support/net.h"

using namespace std::chrono_literals;

namespace {

// A server-side client record connected to a test socket over 127.0.0.1.
struct Pair {
  NETCOMM_T* rec = AddNetCommRec(nullptr);
  int peer = -1;
  Pair() {
    snprintf(rec->local_addr, sizeof rec->local_addr, "127.0.0.1");
    if (InitNetComm(rec, 0) != 0) return;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(rec->listen_sock, reinterpret_cast<sockaddr*>(&a), &len);
    peer = kt::TcpConnect(ntohs(a.sin_port));
    // The connection is queued on the listening socket; accept it (bounded retries).
    for (int i = 0; i < 1000 && AcceptNectComm(rec) != 0; ++i) usleep(1000);
    rec->state = NET_CONNECTED;
  }
  ~Pair() {
    CloseCliNetComm(rec);
    CloseSrvNetComm(rec);
    if (peer >= 0) close(peer);
    RemoveNetComm(rec);
  }
};

}  // namespace

TEST(NetCommList, AddSeekRemoveCount) {
  EXPECT_EQ(SeekNetComm(nullptr, 0), nullptr);
  NETCOMM_T* a = AddNetCommRec(nullptr);
  NETCOMM_T* b = AddNetCommRec(a);
  NETCOMM_T* c = AddNetCommRec(a);  // appended after the last, whichever record is given
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(a->next, b);
  EXPECT_EQ(b->next, c);
  EXPECT_EQ(c->prev, b);
  EXPECT_EQ(SeekNetComm(c, 0), a);
  EXPECT_EQ(SeekNetComm(a, 2), c);
  EXPECT_EQ(SeekNetComm(b, 1), b);
  EXPECT_EQ(a->state, 0);
  EXPECT_EQ(a->rx[kNetBufSize - 1], 0);

  b->state = NET_CONNECTED;
  c->state = NET_CONNECTED | NET_PENDING;
  EXPECT_EQ(CountActRecNetComm(a), 2);
  net_connect_max = 7;
  EXPECT_EQ(CountRecNetComm(a), 7);
  ResetGlobalSettings();

  // A reset slot keeps its links and loses its lists and used buffer bytes.
  b->get_req = AddCliReqRec(nullptr);
  AddCliReqRec(b->get_req);
  memcpy(b->rx, "GET:A\n", 6);
  b->rx_len = 6;
  b->pending_len = 3;
  memcpy(b->pending, "abc", 3);
  snprintf(b->addr, sizeof b->addr, "1.2.3.4");
  ResetNetCommRec(b);
  EXPECT_EQ(b->prev, a);
  EXPECT_EQ(b->next, c);
  EXPECT_EQ(b->get_req, nullptr);
  EXPECT_EQ(b->state, 0);
  EXPECT_EQ(b->addr[0], 0);
  EXPECT_EQ(b->rx[0], 0);
  EXPECT_EQ(b->pending[2], 0);
  EXPECT_EQ(b->rx_len + b->pending_len, 0u);

  PubFileCopies copies;
  GetPubFileCopiesNetComm(a, &copies);
  EXPECT_TRUE(copies.empty());  // nobody connected holds a copy

  EXPECT_EQ(RemoveNetCommRec(b), c);
  EXPECT_EQ(a->next, c);
  EXPECT_EQ(c->prev, a);
  RemoveNetComm(a);
}

TEST(NetCommSocket, SendRecvAndMessages) {
  Pair p;
  ASSERT_GE(p.peer, 0);
  ASSERT_GT(p.rec->sock, 0);
  EXPECT_STREQ(p.rec->addr, "127.0.0.1");
  COMMOBJ_T obj;
  snprintf(obj.cfg.name, sizeof obj.cfg.name, "plc");

  // The queue goes out in order; a part sent leaves the rest queued; nothing fits past the buffer.
  ASSERT_EQ(QueueNetComm(p.rec, "AB\nX\n", 5), 0);
  EXPECT_EQ(SendNetComm(p.rec, 3), 0);
  EXPECT_EQ(p.rec->tx_len, 2u);
  EXPECT_EQ(SendNetComm(p.rec, -1), 0);
  EXPECT_EQ(p.rec->tx_len, 0u);
  std::string pending, line;
  ASSERT_TRUE(kt::RecvLine(p.peer, pending, line));
  EXPECT_EQ(line, "AB\n");
  ASSERT_TRUE(kt::RecvLine(p.peer, pending, line));
  EXPECT_EQ(line, "X\n");
  std::string huge(kNetBufSize, 'h');
  EXPECT_EQ(QueueNetComm(p.rec, huge.data(), huge.size()), 1);
  EXPECT_EQ(p.rec->tx_len, 0u);

  // Messages follow the client's flags.
  p.rec->crlf = 1;
  EXPECT_EQ(SendEmsgCommObject(&obj, p.rec, 33, "GET:XYZ"), 0);
  ASSERT_TRUE(kt::RecvLine(p.peer, pending, line));
  EXPECT_EQ(line, "ERROR:33 Unknown variable name in request: 'GET:XYZ'\r\n");
  EXPECT_EQ(p.rec->tx_len, 0u);  // all of it sent
  p.rec->json = 1;
  p.rec->crlf = 0;
  EXPECT_EQ(SendEmsgCommObject(&obj, p.rec, 250, "demo.pub"), 0);
  ASSERT_TRUE(kt::RecvLine(p.peer, pending, line));
  EXPECT_EQ(line,
            "{ \"WARNING\": { \"code\": 250, \"text\": \"Changed public file: 'demo.pub'\" }}\n");

  // A closing client gets nothing, and that is no failure.
  p.rec->state = NET_FREE;
  EXPECT_EQ(SendEmsgCommObject(&obj, p.rec, 10, nullptr), 0);
  EXPECT_EQ(kt::RecvFor(p.peer, 50ms), "");
  p.rec->state = NET_CONNECTED;

  // Receiving: one call takes at most 130048 bytes; the rest waits for the next call.
  std::string big(kNetRecvBudget + 5000, 'z');
  ASSERT_TRUE(kt::SendAll(p.peer, big));
  size_t total = 0;
  for (int i = 0; i < 2000 && total < big.size(); ++i) {
    while (AmountOfUnreadDataNetComm(p.rec) == 0 && i < 2000) {
      usleep(1000);
      ++i;
    }
    ASSERT_EQ(RecvNetComm(p.rec), 0);
    EXPECT_LE(p.rec->rx_len, kNetRecvBudget);
    EXPECT_EQ(p.rec->rx[p.rec->rx_len], 0);
    total += p.rec->rx_len;
  }
  EXPECT_EQ(total, big.size());

  // The peer closes: receive says so, and a send to it fails without a signal.
  close(p.peer);
  p.peer = -1;
  int closed = 0;
  for (int i = 0; i < 2000 && !closed; ++i) {
    closed = RecvNetComm(p.rec);
    if (!closed) usleep(1000);
  }
  EXPECT_EQ(closed, 1);
  int failed = 0;
  testing::internal::CaptureStderr();
  for (int i = 0; i < 20 && !failed; ++i) failed = SendEmsgCommObject(&obj, p.rec, 32, "A:");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(p.rec->state, NET_FREE);
  EXPECT_NE(err.find("PLC-0 (plc): Closed connection from 127.0.0.1"), std::string::npos);
}

TEST(NetCommSocket, DrainWaitTriesAndListenFailures) {
  Pair p;
  ASSERT_GE(p.peer, 0);
  // An empty queue: every round is left.
  EXPECT_EQ(WaitCliNetComm(p.rec, 5), 5);
  // No rounds: the slow-client line at once.
  testing::internal::CaptureStderr();
  EXPECT_EQ(WaitCliNetComm(p.rec, 0), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Too many data in transmit buffer (0B). Slow client connected from 127.0.0.1"),
            std::string::npos);

  // A port already listened on cannot be bound again.
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(p.rec->listen_sock, reinterpret_cast<sockaddr*>(&a), &len);
  NETCOMM_T* other = AddNetCommRec(nullptr);
  snprintf(other->local_addr, sizeof other->local_addr, "127.0.0.1");
  testing::internal::CaptureStderr();
  EXPECT_EQ(InitNetComm(other, ntohs(a.sin_port)), 1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Unable to bind socket: "), std::string::npos);
  RemoveNetComm(other);

  // Nobody waiting: nothing accepted.
  EXPECT_EQ(AcceptNectComm(p.rec), 1);
}
