// The serial transport over a pseudo-terminal (the test is the PLC), the transmit wait, the
// serial device table and the RTS line through a stand-in GPIO folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>

#include "link/dorvik.h"
#include "link_fake.h"
#include "pty_plc.h"
#include "support/scratch.h"

using lt::Bytes;
using lt::PtyPlc;

namespace {

struct SerialLine {
  SEREP_T ep{};
  bool open = false;
  explicit SerialLine(const std::string& device, unsigned timeout = 2000) {
    ep.timeout = timeout;
    ep.speed = 115200;
    ep.data_bits = 8;
    ep.stop_bits = 0;
    ep.parity = 1;
    ep.flow = 0;
    ep.rts_gpio = -1;
    open = Serial_Init(&ep, device.c_str()) == 0;
  }
  ~SerialLine() { Serial_Exit(&ep); }
};

struct Result {
  int rc;
  int error;
};

const Bytes kRequest = {0x68, 4, 4, 0x68, 0, 5, 0x6C, 0x0A, 0x7B, 0x16};

// One exchange in the background; the PLC reads the request and answers `answer`.
Result Exchange(PtyPlc& plc, SEREP_T* ep, const Bytes& answer, unsigned char* area, int expect,
                int cap, Bytes* request_seen = nullptr) {
  auto fut = std::async(std::launch::async, [&] {
    Result r{};
    r.rc = Serial_SendData(ep, kRequest.data(), area, static_cast<int>(kRequest.size()), expect,
                           &r.error, cap);
    return r;
  });
  Bytes req = plc.Read(kRequest.size());
  if (request_seen) *request_seen = req;
  if (!answer.empty()) plc.Write(answer);
  return fut.get();
}

}  // namespace

TEST(Serial, TransmitWaitArithmetic) {
  EXPECT_EQ(Serial_TxWaitUs(12, 11, 9600), 14750);
  EXPECT_EQ(Serial_TxWaitUs(0, 11, 9600), 1000);
  EXPECT_EQ(Serial_TxWaitUs(2650, 12, 50), 2650LL * 12 * 1000000 / 50 + 1000);  // no overflow
}

TEST(Serial, LineSetUp) {
  PtyPlc plc;
  ASSERT_FALSE(plc.slave.empty());
  SerialLine line(plc.slave);
  ASSERT_TRUE(line.open);
  EXPECT_EQ(line.ep.bits_per_char, 11);  // 1 + 8 + 1 + parity
  Serial_Exit(&line.ep);
  EXPECT_EQ(line.ep.fd, -1);

  SEREP_T ep{};
  ep.speed = 9600;
  ep.data_bits = 8;
  ep.stop_bits = 1;  // two stop bits
  ep.parity = 0;
  ep.rts_gpio = -1;
  ASSERT_EQ(Serial_Init(&ep, plc.slave.c_str()), 0);
  EXPECT_EQ(ep.bits_per_char, 11);
  Serial_Exit(&ep);
  ep.stop_bits = 7;  // unsupported: one stop bit, not counted
  ep.parity = 9;     // unsupported: off
  ep.flow = 5;
  ASSERT_EQ(Serial_Init(&ep, plc.slave.c_str()), 0);
  EXPECT_EQ(ep.bits_per_char, 9);
  Serial_Exit(&ep);

  ep.speed = 0;
  EXPECT_EQ(Serial_Init(&ep, plc.slave.c_str()), 1);
  ep.speed = 9600;
  ep.data_bits = 9;
  EXPECT_EQ(Serial_Init(&ep, plc.slave.c_str()), 1);
  ep.data_bits = 8;
  EXPECT_EQ(Serial_Init(&ep, "/nonexistent/ttyX"), 1);
  EXPECT_EQ(ep.fd, -1);
}

TEST(Serial, FrameEnds) {
  PtyPlc plc;
  SerialLine line(plc.slave);
  ASSERT_TRUE(line.open);
  unsigned char area[300];

  // A short frame ends after 6 bytes although 255 were expected.
  Bytes seen;
  Result r = Exchange(plc, &line.ep, lt::ShortFrame(5, 0, 0), area, 255, 300, &seen);
  EXPECT_EQ(seen, kRequest);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(Bytes(area, area + 6), lt::ShortFrame(5, 0, 0));
  EXPECT_EQ(area[6], 0);

  // A long frame ends at LE + 5.
  Bytes lf = lt::LongFrame(5, 0, 0x08, {1, 2});
  r = Exchange(plc, &line.ep, lf, area, 255, 300);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(Bytes(area, area + lf.size()), lf);

  // A long frame whose SA happens to be 0x16 is not cut at offset 5.
  lf = lt::LongFrame(5, 0x16, 0x08, {1, 2, 3});
  r = Exchange(plc, &line.ep, lf, area, 255, 300);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(Bytes(area, area + lf.size()), lf);
}

TEST(Serial, AcknowledgementWaitsForTheExpectedCount) {
  PtyPlc plc;
  SerialLine line(plc.slave, 150);
  ASSERT_TRUE(line.open);
  unsigned char area[6];
  Result r = Exchange(plc, &line.ep, {0xE5}, area, 2, 6);
  EXPECT_EQ(r.rc, 1);  // waited for the second byte until the budget ran out
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(area[0], 0xE5);

  r = Exchange(plc, &line.ep, {0xE5, 0x00}, area, 2, 6);
  EXPECT_EQ(r.rc, 0);

  r = Exchange(plc, &line.ep, {0xE5}, area, 1, 6);
  EXPECT_EQ(r.rc, 0);
}

TEST(Serial, TimeoutLeavesCodeZero) {
  PtyPlc plc;
  SerialLine line(plc.slave, 100);
  ASSERT_TRUE(line.open);
  line.ep.extra_wait = 50;
  unsigned char area[255];
  memset(area, 0xEE, sizeof area);
  Result r = Exchange(plc, &line.ep, {}, area, 255, 255);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(area[0], 0);  // cleared before waiting
}

TEST(Serial, ServicesOverTheLine) {
  PtyPlc plc;
  ASSERT_FALSE(plc.slave.empty());
  DORVIK_T link{};
  link.iface = 2;
  link.timeout = 100;
  link.own_addr = 5;
  snprintf(link.device, sizeof link.device, "%s", plc.slave.c_str());
  link.ser.speed = 115200;
  link.ser.data_bits = 8;
  link.ser.parity = 1;
  link.ser.flow = 1;
  link.ser.rts_gpio = -1;
  ASSERT_EQ(Dorvik_INIT(&link), 0);
  EXPECT_EQ(link.max_frames, 1);
  EXPECT_GT(link.handle, 0);

  // Nothing answers: the cleared reply area fails the check with 16.
  std::future<Bytes> seen = std::async(std::launch::async, [&] { return plc.Read(6); });
  EXPECT_EQ(Dorvik_CONNECT(&link), 1);
  EXPECT_EQ(link.error.load(), 16u);
  EXPECT_EQ(seen.get(), (Bytes{0x10, 0, 5, 0x69, 0x6E, 0x16}));

  // A short frame acknowledges SETCW on the line as well (one byte was expected).
  auto plc_side = std::async(std::launch::async, [&] {
    Bytes req = plc.Read(12);
    plc.Write(lt::ShortFrame(5, 0, 0));
    return req;
  });
  const unsigned char cw[] = {0, 1, 2};
  EXPECT_EQ(Dorvik_SETCW(&link, cw), 0);
  EXPECT_EQ(plc_side.get().size(), 12u);

  Dorvik_EXIT(&link);
  EXPECT_EQ(link.handle, 0);
}

TEST(Serial, DeviceTable) {
  EXPECT_EQ(Serial_CFG_Init("ttyS0 5,ttyS1 6"), 0);
  ASSERT_NE(Serial_CFG_Find("ttyS1"), nullptr);
  EXPECT_EQ(Serial_CFG_Find("ttyS1")->rts_gpio, 6);
  EXPECT_EQ(Serial_CFG_Find("ttyS0")->rts_gpio, 5);
  EXPECT_EQ(Serial_CFG_Find("ttyS"), nullptr);

  EXPECT_EQ(Serial_CFG_Init("ttyS0 5,ttyS1"), -1);
  EXPECT_NE(Serial_CFG_Find("ttyS0"), nullptr);
  EXPECT_EQ(Serial_CFG_Find("ttyS1"), nullptr);
  EXPECT_EQ(serial_cfg[1].name[0], '\0');

  std::string text;
  for (int i = 0; i < 11; i++)
    text += (i ? "," : "") + std::string("tty") + std::to_string(i) + " " + std::to_string(i + 100);
  EXPECT_EQ(Serial_CFG_Init(text.c_str()), 0);
  EXPECT_EQ(serial_cfg[9].rts_gpio, 109);
  EXPECT_EQ(Serial_CFG_Find("tty10"), nullptr);  // the eleventh item is ignored

  // Names are cut at 31 characters.
  EXPECT_EQ(Serial_CFG_Init("abcdefghijabcdefghijabcdefghijabcdefghij 3"), -1);
  EXPECT_EQ(strlen(serial_cfg[0].name), 0u);
}

TEST(Serial, RtsThroughGpioFolder) {
  kt::ScratchDir dir;
  Serial_SetGpioRoot(dir.path.c_str());
  SEREP_T ep{};
  ep.rts_gpio = -1;
  EXPECT_EQ(Serial_Set_RTS(&ep, 1), 0);  // not driven

  ep.rts_gpio = 7;
  EXPECT_EQ(Serial_Set_RTS(&ep, 1), 1);  // no such GPIO file
  ASSERT_EQ(mkdir((dir / "gpio7").c_str(), 0755), 0);
  ASSERT_TRUE(kt::WriteFile(dir / "gpio7/value", "0\n"));
  EXPECT_EQ(Serial_Set_RTS(&ep, 1), 0);
  EXPECT_EQ(kt::ReadFile(dir / "gpio7/value"), "1\n");
  EXPECT_EQ(Serial_Set_RTS(&ep, 0), 0);
  EXPECT_EQ(kt::ReadFile(dir / "gpio7/value"), "0\n");

  // A value file that never reads back the value: time-out.
  ASSERT_EQ(mkdir((dir / "gpio8").c_str(), 0755), 0);
  ASSERT_EQ(symlink("/dev/null", (dir / "gpio8/value").c_str()), 0);
  ep.rts_gpio = 8;
  EXPECT_EQ(Serial_Set_RTS(&ep, 1), 1);

  // The exchange raises RTS and drops it after sending.
  PtyPlc plc;
  SerialLine line(plc.slave, 100);
  ASSERT_TRUE(line.open);
  line.ep.rts_gpio = 7;
  unsigned char area[6];
  Result r = Exchange(plc, &line.ep, {0xE5}, area, 1, 6);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(kt::ReadFile(dir / "gpio7/value"), "0\n");
  Serial_SetGpioRoot(nullptr);
}
