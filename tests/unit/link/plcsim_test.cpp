// Every service against the simulator (korvane-plcsim) over UDP and over its pseudo-terminal,
// including each fault it can inject.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "link/dorvik.h"
#include "link_fake.h"
#include "support/net.h"
#include "support/process.h"
#include "support/scratch.h"

using lt::Bytes;
using lt::Get32;
using lt::Le32;

namespace {

enum Transport { UDP, PTY };

std::string Hex(const Bytes& b) {
  std::string s;
  char two[3];
  for (unsigned char c : b) {
    snprintf(two, sizeof two, "%02x", c);
    s += two;
  }
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

Bytes Pattern(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<unsigned char>((i * 7 + seed) % 251);
  return b;
}

class SimLink : public testing::TestWithParam<Transport> {
 protected:
  kt::ScratchDir files;  // the PLC's file system
  kt::Process sim;
  int ctl = -1;
  std::string pending;
  DORVIK_T link{};

  void SetUp() override {
    if (access(KORVANE_PLCSIM_BIN, X_OK) != 0) GTEST_SKIP() << "no simulator built";
    ASSERT_TRUE(kt::Spawn(sim, {KORVANE_PLCSIM_BIN, "--udp", "127.0.0.1:0", "--control",
                                "127.0.0.1:0", "--pty", "--files", files.path}));
    std::string udp, control, pty;
    ASSERT_TRUE(kt::WaitLine(sim, "udp ", udp));
    ASSERT_TRUE(kt::WaitLine(sim, "control ", control));
    ASSERT_TRUE(kt::WaitLine(sim, "pty ", pty));
    ctl = kt::TcpConnect(std::stoi(control.substr(control.rfind(':') + 1)));
    ASSERT_GE(ctl, 0);

    link.own_addr = 5;
    link.plc_addr = 0;
    link.timeout = 1000;
    if (GetParam() == UDP) {
      link.iface = DORVIK_IFACE_UDP;
      link.port = std::stoi(udp.substr(udp.rfind(':') + 1));
      snprintf(link.ip, sizeof link.ip, "127.0.0.1");
    } else {
      link.iface = DORVIK_IFACE_SERIAL;
      snprintf(link.device, sizeof link.device, "%s", pty.c_str());
      link.ser.speed = 115200;
      link.ser.data_bits = 8;
      link.ser.stop_bits = 0;
      link.ser.parity = 1;
      link.ser.flow = 0;
      link.ser.rts_gpio = -1;
    }
    ASSERT_EQ(Dorvik_INIT(&link), 0) << Dorvik_ErrorMSG(&link);
  }

  void TearDown() override {
    Dorvik_EXIT(&link);
    if (ctl >= 0) close(ctl);
    kt::Stop(sim);
  }

  std::string Ctl(const std::string& cmd) {
    std::string line;
    if (!kt::SendAll(ctl, cmd + "\n") || !kt::RecvLine(ctl, pending, line)) return "<no reply>";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
  }

  bool Udp() const { return GetParam() == UDP; }

  // Opens a PLC file; returns the handle, or -1.
  int Open(const char* name, unsigned char mode, uint32_t* length = nullptr) {
    Bytes rec(252, 0);
    rec[1] = 2;
    rec[2] = mode;
    memcpy(rec.data() + 7, name, strlen(name) + 1);
    if (Dorvik_FILETRANSFER(&link, rec.data()) != 0 || Get32(rec.data()) != 0) return -1;
    if (length) *length = Get32(rec.data() + 8);
    return static_cast<int>(Get32(rec.data() + 4));
  }

  bool Close(int handle) {
    Bytes rec(252, 0);
    rec[1] = 3;
    Bytes h = Le32(static_cast<uint32_t>(handle));
    std::copy(h.begin(), h.end(), rec.begin() + 3);
    return Dorvik_FILETRANSFER(&link, rec.data()) == 0 && Get32(rec.data()) == 0;
  }

  // One read or write call; returns the service's result and leaves the record in `rec`.
  int Transfer(unsigned char sub, int handle, uint32_t offset, const Bytes& data, uint32_t length,
               Bytes& rec) {
    rec.assign(16 + 5 * 230, 0);
    rec[1] = sub;
    Bytes h = Le32(static_cast<uint32_t>(handle)), o = Le32(offset), l = Le32(length);
    std::copy(h.begin(), h.end(), rec.begin() + 2);
    std::copy(o.begin(), o.end(), rec.begin() + 6);
    std::copy(l.begin(), l.end(), rec.begin() + 10);
    std::copy(data.begin(), data.end(), rec.begin() + 14);
    return Dorvik_FILETRANSFER(&link, rec.data());
  }
};

TEST_P(SimLink, ConnectionAndStatusServices) {
  EXPECT_EQ(Dorvik_CONNECT(&link), 0) << Dorvik_ErrorMSG(&link);

  ASSERT_EQ(Ctl("ident CPU-SIM|V1.2|Korvane|Test"), "OK");
  unsigned char out[300];
  int n = Dorvik_IDENT(&link, out);
  ASSERT_EQ(n, 4 + 7 + 4 + 7 + 4) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(out[0], 7);
  EXPECT_EQ(out[1], 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out + 4), 7), "CPU-SIM");

  EXPECT_EQ(Dorvik_GETSW(&link, out), 2);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(Dorvik_GETERR(&link, out), 2);
  EXPECT_EQ(out[0], 0);

  const unsigned char cw[] = {0, 0x34, 0x12};
  EXPECT_EQ(Dorvik_SETCW(&link, cw), 0) << Dorvik_ErrorMSG(&link);
  const unsigned char mask[] = {0, 0xFF, 0x00, 0x56, 0x00};
  EXPECT_EQ(Dorvik_MASKCW(&link, mask), 0) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(Dorvik_LOGOUT(&link), 0) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(link.error.load(), 0u);
}

TEST_P(SimLink, RegisterServices) {
  ASSERT_EQ(Ctl("setbytes R 16 0102030405"), "OK");
  unsigned char buf[2000] = {0, 3, 16, 0, 5};
  ASSERT_EQ(Dorvik_READN(&link, buf, 1), 5) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(Bytes(buf, buf + 5), (Bytes{1, 2, 3, 4, 5}));

  unsigned char wn[] = {0, 3, 32, 0, 2, 0xAB, 0xCD};
  EXPECT_EQ(Dorvik_WRITEN(&link, wn, 1), 0) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(Lower(Ctl("getbytes R 32 2")), "ok abcd");

  unsigned char wb[] = {0, 3, 40, 0, 0x83};  // bit 3 of R 40 := 1
  EXPECT_EQ(Dorvik_WRITEB(&link, wb, 1), 0) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(Ctl("getbytes R 40 1"), "OK 08");

  unsigned char rb[300] = {0, 3, 40, 0, 3};
  EXPECT_EQ(Dorvik_READB(&link, rb, 1), 1) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(rb[0], 1);

  // Three blocks of 100 bytes: two frames over UDP, the first only on the line.
  Bytes image = Pattern(300, 1);
  ASSERT_EQ(Ctl("setbytes R 1000 " + Hex(image)), "OK");
  unsigned char desc[2000] = {0};
  for (int k = 0; k < 3; k++) {
    int addr = 1000 + 100 * k;
    unsigned char d[4] = {3, static_cast<unsigned char>(addr),
                          static_cast<unsigned char>(addr >> 8), 100};
    memcpy(desc + 1 + 4 * k, d, 4);
  }
  int got = Dorvik_READN(&link, desc, 3);
  ASSERT_EQ(got, Udp() ? 300 : 200) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(Bytes(desc, desc + got), Bytes(image.begin(), image.begin() + got));

  // The PLC refuses a block past the register's end.
  unsigned char bad[300] = {0, 200, 0, 0, 4};
  EXPECT_EQ(Dorvik_READN(&link, bad, 1), -1);
  EXPECT_EQ(link.error.load(), 523u);
}

TEST_P(SimLink, FileTransfer) {
  Bytes content = Pattern(500, 3);
  ASSERT_EQ(Ctl("fileput a.txt " + Hex(content)), "OK");
  uint32_t length = 0;
  int h = Open("a.txt", 1, &length);
  ASSERT_GE(h, 0) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(length, 500u);
  Bytes got, rec;
  while (got.size() < 500) {
    uint32_t offset = static_cast<uint32_t>(got.size());
    int n = Transfer(4, h, offset, {}, 500 - offset, rec);
    ASSERT_GT(n, 0) << Dorvik_ErrorMSG(&link);
    if (got.empty()) {
      EXPECT_EQ(n, Udp() ? 500 : 230);  // three frames, or one on the line
    }
    EXPECT_EQ(Get32(rec.data()), 0u);
    EXPECT_EQ(Get32(rec.data() + 4), static_cast<uint32_t>(h));
    got.insert(got.end(), rec.begin() + 16, rec.begin() + 16 + n);
  }
  EXPECT_EQ(got, content);
  // A wrong handle in the reply is left for the caller to see.
  ASSERT_EQ(Ctl("fault filehandle"), "OK");
  EXPECT_GT(Transfer(4, h, 0, {}, 10, rec), 0);
  EXPECT_NE(Get32(rec.data() + 4), static_cast<uint32_t>(h));
  EXPECT_TRUE(Close(h));

  Bytes data = Pattern(300, 9);
  h = Open("b.txt", 6);
  ASSERT_GE(h, 0) << Dorvik_ErrorMSG(&link);
  size_t sent = 0;
  while (sent < data.size()) {
    Bytes piece(data.begin() + static_cast<long>(sent), data.end());
    int n = Transfer(5, h, static_cast<uint32_t>(sent), piece, static_cast<uint32_t>(piece.size()),
                     rec);
    ASSERT_GT(n, 0) << Dorvik_ErrorMSG(&link);
    if (sent == 0) {
      EXPECT_EQ(n, Udp() ? 300 : 230);  // two frames, or one on the line
    }
    sent += static_cast<size_t>(n);
  }
  EXPECT_TRUE(Close(h));
  EXPECT_EQ(Lower(Ctl("fileget b.txt")), "ok " + Hex(data));

  // A missing file: the status says so, the call itself succeeds.
  Bytes open(252, 0);
  open[1] = 2;
  open[2] = 1;
  memcpy(open.data() + 7, "nope.txt", 9);
  EXPECT_EQ(Dorvik_FILETRANSFER(&link, open.data()), 0);
  EXPECT_EQ(Get32(open.data()), 2u);

  unsigned char shm[252] = {0, 0xFF, 1, 2, 3, 4};
  EXPECT_EQ(Dorvik_SHMTRANSFER(&link, shm), 4) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(Get32(shm), 0u);
}

TEST_P(SimLink, InjectedFaults) {
  unsigned char out[300];
  // No answer: 80 over UDP; on the line the cleared reply area fails the check (16).
  ASSERT_EQ(Ctl("fault noanswer"), "OK");
  EXPECT_EQ(Dorvik_CONNECT(&link), 1);
  EXPECT_EQ(link.error.load(), Udp() ? 80u : 16u);
  EXPECT_EQ(Dorvik_CONNECT(&link), 0) << Dorvik_ErrorMSG(&link);

  // Wrong sequence number: the answer is dropped; the prepared area fails the check.
  ASSERT_EQ(Ctl("fault badseq"), "OK");
  if (Udp()) {
    EXPECT_EQ(Dorvik_GETSW(&link, out), -1);
    EXPECT_NE(link.error.load(), 0u);
    EXPECT_NE(link.error.load(), 80u);
  } else {
    EXPECT_EQ(Dorvik_GETSW(&link, out), 2);  // no effect on the line
  }
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2) << Dorvik_ErrorMSG(&link);

  // A reply cut short fails the check.
  ASSERT_EQ(Ctl("fault short"), "OK");
  EXPECT_EQ(Dorvik_GETSW(&link, out), -1);
  EXPECT_NE(link.error.load(), 0u);
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2) << Dorvik_ErrorMSG(&link);

  // Garbage behind the reply: the frame itself is still good.
  ASSERT_EQ(Ctl("fault long"), "OK");
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2) << Dorvik_ErrorMSG(&link);
  ASSERT_EQ(Ctl("fault long"), "OK");
  EXPECT_EQ(Dorvik_CONNECT(&link), 0) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2) << Dorvik_ErrorMSG(&link);

  // Refusals carry their code.
  ASSERT_EQ(Ctl("fault refuse 14"), "OK");
  unsigned char buf[300] = {0, 3, 0, 0, 4};
  EXPECT_EQ(Dorvik_READN(&link, buf, 1), -1);
  EXPECT_EQ(link.error.load(), 526u);
  ASSERT_EQ(Ctl("fault refuse 0x21"), "OK");
  EXPECT_EQ(Dorvik_GETSW(&link, out), -1);
  EXPECT_EQ(link.error.load(), 560u);
  EXPECT_STREQ(Dorvik_ErrorMSG(&link), "[0x230] Error while processing the message.");

  // A delay within the time-out is waited for.
  ASSERT_EQ(Ctl("fault delay 200"), "OK");
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2) << Dorvik_ErrorMSG(&link);

  // A delay beyond the time-out is covered by the extra wait of a later attempt.
  ASSERT_EQ(Ctl("fault delay 1300"), "OK");
  link.udp.extra_wait = 1000;
  link.ser.extra_wait = 1000;
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2) << Dorvik_ErrorMSG(&link);
}

INSTANTIATE_TEST_SUITE_P(Transports, SimLink, testing::Values(UDP, PTY),
                         [](const testing::TestParamInfo<Transport>& i) {
                           return std::string(i.param == UDP ? "Udp" : "Pty");
                         });

}  // namespace
