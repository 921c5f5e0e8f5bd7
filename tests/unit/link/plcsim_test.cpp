// Every service against the simulator (korvane-plcsim) over UDP and over its pseudo-terminal,
// including each fault it can inject.
#include "support/plcsim.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "link/dorvik.h"
#include "link_fake.h"
#include "support/scratch.h"

using lt::Bytes;
using lt::Cat;
using lt::Get32;
using lt::Le32;

namespace {

std::string Hex(const Bytes& b) {
  std::string s;
  for (unsigned char c : b) s += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return s;
}

// An open record: mode, then the name with its zero from byte 7.
Bytes OpenRecord(const std::string& name, unsigned char mode) {
  Bytes rec = lt::FileRecord(2, mode, 0, 0);
  memcpy(&rec[7], name.c_str(), name.size() + 1);
  return rec;
}

class SimLink : public testing::TestWithParam<bool> {  // true: UDP, false: the pty
 protected:
  kt::ScratchDir files;  // the PLC's file system
  kt::PlcSim sim;
  DORVIK_T link{};

  void SetUp() override {
    if (access(KORVANE_PLCSIM_BIN, X_OK) != 0) GTEST_SKIP() << "no simulator built";
    ASSERT_TRUE(kt::StartPlcSim(sim, true, true, {"--files", files.path}));
    Dorvik_SetStation(&link, 0, 5, 1000);
    if (Udp()) {
      Dorvik_SetUDP(&link, "127.0.0.1", sim.udp_port);
    } else {
      DORVIK_LINE_T line{115200, 8, 0, 1, 0, -1};
      Dorvik_SetSerial(&link, sim.pty.c_str(), &line);
    }
    ASSERT_EQ(Dorvik_INIT(&link), 0) << Dorvik_ErrorMSG(&link);
  }
  void TearDown() override { Dorvik_EXIT(&link); }

  bool Udp() const { return GetParam(); }
  std::string Ctl(const std::string& cmd) { return kt::SimControl(sim, cmd); }
  void Fault(const std::string& what) { ASSERT_EQ(Ctl("fault " + what), "OK"); }

  // Opens a PLC file; returns the handle, or -1.
  int Open(const char* name, unsigned char mode, uint32_t* length = nullptr) {
    Bytes rec = OpenRecord(name, mode);
    if (Dorvik_FILETRANSFER(&link, rec.data()) != 0 || Get32(rec.data()) != 0) return -1;
    if (length) *length = Get32(rec.data() + 8);
    return static_cast<int>(Get32(rec.data() + 4));
  }
  bool Close(int handle) {
    Bytes rec = lt::FileRecord(3, 0, 0, 0);  // the handle from byte 3
    memcpy(&rec[3], Le32(static_cast<uint32_t>(handle)).data(), 4);
    return Dorvik_FILETRANSFER(&link, rec.data()) == 0 && Get32(rec.data()) == 0;
  }
};

TEST_P(SimLink, ConnectionAndStatusServices) {
  EXPECT_EQ(Dorvik_CONNECT(&link), 0) << Dorvik_ErrorMSG(&link);
  ASSERT_EQ(Ctl("ident CPU-SIM|V1.2|Korvane|Test"), "OK");
  unsigned char out[300];
  ASSERT_EQ(Dorvik_IDENT(&link, out), 4 + 7 + 4 + 7 + 4) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(out[0], 7);
  EXPECT_EQ(out[1], 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out + 4), 7), "CPU-SIM");
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(Dorvik_GETERR(&link, out), 2);
  EXPECT_EQ(out[0], 0);
  const unsigned char cw[] = {0, 0x34, 0x12}, mask[] = {0, 0xFF, 0x00, 0x56, 0x00};
  EXPECT_EQ(Dorvik_SETCW(&link, cw), 0) << Dorvik_ErrorMSG(&link);
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
  EXPECT_EQ(Ctl("getbytes R 32 2"), "OK abcd");
  unsigned char wb[] = {0, 3, 40, 0, 0x83};  // bit 3 of R 40 := 1
  EXPECT_EQ(Dorvik_WRITEB(&link, wb, 1), 0) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(Ctl("getbytes R 40 1"), "OK 08");
  unsigned char rb[300] = {0, 3, 40, 0, 3};
  EXPECT_EQ(Dorvik_READB(&link, rb, 1), 1) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(rb[0], 1);

  // Three blocks of 100 bytes: two frames over UDP, the first only on the line.
  Bytes image = lt::Seq(300, 1);
  ASSERT_EQ(Ctl("setbytes R 1000 " + Hex(image)), "OK");
  unsigned char desc[2000] = {0,         3,   1000 & 0xFF, 1000 >> 8,   100,       3,  1100 & 0xFF,
                              1100 >> 8, 100, 3,           1200 & 0xFF, 1200 >> 8, 100};
  int got = Dorvik_READN(&link, desc, 3);
  ASSERT_EQ(got, Udp() ? 300 : 200) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(Bytes(desc, desc + got), Bytes(image.begin(), image.begin() + got));
  // The PLC refuses a block past the register's end.
  unsigned char bad[300] = {0, 200, 0, 0, 4};
  EXPECT_EQ(Dorvik_READN(&link, bad, 1), -1);
  EXPECT_EQ(link.error.load(), 523u);
}

TEST_P(SimLink, FileTransfer) {
  Bytes content = lt::Seq(500, 3);
  ASSERT_EQ(Ctl("fileput a.txt " + Hex(content)), "OK");
  uint32_t length = 0;
  int h = Open("a.txt", 1, &length);
  ASSERT_GE(h, 0) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(length, 500u);
  Bytes got, rec;
  while (got.size() < 500) {
    rec = lt::FileRecord(4, h, uint32_t(got.size()), uint32_t(500 - got.size()));
    int n = Dorvik_FILETRANSFER(&link, rec.data());
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
  Fault("filehandle");
  rec = lt::FileRecord(4, h, 0, 10);
  EXPECT_GT(Dorvik_FILETRANSFER(&link, rec.data()), 0);
  EXPECT_NE(Get32(rec.data() + 4), static_cast<uint32_t>(h));
  EXPECT_TRUE(Close(h));

  Bytes data = lt::Seq(300, 9);
  h = Open("b.txt", 6);
  ASSERT_GE(h, 0) << Dorvik_ErrorMSG(&link);
  for (size_t sent = 0; sent < data.size();) {
    Bytes piece(data.begin() + static_cast<long>(sent), data.end());
    rec = lt::FileRecord(5, h, uint32_t(sent), uint32_t(piece.size()), piece);
    int n = Dorvik_FILETRANSFER(&link, rec.data());
    ASSERT_GT(n, 0) << Dorvik_ErrorMSG(&link);
    if (sent == 0) {
      EXPECT_EQ(n, Udp() ? 300 : 230);  // two frames, or one on the line
    }
    sent += static_cast<size_t>(n);
  }
  EXPECT_TRUE(Close(h));
  EXPECT_EQ(Ctl("fileget b.txt"), "OK " + Hex(data));

  // A missing file: the status says so, the call itself succeeds.
  rec = OpenRecord("nope.txt", 1);
  EXPECT_EQ(Dorvik_FILETRANSFER(&link, rec.data()), 0);
  EXPECT_EQ(Get32(rec.data()), 2u);
  unsigned char shm[252] = {0, 0xFF, 1, 2, 3, 4};
  EXPECT_EQ(Dorvik_SHMTRANSFER(&link, shm), 4) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(Get32(shm), 0u);
}

TEST_P(SimLink, InjectedFaults) {
  unsigned char out[300];
  // No answer: 80 over UDP; on the line the cleared reply area fails the check (16).
  Fault("noanswer");
  EXPECT_EQ(Dorvik_CONNECT(&link), 1);
  EXPECT_EQ(link.error.load(), Udp() ? 80u : 16u);
  EXPECT_EQ(Dorvik_CONNECT(&link), 0) << Dorvik_ErrorMSG(&link);

  // Wrong sequence number: over UDP the answer is dropped and the prepared area fails the
  // check; no effect on the line.
  Fault("badseq");
  EXPECT_EQ(Dorvik_GETSW(&link, out), Udp() ? -1 : 2);
  if (Udp()) {
    EXPECT_NE(link.error.load(), 0u);
    EXPECT_NE(link.error.load(), 80u);
  }
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2) << Dorvik_ErrorMSG(&link);

  // A reply cut short fails the check.
  Fault("short");
  EXPECT_EQ(Dorvik_GETSW(&link, out), -1);
  EXPECT_NE(link.error.load(), 0u);
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2) << Dorvik_ErrorMSG(&link);

  // Garbage behind the reply: the frame itself is still good, also for a short frame.
  Fault("long");
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2) << Dorvik_ErrorMSG(&link);
  Fault("long");
  EXPECT_EQ(Dorvik_CONNECT(&link), 0) << Dorvik_ErrorMSG(&link);
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2) << Dorvik_ErrorMSG(&link);

  // Refusals carry their code.
  Fault("refuse 14");
  unsigned char buf[300] = {0, 3, 0, 0, 4};
  EXPECT_EQ(Dorvik_READN(&link, buf, 1), -1);
  EXPECT_EQ(link.error.load(), 526u);
  Fault("refuse 0x21");
  EXPECT_EQ(Dorvik_GETSW(&link, out), -1);
  EXPECT_STREQ(Dorvik_ErrorMSG(&link), "[0x230] Error while processing the message.");

  // A delay within the time-out is waited for; one beyond it is covered by the extra wait.
  Fault("delay 200");
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2) << Dorvik_ErrorMSG(&link);
  Fault("delay 1300");
  Dorvik_SetExtraWait(&link, 1000);
  EXPECT_EQ(Dorvik_GETSW(&link, out), 2) << Dorvik_ErrorMSG(&link);
}

INSTANTIATE_TEST_SUITE_P(Transports, SimLink, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) {
                           return std::string(i.param ? "Udp" : "Pty");
                         });

}  // namespace
