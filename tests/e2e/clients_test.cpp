// Client connections against the running server: slots and the connection limit, line assembly
// and control bytes, overlong and large input, slow and vanishing clients.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/net.h"
#include "support/rig.h"
#include "support/text.h"

using namespace std::chrono_literals;
using kt::Count;

namespace {

// The simulator and a server serving the fixed variables only (no public file: no notices when
// clients connect).
struct Server : kt::Rig {
  bool Start(int connect_max = 10, bool crlf = false, int loop_ms = 20) {
    return StartSim() && StartServer("net_connect_max = " + std::to_string(connect_max) +
                                         "\nend_line_crlf = " + (crlf ? "yes" : "no") +
                                         "\ncomm_loop_delay = " + std::to_string(loop_ms) + "\n",
                                     "pubfile = .\n");
  }
  // Sends one piece and waits until the server has taken it in as a chunk of its own.
  bool SendPiece(int fd, const std::string& piece) {
    size_t before = Count(srv.err, "bytes from 127.0.0.1");
    return kt::SendAll(fd, piece) && WaitLog("bytes from 127.0.0.1", before + 1);
  }
};

std::string Unknown(const std::string& keyword) {
  return "ERROR:32 Unknown command name in request: '" + keyword + "'";
}

// Closes with a reset, dropping whatever the server still sends.
void Abort(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

}  // namespace

TEST(Clients, SlotsReconnectAndConnectionLimit) {
  Server s;
  ASSERT_TRUE(s.Start(2)) << s.srv.err;
  int a = kt::TcpConnect(s.port);
  ASSERT_TRUE(s.WaitLog("PLC-1 (PLC1): Accepting connection from 127.0.0.1 [1/2]")) << s.srv.err;
  close(a);
  ASSERT_TRUE(s.WaitLog("GetReqCommObject():: PLC-1 (PLC1): Closed connection from 127.0.0.1"));
  ASSERT_TRUE(s.WaitLog("PLC-1 (PLC1): Closed connection from 127.0.0.1 [1/2]")) << s.srv.err;

  // Reconnecting takes the freed slot; two clients fit the limit.
  kt::RigClient c1(s);
  ASSERT_TRUE(s.WaitLog("Accepting connection from 127.0.0.1 [1/2]", 2)) << s.srv.err;
  kt::RigClient c2(s);
  ASSERT_TRUE(s.WaitLog("Accepting connection from 127.0.0.1 [2/2]")) << s.srv.err;

  // The third is accepted by the system, told nothing and closed in the next cycle.
  int c = kt::TcpConnect(s.port);
  ASSERT_TRUE(
      s.WaitLog("PLC-1 (PLC1): Unable to accepting connection from 127.0.0.1. Maximum "
                "connections reached [3/2]!!!"))
      << s.srv.err;
  EXPECT_TRUE(kt::WaitClosed(c));
  EXPECT_TRUE(s.WaitLog("Closed connection from 127.0.0.1 [3/2]")) << s.srv.err;
  close(c);

  // The two within the limit are served.
  c1.Talk("A:\n", {Unknown("A:")});
  c2.Talk("GET:__PF_CRC\n", {"GET:__PF_CRC,12345"});
  kt::Stop(s.srv);
  EXPECT_EQ(Count(s.srv.err, "Network communication exited..."), 1u);
}

TEST(Clients, BurstsAndHalfClosedPeers) {
  // A farm of clients reconnecting at once gets in within a few one-second cycles.
  Server s;
  ASSERT_TRUE(s.Start(100, false, 1000));
  std::vector<int> farm;
  for (int i = 0; i < 60; ++i) farm.push_back(kt::TcpConnect(s.port));
  EXPECT_TRUE(s.WaitLog("Accepting connection from 127.0.0.1 [60/100]", 1, 4s)) << s.srv.err;
  for (int fd : farm) close(fd);
  ASSERT_TRUE(s.WaitLog("Closed connection from 127.0.0.1 [1/100]", 1, 5s));

  // Requests that arrive with the peer's half-close are still answered, then it is closed.
  for (int i = 0; i < 5; ++i) {
    int fd = kt::TcpConnect(s.port);
    ASSERT_TRUE(kt::SendAll(fd, "GET:__PF_CRC\nLIST:__PF_CRC\n"));
    shutdown(fd, SHUT_WR);
    const std::string want = "LIST:__PF_CRC,UDINT\nGET:__PF_CRC,12345\n";
    std::string got;
    EXPECT_TRUE(kt::RecvN(fd, got, want.size()) && got == want) << i << got;
    EXPECT_TRUE(kt::WaitClosed(fd));
    close(fd);
  }
}

TEST(Clients, LineAssemblyControlBytesOverlongInputAndSlowClients) {
  constexpr size_t kLongest = 131071;  // a request line with its LF
  Server s;
  ASSERT_TRUE(s.Start(10, true));
  kt::RigClient c(s);

  // Three packets with a backspace (then DEL) between them: handled once, as corrected.
  const std::vector<std::vector<std::string>> edits = {{"GEX", "\x08", "T:__pf_crc\r\n"},
                                                       {"LIZ", "\x7f", "ST:__PF_CRC\n"}};
  for (const auto& parts : edits)
    for (const std::string& part : parts) ASSERT_TRUE(s.SendPiece(c.fd, part));
  c.Talk("", {"GET:__PF_CRC,12345", "LIST:__PF_CRC,UDINT"});

  // A lone control byte is passed on as it is and leaves the typed text alone.
  ASSERT_TRUE(s.SendPiece(c.fd, "GET"));
  ASSERT_TRUE(s.SendPiece(c.fd, "\x01"));
  c.Talk("", {"ERROR:30 Bad client request: '\x01'"});
  c.Talk(":__PF_CRC\n", {"GET:__PF_CRC,12345"});

  // Several requests in one packet; argument lines of an unknown one are skipped; messages go
  // out at once, replies after the cycle's requests.
  c.Talk("get:__pf_crc\n\nFoo:1\nbar\nBaz:\n",
         {Unknown("FOO:"), Unknown("BAZ:"), "GET:__PF_CRC,12345"});

  // A line longer than the assembly limit: the piece that does not fit is dropped, the rest of
  // the line is refused as one bad request, and nothing of it is served as a request.
  ASSERT_TRUE(kt::SendAll(c.fd, std::string(130000, 'A')));
  ASSERT_TRUE(s.WaitLog("bytes from 127.0.0.1", 5));
  ASSERT_TRUE(kt::SendAll(c.fd, std::string(2000, 'B')));
  ASSERT_TRUE(s.WaitLog("WaitForCmd():: Too many data in input buffer!")) << s.srv.err.size();
  ASSERT_TRUE(kt::SendAll(c.fd, "\n"));
  std::string line = c.Line();
  EXPECT_EQ(line.substr(0, 33), "ERROR:30 Bad client request: 'AAA");
  EXPECT_EQ(line.size(), strlen("ERROR:") + 1023);  // the inner text is cut
  EXPECT_EQ(line.substr(line.size() - 4), "AAA'");
  // A 1 MiB line is refused as one request, whatever it looks like: nothing of it is served.
  std::string huge = "GET:";
  while (huge.size() < (1u << 20)) huge += "GET:x,";
  ASSERT_TRUE(kt::SendAll(c.fd, huge + "\nGET:__PF_CRC\n"));
  EXPECT_EQ(c.Line().substr(0, 30), "ERROR:30 Bad client request: '");
  c.Talk("", {"GET:__PF_CRC,12345"});
  // Lines of the longest length allowed, back to back with a request, over several receives and
  // cycles: each is whole, none lost, all answered in order.
  std::string longest;
  for (int i = 0; i < 3; ++i)
    longest += "L" + std::to_string(i) + ":" + std::string(kLongest - 4, 'w') + "\n";
  ASSERT_TRUE(kt::SendAll(c.fd, longest + "GET:__PF_CRC\n"));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(c.Line(), Unknown("L" + std::to_string(i) + ":"));
  c.Talk("", {"GET:__PF_CRC,12345"});

  // Telnet interrupt drops the rest of the packet; ^D closes the connection.
  c.Talk("\xff\xf4\xff\xfdX:\n", {});
  ASSERT_TRUE(s.SendPiece(c.fd, "\x04"));
  EXPECT_TRUE(kt::WaitClosed(c.fd));
  EXPECT_TRUE(s.WaitLog("Received '^D'."));
  // The telnet end sequence closes as well.
  kt::RigClient d(s);
  ASSERT_TRUE(s.SendPiece(d.fd, "\xff\xec"));
  EXPECT_TRUE(kt::WaitClosed(d.fd));

  kt::RigClient a(s);

  // A client that stops reading (its receive window tiny, so that replies back up in the server's
  // send queue) does not hold the other one up.
  const size_t accepted = Count(s.srv.err, "Accepting connection from");
  int slow = kt::TcpConnect(s.port, 5s, 1024);
  ASSERT_TRUE(slow >= 0 && s.WaitLog("Accepting connection from", accepted + 1));
  std::string lines;
  for (int i = 0; i < 8; ++i) lines += std::string(2000, 'S') + "\n";
  ASSERT_TRUE(kt::SendAll(slow, lines));
  a.Talk("PING:\n", {Unknown("PING:")});
  Abort(slow);

  // A client that leaves while replies are on their way: the send fails, no SIGPIPE.
  for (int round = 0; round < 3; ++round) {
    int gone = kt::TcpConnect(s.port, 5s, 1024);
    ASSERT_GE(gone, 0);
    ASSERT_TRUE(kt::SendAll(gone, lines));
    Abort(gone);
  }
  a.Talk("PONG:\n", {Unknown("PONG:")});
  kt::Pump(s.srv);
  EXPECT_FALSE(s.srv.ended);
  kt::Stop(s.srv);
  EXPECT_TRUE(WIFEXITED(s.srv.status) && WEXITSTATUS(s.srv.status) == 0) << s.srv.status;
}
