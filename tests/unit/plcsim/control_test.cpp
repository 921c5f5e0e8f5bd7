// The control channel (typed values, faults, counters), project loading, the pty line and a
// clean stop on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "sim_harness.h"
#include "support/net.h"
#include "support/scratch.h"

using namespace simtest;

namespace {

const Bytes kConnect = ShortFrame(kPlc, kMaster, 0x69);
const Bytes kConnectReply = ShortFrame(kMaster, kPlc, 0x00);

uint16_t SeqOf(const Bytes& d) {
  return static_cast<uint16_t>(d[0] | (d[1] << 8));
}

// Reads from `fd` until `n` bytes are in or the time-out passes.
Bytes ReadN(int fd, size_t n, int timeout_ms = 5000) {
  Bytes out;
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) break;
    uint8_t buf[512];
    ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

}  // namespace

TEST(PlcsimControl, TypedValuesAndErrors) {
  Sim sim;
  ASSERT_TRUE(sim.Start({"--regsize", "64"}));
  const std::pair<std::string, std::string> cases[] = {
      {"R 0 USINT", "255"},
      {"R 0 SINT", "-128"},
      {"R 0 UINT", "65535"},
      {"R 0 INT", "-32768"},
      {"R 0 UDINT", "4294967295"},
      {"R 0 DINT", "-2147483648"},
      {"R 0 ULINT", "18446744073709551615"},
      {"R 0 LINT", "-9223372036854775808"},
      {"R 0 REAL", "3.5"},
      {"R 0 REAL", "0.1"},
      {"R 0 LREAL", "-2.25e+100"},
      {"R 0 WORD", "4660"},
      {"R 0 DT", "1718808736000"},
      {"R 0 TIME", "-1"},
      {"R 4 STRING[8]", "two words"},
      {"R 60 STRING[4]", "abcd"},
      {"Y 63.7 BOOL", "1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sim.Ctl("set " + c.first + " " + c.second), "OK") << c.first;
    std::string want = c.second == "two words" ? "two word" : c.second;
    EXPECT_EQ(sim.Ctl("get " + c.first), "OK " + want) << c.first;
  }
  EXPECT_EQ(sim.Ctl("set R 0 UINT 4660"), "OK");
  EXPECT_EQ(sim.Ctl("getbytes R 0 2"), "OK 3412");
  // A leading zero is decimal, "0x" hexadecimal.
  EXPECT_EQ(sim.Ctl("set R 10 INT -010"), "OK");
  EXPECT_EQ(sim.Ctl("get R 10 INT"), "OK -10");
  EXPECT_EQ(sim.Ctl("set R 010 UINT 0x1F"), "OK");
  EXPECT_EQ(sim.Ctl("getbytes R 10 2"), "OK 1f00");
  EXPECT_EQ(sim.Ctl("set X 2.0 BOOL TRUE"), "OK");
  EXPECT_EQ(sim.Ctl("set X 2.5 BOOL true"), "OK");
  EXPECT_EQ(sim.Ctl("set X 2.0 BOOL false"), "OK");
  EXPECT_EQ(sim.Ctl("getbytes X 2 1"), "OK 20");
  EXPECT_EQ(sim.Ctl("getbytes Y 63 1"), "OK 80");

  EXPECT_EQ(sim.Ctl("set Q 0 INT 1"), "ERR bad register");
  EXPECT_EQ(sim.Ctl("set R 0 FLOAT 1"), "ERR bad type");
  EXPECT_EQ(sim.Ctl("set R 63 INT 1"), "ERR out of range");
  EXPECT_EQ(sim.Ctl("set R 64 USINT 1"), "ERR out of range");
  EXPECT_EQ(sim.Ctl("set R 99999999999999999999 USINT 1"), "ERR bad address");
  EXPECT_EQ(sim.Ctl("set R 1.2 INT 1"), "ERR bad address");
  EXPECT_EQ(sim.Ctl("set R 1.8 BOOL 1"), "ERR bad address");
  EXPECT_EQ(sim.Ctl("set R 0 USINT 256"), "ERR bad value");
  EXPECT_EQ(sim.Ctl("set R 0 INT 12abc"), "ERR bad value");
  EXPECT_EQ(sim.Ctl("set R 0 BOOL yes"), "ERR bad value");
  EXPECT_EQ(sim.Ctl("set R 0 STRING[300] x"), "ERR bad type");
  EXPECT_EQ(sim.Ctl("setbytes R 63 0102"), "ERR out of range");
  EXPECT_EQ(sim.Ctl("getbytes R 60 5"), "ERR out of range");
  EXPECT_EQ(sim.Ctl("frobnicate"), "ERR unknown command");

  // A second client sees the same PLC; "quit" closes only its own connection.
  int other = kt::TcpConnect(sim.control_port);
  ASSERT_GE(other, 0);
  std::string pending, line;
  ASSERT_TRUE(kt::SendAll(other, "get R 0 UINT\r\nquit\n"));
  ASSERT_TRUE(kt::RecvLine(other, pending, line));
  EXPECT_EQ(line, "OK 4660\n");
  ASSERT_TRUE(kt::RecvLine(other, pending, line));
  EXPECT_EQ(line, "OK\n");
  EXPECT_TRUE(kt::WaitClosed(other));
  close(other);
  EXPECT_EQ(sim.Ctl("get R 0 UINT"), "OK 4660");
}

TEST(PlcsimControl, FaultsHitTheNextExchanges) {
  kt::ScratchDir dir;
  Sim sim;
  ASSERT_TRUE(sim.Start({"--files", dir.path}));
  Bytes d;

  // noanswer 2: two requests vanish; the first reply is the third one's.
  ASSERT_EQ(sim.Ctl("fault noanswer 2"), "OK");
  sim.SendDatagram(kConnect, 1);
  sim.SendDatagram(kConnect, 2);
  sim.SendDatagram(kConnect, 3);
  ASSERT_TRUE(sim.RecvDatagram(d));
  EXPECT_EQ(SeqOf(d), 3);

  ASSERT_EQ(sim.Ctl("fault badseq"), "OK");
  sim.SendDatagram(kConnect, 10);
  ASSERT_TRUE(sim.RecvDatagram(d));
  EXPECT_NE(SeqOf(d), 10);
  EXPECT_EQ(Bytes(d.begin() + 6, d.end()), kConnectReply);

  ASSERT_EQ(sim.Ctl("fault short"), "OK");
  EXPECT_EQ(sim.Exchange(kConnect), Bytes(kConnectReply.begin(), kConnectReply.begin() + 3));
  ASSERT_EQ(sim.Ctl("fault long"), "OK");
  Bytes rep = sim.Exchange(kConnect);
  ASSERT_EQ(rep.size(), 22u);
  EXPECT_EQ(Bytes(rep.begin(), rep.begin() + 6), kConnectReply);
  ASSERT_EQ(sim.Ctl("fault refuse 0x0E"), "OK");
  EXPECT_EQ(sim.Exchange(Cat({kConnect, Request(0x6C, {0x0A})})),
            Cat({LongFrame(kMaster, kPlc, 0x0C, {0x30, 0x0E}),
                 LongFrame(kMaster, kPlc, 0x0C, {0x30, 0x0E})}));
  // Used up: the next exchange is normal again.
  EXPECT_EQ(sim.Exchange(kConnect), kConnectReply);

  // delay: a later request overtakes the delayed answer.
  ASSERT_EQ(sim.Ctl("fault delay 300"), "OK");
  sim.SendDatagram(kConnect, 20);
  sim.SendDatagram(kConnect, 21);
  ASSERT_TRUE(sim.RecvDatagram(d));
  EXPECT_EQ(SeqOf(d), 21);
  ASSERT_TRUE(sim.RecvDatagram(d));
  EXPECT_EQ(SeqOf(d), 20);

  // filehandle waits for a file read; other exchanges do not use it up.
  ASSERT_EQ(sim.Ctl("fileput f.txt 414243"), "OK");
  Bytes open = {0x28, 2, 1, 0, 0, 0, 0, 'f', '.', 't', 'x', 't', 0};
  uint32_t h = GetLe32(LongData(sim.Exchange(Request(0x6C, open))), 4);
  ASSERT_EQ(sim.Ctl("fault filehandle"), "OK");
  EXPECT_EQ(sim.Exchange(kConnect), kConnectReply);
  Bytes read = Cat({{0x28, 4}, Le32(h), Le32(0), Le32(230)});
  Bytes r = LongData(sim.Exchange(Request(0x6C, read)));
  EXPECT_NE(GetLe32(r, 4), h);
  EXPECT_EQ(GetLe32(LongData(sim.Exchange(Request(0x6C, read))), 4), h);

  // clear drops everything pending.
  ASSERT_EQ(sim.Ctl("fault noanswer 5"), "OK");
  ASSERT_EQ(sim.Ctl("fault refuse 11 5"), "OK");
  ASSERT_EQ(sim.Ctl("fault clear"), "OK");
  EXPECT_EQ(sim.Exchange(kConnect), kConnectReply);

  EXPECT_EQ(sim.Ctl("fault refuse"), "ERR bad fault parameter");
  EXPECT_EQ(sim.Ctl("fault refuse 256"), "ERR bad fault parameter");
  EXPECT_EQ(sim.Ctl("fault noanswer x"), "ERR bad fault count");
  EXPECT_EQ(sim.Ctl("fault sometimes"), "ERR unknown fault");
}

TEST(PlcsimControl, ProjectLoading) {
  Sim sim;
  ASSERT_TRUE(sim.Start({"--project", std::string(KORVANE_SOURCE_DIR) + "/examples/plc"}));
  EXPECT_EQ(sim.Ctl("get R 0 UDINT"), "OK 12345");
  EXPECT_EQ(sim.Ctl("get R 16 REAL"), "OK 21.5");
  EXPECT_EQ(sim.Ctl("get R 20 INT"), "OK -7");
  EXPECT_EQ(sim.Ctl("get X 0.3 BOOL"), "OK 1");
  EXPECT_EQ(sim.Ctl("get R 32 STRING[16]"), "OK hello");
  EXPECT_EQ(sim.Ctl("fileget readme.txt").substr(0, 8), "OK 46696");  // "Fi..."
  // READN of the project CRC as the server polls it.
  EXPECT_EQ(LongData(sim.Exchange(Request(0x6C, {0x0B, 3, 0, 0, 4}))), Le32(12345));

  kt::ScratchDir dir;
  ASSERT_TRUE(kt::WriteFile(dir / "values.txt", "# comment\n\nR 0 UINT 7\r\nR 2 UINT seven\n"));
  kt::Process bad;
  ASSERT_TRUE(kt::Spawn(bad, {KORVANE_PLCSIM_BIN, "--project", dir.path}));
  EXPECT_EQ(kt::WaitExit(bad), 1);
  EXPECT_NE(bad.err.find("values.txt:4: bad value"), std::string::npos) << bad.err;
}

TEST(PlcsimControl, PtyServesOneFramePerExchange) {
  Sim sim;
  ASSERT_TRUE(sim.Start({}, true));
  int fd = open(sim.pty_path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0) << sim.pty_path;
  termios tio;
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  cfmakeraw(&tio);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);

  // Noise before a frame is skipped; the frame may arrive in pieces.
  Bytes req = Cat({{0x00, 0xFF}, Request(0x63, {0x0C, 3, 8, 0, 2, 0xCD, 0xAB})});
  ASSERT_EQ(write(fd, req.data(), 5), 5);
  ASSERT_EQ(write(fd, req.data() + 5, req.size() - 5), static_cast<ssize_t>(req.size() - 5));
  EXPECT_EQ(ReadN(fd, 1), Bytes{0xE5});
  EXPECT_EQ(sim.Ctl("get R 8 UINT"), "OK 43981");

  Bytes read = Request(0x6C, {0x0B, 3, 8, 0, 2});
  ASSERT_EQ(write(fd, read.data(), read.size()), static_cast<ssize_t>(read.size()));
  Bytes want = LongFrame(kMaster, kPlc, 0x08, {0xCD, 0xAB});
  EXPECT_EQ(ReadN(fd, want.size()), want);
  EXPECT_EQ(sim.Ctl("stats"), "OK requests=2 frames=2 udp=0 serial=2");
  close(fd);
}

TEST(PlcsimControl, SigtermStopsCleanly) {
  Sim sim;
  ASSERT_TRUE(sim.Start({}, true));
  EXPECT_EQ(sim.Exchange(kConnect), kConnectReply);
  kt::Signal(sim.proc, SIGTERM);
  EXPECT_EQ(kt::WaitExit(sim.proc), 0);
}
