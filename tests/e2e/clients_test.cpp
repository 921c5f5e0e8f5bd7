// Client connections against the running server: slots and the connection limit, line
// assembly, message lines, large input, slow and vanishing clients.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "support/net.h"
#include "support/process.h"
#include "support/rig.h"
#include "support/scratch.h"

using namespace std::chrono_literals;

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

const char* kGlobals =
    "[*]\ncomm_loop_delay = 50\ncomm_sched_pri = 0\nmem_blksize = 1024\nmem_use_threads = yes\n"
    "ffile_blksize = 1024\nffile_timeout = 300\nffile_timeout_wr = 5\nffile_maxrecs = 256\n"
    "pf_var_disabled = no\ndiff_var_enabled = yes\nsync_var_enabled = yes\n"
    "date_time_decimal = no\nlim_of_decimals = no\nnum_of_decimals = 10\nscient_notation = no\n";

// The simulator and a server with one PLC section listening on a port of the system's choice.
struct Server : kt::Rig {
  kt::Process& p = srv;

  bool Start(int connect_max = 10, bool crlf = false) {
    return StartSim() &&
           StartServer("net_connect_max = " + std::to_string(connect_max) +
                           "\nend_line_crlf = " + (crlf ? "yes" : "no") + "\n",
                       "pubfile = .\n");  // the fixed variables only: no notices on connects
  }
  // Sends one piece and waits until the server has taken it in as a chunk of its own.
  bool SendPiece(int fd, const std::string& piece) {
    size_t before = Count(p.err, "bytes from 127.0.0.1");
    return kt::SendAll(fd, piece) && WaitLog("bytes from 127.0.0.1", before + 1);
  }
};

std::string Unknown(const std::string& keyword, const char* eol = "\n") {
  return "ERROR:32 Unknown command name in request: '" + keyword + "'" + eol;
}

// A client whose receive window is tiny, so that replies back up in the server's send queue.
int ConnectSmallWindow(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int size = 1024;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
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
  ASSERT_TRUE(s.Start(2)) << s.p.err;

  int a = kt::TcpConnect(s.port);
  ASSERT_GE(a, 0);
  ASSERT_TRUE(s.WaitLog("PLC-1 (PLC1): Accepting connection from 127.0.0.1 [1/2]")) << s.p.err;
  close(a);
  ASSERT_TRUE(s.WaitLog("GetReqCommObject():: PLC-1 (PLC1): Closed connection from 127.0.0.1"))
      << s.p.err;
  ASSERT_TRUE(s.WaitLog("PLC-1 (PLC1): Closed connection from 127.0.0.1 [1/2]")) << s.p.err;

  // Reconnecting takes the freed slot; two clients fit the limit.
  a = kt::TcpConnect(s.port);
  ASSERT_TRUE(s.WaitLog("Accepting connection from 127.0.0.1 [1/2]", 2)) << s.p.err;
  int b = kt::TcpConnect(s.port);
  ASSERT_TRUE(s.WaitLog("Accepting connection from 127.0.0.1 [2/2]")) << s.p.err;

  // The third is accepted by the system, told nothing and closed in the next cycle.
  int c = kt::TcpConnect(s.port);
  ASSERT_GE(c, 0);
  ASSERT_TRUE(
      s.WaitLog("PLC-1 (PLC1): Unable to accepting connection from 127.0.0.1. Maximum "
                "connections reached [3/2]!!!"))
      << s.p.err;
  EXPECT_TRUE(kt::WaitClosed(c));
  EXPECT_TRUE(s.WaitLog("Closed connection from 127.0.0.1 [3/2]")) << s.p.err;
  close(c);

  // The two within the limit are served.
  std::string pa, pb, line;
  ASSERT_TRUE(kt::SendAll(a, "A:\n") && kt::SendAll(b, "B:\n"));
  ASSERT_TRUE(s.Line(a, pa, line));
  EXPECT_EQ(line, Unknown("A:"));
  ASSERT_TRUE(s.Line(b, pb, line));
  EXPECT_EQ(line, Unknown("B:"));

  // A slot freed by the refused client is used again.
  close(b);
  ASSERT_TRUE(s.WaitLog("Closed connection from 127.0.0.1 [2/2]")) << s.p.err;
  b = kt::TcpConnect(s.port);
  ASSERT_TRUE(s.WaitLog("Accepting connection from 127.0.0.1 [2/2]", 2)) << s.p.err;
  close(a);
  close(b);
  kt::Stop(s.p);
  EXPECT_EQ(Count(s.p.err, "Network communication exited..."), 1u);
}

TEST(Clients, LineAssemblyEditingAndControlBytes) {
  Server s;
  ASSERT_TRUE(s.Start());
  int fd = kt::TcpConnect(s.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(s.WaitLog("Accepting connection from 127.0.0.1 [1/10]"));
  std::string pending, line;

  // Three packets with a backspace between them: handled once, as corrected.
  ASSERT_TRUE(s.SendPiece(fd, "GEX"));
  ASSERT_TRUE(s.SendPiece(fd, "\x08"));
  ASSERT_TRUE(s.SendPiece(fd, "T:A\r\n"));
  ASSERT_TRUE(s.Line(fd, pending, line));
  EXPECT_EQ(line, Unknown("GET:"));

  // DEL edits the same way.
  ASSERT_TRUE(s.SendPiece(fd, "LIZ"));
  ASSERT_TRUE(s.SendPiece(fd, "\x7f"));
  ASSERT_TRUE(s.SendPiece(fd, "ST:\n"));
  ASSERT_TRUE(s.Line(fd, pending, line));
  EXPECT_EQ(line, Unknown("LIST:"));
  EXPECT_EQ(kt::RecvFor(fd, 100ms), "");  // nothing else was answered

  // A lone control byte is passed on as it is and leaves the typed text alone.
  ASSERT_TRUE(s.SendPiece(fd, "EN"));
  ASSERT_TRUE(s.SendPiece(fd, "\x01"));
  ASSERT_TRUE(s.Line(fd, pending, line));
  EXPECT_EQ(line, "ERROR:30 Bad client request: '\x01'\n");
  ASSERT_TRUE(s.SendPiece(fd, ":\n"));
  ASSERT_TRUE(s.Line(fd, pending, line));
  EXPECT_EQ(line, Unknown("EN:"));

  // Several requests in one packet, blank lines between them, keyword case as sent.
  ASSERT_TRUE(s.SendPiece(fd, "get:x\n\nFoo:1\nbar\nHelp:\n"));
  for (const char* k : {"get:", "Foo:", "Help:"}) {
    ASSERT_TRUE(s.Line(fd, pending, line));
    EXPECT_EQ(line, Unknown(k));
  }

  // Telnet interrupt drops the rest of the packet; ^D closes the connection.
  ASSERT_TRUE(s.SendPiece(fd, "\xff\xf4\xff\xfdX:\n"));
  EXPECT_EQ(kt::RecvFor(fd, 100ms), "");
  ASSERT_TRUE(s.SendPiece(fd, "\x04"));
  EXPECT_TRUE(kt::WaitClosed(fd));
  EXPECT_TRUE(s.WaitLog("Closed connection from 127.0.0.1 [1/10]"));
  close(fd);

  // The telnet end sequence closes as well.
  fd = kt::TcpConnect(s.port);
  ASSERT_TRUE(s.WaitLog("Accepting connection from 127.0.0.1 [1/10]", 2));
  ASSERT_TRUE(s.SendPiece(fd, "\xff\xec"));
  EXPECT_TRUE(kt::WaitClosed(fd));
  close(fd);
}

TEST(Clients, OverlongLinesAndLargeInput) {
  Server s;
  ASSERT_TRUE(s.Start(10, true));
  int fd = kt::TcpConnect(s.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(s.WaitLog("Accepting connection from 127.0.0.1 [1/10]"));
  std::string pending, line;

  // A line longer than the assembly limit: the piece that does not fit is dropped, the server
  // goes on.
  ASSERT_TRUE(kt::SendAll(fd, std::string(130000, 'A')));
  ASSERT_TRUE(s.WaitLog("bytes from 127.0.0.1"));
  ASSERT_TRUE(kt::SendAll(fd, std::string(2000, 'B')));
  ASSERT_TRUE(s.WaitLog("WaitForCmd():: Too many data in input buffer!")) << s.p.err.size();
  ASSERT_TRUE(kt::SendAll(fd, "\nPING:\n"));
  ASSERT_TRUE(s.Line(fd, pending, line));
  EXPECT_EQ(line.substr(0, 33), "ERROR:30 Bad client request: 'AAA");
  EXPECT_EQ(line.size(), strlen("ERROR:") + 1023 + 2);  // cut inner text, CR LF
  EXPECT_EQ(line.substr(line.size() - 6), "AAA'\r\n");
  ASSERT_TRUE(s.Line(fd, pending, line));
  EXPECT_EQ(line, Unknown("PING:", "\r\n"));

  // More than one receive can take: read over several cycles, every line answered once, in order.
  std::string burst;
  for (int i = 0; i < 200; ++i) {
    char head[16];
    snprintf(head, sizeof head, "K%03d:", i);
    burst += head + std::string(994, 'v') + "\n";
  }
  ASSERT_GT(burst.size(), 130048u);
  size_t chunks_before = Count(s.p.err, "bytes from 127.0.0.1");
  ASSERT_TRUE(kt::SendAll(fd, burst));
  for (int i = 0; i < 200; ++i) {
    char head[16];
    snprintf(head, sizeof head, "K%03d:", i);
    ASSERT_TRUE(s.Line(fd, pending, line)) << i;
    EXPECT_EQ(line, Unknown(head, "\r\n"));
  }
  EXPECT_GE(Count(s.p.err, "bytes from 127.0.0.1") - chunks_before, 2u);
  EXPECT_EQ(kt::RecvFor(fd, 100ms), "");

  // A keyword is at most 255 characters.
  ASSERT_TRUE(kt::SendAll(fd, std::string(300, 'k') + ":\n"));
  ASSERT_TRUE(s.Line(fd, pending, line));
  EXPECT_EQ(line, Unknown(std::string(255, 'k'), "\r\n"));
  close(fd);
}

TEST(Clients, SlowAndVanishingClients) {
  Server s;
  ASSERT_TRUE(s.Start());
  int a = kt::TcpConnect(s.port);
  ASSERT_TRUE(s.WaitLog("Accepting connection from 127.0.0.1 [1/10]"));
  std::string pa, line;

  // A client that stops reading does not hold the other one up.
  int slow = ConnectSmallWindow(s.port);
  ASSERT_GE(slow, 0);
  ASSERT_TRUE(s.WaitLog("Accepting connection from 127.0.0.1 [2/10]"));
  std::string lines;
  for (int i = 0; i < 8; ++i) lines += std::string(2000, 'S') + "\n";
  ASSERT_TRUE(kt::SendAll(slow, lines));
  ASSERT_TRUE(kt::SendAll(a, "PING:\n"));
  ASSERT_TRUE(s.Line(a, pa, line, 2s));
  EXPECT_EQ(line, Unknown("PING:"));
  Abort(slow);

  // A client that leaves while replies are on their way: the send fails, no SIGPIPE.
  for (int round = 0; round < 3; ++round) {
    int gone = ConnectSmallWindow(s.port);
    ASSERT_GE(gone, 0);
    ASSERT_TRUE(kt::SendAll(gone, lines));
    Abort(gone);
  }
  ASSERT_TRUE(kt::SendAll(a, "PONG:\n"));
  ASSERT_TRUE(s.Line(a, pa, line, 60s));
  EXPECT_EQ(line, Unknown("PONG:"));
  kt::Pump(s.p);
  EXPECT_FALSE(s.p.ended);
  close(a);
  kt::Stop(s.p);
  EXPECT_TRUE(s.p.ended);
  EXPECT_TRUE(WIFEXITED(s.p.status) && WEXITSTATUS(s.p.status) == 0) << s.p.status;
}

TEST(Clients, ListeningFailureStopsTheProgram) {
  // Two sections on one port: the second cannot bind, and the whole program stops.
  kt::ScratchDir dir;
  int port = kt::FreeTcpPort();
  ASSERT_GT(port, 0);
  std::string sec =
      "ipaddr = 127.0.0.1\nipaddr_local = 127.0.0.1\nserver_port = " + std::to_string(port) + "\n";
  ASSERT_TRUE(kt::WriteFile(dir / "Korvane.ini",
                            std::string(kGlobals) + "[one]\n" + sec + "[two]\n" + sec));
  ASSERT_TRUE(kt::WriteFile(dir / "FIXED_Rovanta.pub", kt::SignPubFile(kt::kFixedPubFile)));
  kt::Process p;
  ASSERT_TRUE(kt::Spawn(p, {KORVANE_BIN, "-v"}, dir.path));
  kt::WaitExit(p, 20s);
  ASSERT_TRUE(p.ended) << p.err;
  std::string bind_fail = "InitNetComm():: Unable to bind socket: Address already in use!";
  std::string init_fail = "): Unable to initialize network communication!!!";
  EXPECT_EQ(Count(p.err, bind_fail), 1u) << p.err;
  EXPECT_EQ(Count(p.err, init_fail), 1u) << p.err;
  EXPECT_EQ(Count(p.err, "Listening on port " + std::to_string(port)), 1u) << p.err;
  EXPECT_EQ(Count(p.err, "*** END ***"), 1u);

  // Without a configured port the default one is used (or, when it is taken, the program stops
  // the same way).
  kt::ScratchDir dir2;
  ASSERT_TRUE(
      kt::WriteFile(dir2 / "Korvane.ini", std::string(kGlobals) + "[three]\nipaddr = 127.0.0.1\n"));
  ASSERT_TRUE(kt::WriteFile(dir2 / "FIXED_Rovanta.pub", kt::SignPubFile(kt::kFixedPubFile)));
  kt::Process q;
  ASSERT_TRUE(kt::Spawn(q, {KORVANE_BIN, "-v"}, dir2.path));
  EXPECT_TRUE(kt::WaitFor(q, [&] {
    return Count(q.err, "Listening on port 5010") == 1 || Count(q.err, init_fail) == 1;
  })) << q.err;
  EXPECT_EQ(Count(q.err,
                  "PLC-1 (three): Unable to found variable 'SERVER_PORT' in config-file. "
                  "Using default value: 5010"),
            1u);
  EXPECT_EQ(Count(q.err,
                  "PLC-1 (three): Initializing network communication on local ip "
                  "address '0.0.0.0' and port '5010'"),
            1u);
  kt::Stop(q);
}
