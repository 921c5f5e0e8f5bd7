// The communication object's client steps on a real listening socket: accepting into free
// slots, the connection limit, closing, the idle wait and the shutdown.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "app/globals.h"
#include "client/netcomm.h"
#include "comm/commobj.h"
#include "cycle/commobj_thread.h"
#include "support/net.h"
#include "support/process.h"

using namespace std::chrono_literals;

namespace {

int ListLength(NETCOMM_T* list) {
  int n = 0;
  for (NETCOMM_T* r = list; r; r = r->next) ++n;
  return n;
}

// Runs one upkeep after another until cond holds (bounded).
bool UpkeepUntil(COMMOBJ_T* obj, const std::function<bool()>& cond) {
  return kt::WaitForCond([&] {
    UpdateNetCommObject(obj);
    return cond();
  });
}

struct Obj {
  COMMOBJ_T obj;
  int port = -1;
  Obj() {
    snprintf(obj.cfg.name, sizeof obj.cfg.name, "plc");
    snprintf(obj.cfg.ipaddr_local, sizeof obj.cfg.ipaddr_local, "127.0.0.1");
    obj.cfg.server_port = 0;
    obj.cfg.link_kind = LINK_NONE;  // no PLC: the cycle serves clients only
    if (StartNetCommObject(&obj) != 0) return;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(obj.listen_sock, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Obj() {
    CloseNetCommObject(&obj);
    FreeCommObject(&obj);
    ResetGlobalSettings();
  }
};

}  // namespace

TEST(NetCommObject, SlotsLimitAndShutdown) {
  testing::internal::CaptureStderr();
  Obj o;
  ASSERT_GT(o.port, 0);
  COMMOBJ_T* obj = &o.obj;
  NETCOMM_T* head = obj->clients;
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->state, NET_FREE);

  // Nobody waiting: nothing changes.
  EXPECT_EQ(UpdateNetCommObject(obj), 0);
  EXPECT_EQ(obj->conn_count, 0);

  // The first client takes the head slot, the second a new record.
  int c1 = kt::TcpConnect(o.port);
  ASSERT_TRUE(UpkeepUntil(obj, [&] { return obj->conn_count == 1; }));
  EXPECT_EQ(head->state, NET_CONNECTED);
  EXPECT_EQ(obj->active_changed, 3);
  int c2 = kt::TcpConnect(o.port);
  ASSERT_TRUE(UpkeepUntil(obj, [&] { return obj->conn_count == 2; }));
  ASSERT_EQ(ListLength(obj->clients), 3);  // and a spare slot for the next one
  NETCOMM_T* second = head->next;

  // Input on a client wakes the idle wait long before its end.
  obj->idle_wait = 60 * 1000000;
  ASSERT_TRUE(kt::SendAll(c2, "X:\n"));
  auto t0 = std::chrono::steady_clock::now();
  IdleWaitCommObject(obj);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);
  CycleCommObject(obj);
  std::string pending, line;
  ASSERT_TRUE(kt::RecvLine(c2, pending, line));
  EXPECT_EQ(line, "ERROR:32 Unknown command name in request: 'X:'\n");

  // The first leaves; the next upkeep closes its slot and hands it to the next client at once.
  close(c1);
  ASSERT_TRUE(kt::WaitForCond([&] {
    CycleCommObject(obj);
    return head->state == NET_FREE;
  }));
  int c3 = kt::TcpConnect(o.port);
  ASSERT_TRUE(UpkeepUntil(obj, [&] { return head->state == NET_CONNECTED; }));
  EXPECT_EQ(obj->conn_count, 2);

  // Over the limit: accepted, refused in the same upkeep, closed by the next one.
  net_connect_max = 2;
  int c4 = kt::TcpConnect(o.port);
  ASSERT_TRUE(UpkeepUntil(obj, [&] { return obj->conn_count == 3; }));
  NETCOMM_T* third = second->next;
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->state, NET_FREE);
  EXPECT_GT(third->sock, 0);
  UpdateNetCommObject(obj);
  EXPECT_EQ(obj->conn_count, 2);
  EXPECT_LT(third->sock, 1);  // closed; the slot waits for the next client
  EXPECT_TRUE(kt::WaitClosed(c4));

  // A stop request ends the wait promptly.
  commobj_state = 3;
  obj->idle_wait = 60 * 1000000;
  t0 = std::chrono::steady_clock::now();
  IdleWaitCommObject(obj);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);
  commobj_state = 0;

  CloseNetCommObject(obj);
  EXPECT_TRUE(kt::WaitClosed(c2));
  EXPECT_TRUE(kt::WaitClosed(c3));
  std::string err = testing::internal::GetCapturedStderr();
  for (const char* l :
       {"PLC-0 (plc): Initializing network communication on local ip address '127.0.0.1' and port "
        "'0'",
        "PLC-0 (plc): Network communication initialized...",
        "PLC-0 (plc): Accepting connection from 127.0.0.1 [1/10]",
        "PLC-0 (plc): Accepting connection from 127.0.0.1 [2/10]",
        "GetReqCommObject():: PLC-0 (plc): Closed connection from 127.0.0.1",
        "UpdateNetCommObject():: PLC-0 (plc): Closed connection from 127.0.0.1 [2/10]",
        "PLC-0 (plc): Unable to accepting connection from 127.0.0.1. Maximum connections reached "
        "[3/2]!!!",
        "UpdateNetCommObject():: PLC-0 (plc): Closed connection from 127.0.0.1 [3/2]",
        "CloseNetCommObject():: PLC-0 (plc): Closed connection from 127.0.0.1 [2/2]",
        "CloseNetCommObject():: PLC-0 (plc): Closed connection from 127.0.0.1 [1/2]",
        "PLC-0 (plc): Network communication exited..."})
    EXPECT_NE(err.find(l), std::string::npos) << l << "\n" << err;
  close(c2);
  close(c3);
  close(c4);
}
