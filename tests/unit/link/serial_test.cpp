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

const Bytes kRequest = {0x68, 4, 4, 0x68, 0, 5, 0x6C, 0x0A, 0x7B, 0x16};

struct Result {
  int rc;
  int error;
};

// A pty with the server's line open on its slave side, 115200 8E1.
struct Line {
  PtyPlc plc;
  SEREP_T ep{};
  bool open = false;
  explicit Line(unsigned timeout = 2000) {
    ep.timeout = timeout;
    ep.speed = 115200;
    ep.data_bits = 8;
    ep.parity = 1;
    ep.rts_gpio = -1;
    open = !plc.slave.empty() && Serial_Init(&ep, plc.slave.c_str()) == 0;
  }
  ~Line() { Serial_Exit(&ep); }
  // One exchange; the PLC reads the request and answers `answer` (nothing when empty).
  Result Exchange(const Bytes& answer, unsigned char* area, int expect, int cap) {
    auto fut = std::async(std::launch::async, [&] {
      Result r{};
      r.rc = Serial_SendData(&ep, kRequest.data(), area, static_cast<int>(kRequest.size()), expect,
                             &r.error, cap);
      return r;
    });
    EXPECT_EQ(plc.Read(kRequest.size()), kRequest);
    if (!answer.empty()) plc.Write(answer);
    return fut.get();
  }
};

}  // namespace

TEST(Serial, TransmitWaitArithmetic) {
  EXPECT_EQ(Serial_TxWaitUs(12, 11, 9600), 14750);
  EXPECT_EQ(Serial_TxWaitUs(0, 11, 9600), 1000);
  EXPECT_EQ(Serial_TxWaitUs(2650, 12, 50), 2650LL * 12 * 1000000 / 50 + 1000);  // no overflow
}

TEST(Serial, LineSetUp) {
  PtyPlc plc;
  ASSERT_FALSE(plc.slave.empty());
  const struct {
    int speed, data_bits, stop_bits, parity, flow, rc, bits_per_char;
  } rows[] = {
      {115200, 8, 0, 1, 0, 0, 11},  // 1 + 8 + 1 + parity
      {9600, 8, 1, 0, 0, 0, 11},    // two stop bits
      {9600, 8, 7, 9, 5, 0, 9},     // unsupported stop bits, parity, flow: 8N1
      {0, 8, 0, 0, 0, 1, 0},       {9600, 9, 0, 0, 0, 1, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.speed * 10 + r.data_bits);
    SEREP_T ep{};
    ep.speed = r.speed;
    ep.data_bits = r.data_bits;
    ep.stop_bits = r.stop_bits;
    ep.parity = r.parity;
    ep.flow = r.flow;
    ep.rts_gpio = -1;
    ASSERT_EQ(Serial_Init(&ep, plc.slave.c_str()), r.rc);
    if (r.rc == 0) {
      EXPECT_EQ(ep.bits_per_char, r.bits_per_char);
    }
    Serial_Exit(&ep);
    EXPECT_EQ(ep.fd, -1);
  }
}

TEST(Serial, FrameEnds) {
  Line line;
  ASSERT_TRUE(line.open);
  unsigned char area[300];
  // A short frame ends after 6 bytes although 255 were expected; the rest stays cleared.
  Result r = line.Exchange(lt::ShortFrame(5, 0, 0), area, 255, 300);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(Bytes(area, area + 7), lt::Cat(lt::ShortFrame(5, 0, 0), {0}));
  // A short frame acknowledging a write is taken whole although one byte was expected.
  EXPECT_EQ(line.Exchange(lt::ShortFrame(5, 0, 0), area, 1, 6).rc, 0);
  EXPECT_EQ(Bytes(area, area + 6), lt::ShortFrame(5, 0, 0));
  // A long frame ends at LE + 5, also when its SA happens to be 0x16.
  for (Bytes lf : {lt::LongFrame(5, 0, 0x08, {1, 2}), lt::LongFrame(5, 0x16, 0x08, {1, 2, 3})}) {
    r = line.Exchange(lf, area, 255, 300);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(Bytes(area, area + lf.size()), lf);
  }
}

TEST(Serial, AcknowledgementAndTimeout) {
  Line line(150);
  ASSERT_TRUE(line.open);
  unsigned char area[255];
  // 0xE5 waits for the expected count: with 2 expected the budget runs out, code 0.
  Result r = line.Exchange({0xE5}, area, 2, 6);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(area[0], 0xE5);
  EXPECT_EQ(line.Exchange({0xE5, 0x00}, area, 2, 6).rc, 0);
  EXPECT_EQ(line.Exchange({0xE5}, area, 1, 6).rc, 0);

  // Nothing at all: time-out plus extra wait, code 0, the area cleared before waiting.
  line.ep.extra_wait = 50;
  memset(area, 0xEE, sizeof area);
  r = line.Exchange({}, area, 255, 255);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(area[0], 0);
}

TEST(Serial, DeviceTable) {
  EXPECT_EQ(Serial_CFG_Init("ttyS0 5,ttyS1 6"), 0);
  ASSERT_NE(Serial_CFG_Find("ttyS1"), nullptr);
  EXPECT_EQ(Serial_CFG_Find("ttyS1")->rts_gpio, 6);
  EXPECT_EQ(Serial_CFG_Find("ttyS0")->rts_gpio, 5);
  EXPECT_EQ(Serial_CFG_Find("ttyS"), nullptr);

  // An item without its GPIO: the records before it stay, -1.
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

  // A name past 31 characters is read bounded; the rest then fails the item.
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

  // A value file that never reads back the value: time-out.
  ASSERT_EQ(mkdir((dir / "gpio8").c_str(), 0755), 0);
  ASSERT_EQ(symlink("/dev/null", (dir / "gpio8/value").c_str()), 0);
  ep.rts_gpio = 8;
  EXPECT_EQ(Serial_Set_RTS(&ep, 1), 1);

  // The exchange raises RTS and drops it after sending.
  Line line(100);
  ASSERT_TRUE(line.open);
  line.ep.rts_gpio = 7;
  unsigned char area[6];
  EXPECT_EQ(line.Exchange({0xE5}, area, 1, 6).rc, 0);
  EXPECT_EQ(kt::ReadFile(dir / "gpio7/value"), "0\n");
  Serial_SetGpioRoot(nullptr);
}
