// A communication object's link against the simulator: the serial line's settings, the
// identification and its boot-mode rule on a driven clock, and no re-identification per cycle.
#include <gtest/gtest.h>

#include <string>

#include "app/clock.h"
#include "client/netcomm.h"
#include "comm/commobj.h"
#include "cycle/commobj_thread.h"
#include "support/plcsim.h"
#include "support/text.h"

namespace {

time_t fake_now = 1000;
time_t FakeNow() {
  return fake_now;
}

struct LinkTest : testing::Test {
  kt::PlcSim sim;
  COMMOBJ_T obj;

  void SetUp() override {
    ASSERT_TRUE(kt::StartPlcSim(sim, true, true));
    snprintf(obj.cfg.name, sizeof obj.cfg.name, "plc");
    obj.cfg.plc_num = 1;
    obj.cfg.dvkaddr = 5;
    obj.cfg.dvktout = 300;
    SetClock(FakeNow, nullptr);
  }
  void TearDown() override {
    SetClock(nullptr, nullptr);
    FreeCommObject(&obj);
  }
  void UseSerial(int rts) {
    obj.cfg.link_kind = LINK_SERIAL;
    snprintf(obj.cfg.serial_device, sizeof obj.cfg.serial_device, "%s", sim.pty.c_str());
    obj.cfg.serial_speed = 115200;
    obj.cfg.serial_rts = rts;
  }
};

}  // namespace

TEST_F(LinkTest, SerialLineBootModeIdentificationAndNoneInTheCycle) {
  struct Case {
    int rts;
    bool handshake;
  } cases[] = {{-1, true}, {7, false}};
  for (const Case& c : cases) {
    UseSerial(c.rts);
    ASSERT_EQ(InitConnectCommObject(&obj), 0) << c.rts;
    // A pseudo-terminal drops parity from its settings, so the line is read back from the link.
    DORVIK_LINE_T line = Dorvik_GetLine(&obj.link);
    EXPECT_EQ(line.speed, 115200);
    EXPECT_EQ(line.data_bits, 8);
    EXPECT_EQ(line.stop_bits, 0);
    EXPECT_EQ(line.parity, 1);  // even
    EXPECT_EQ(line.flow, c.handshake ? 1 : 0) << c.rts;
    EXPECT_EQ(line.rts_gpio, c.rts);
    Dorvik_EXIT(&obj.link);
  }

  obj.cfg.link_kind = LINK_UDP;
  snprintf(obj.cfg.ipaddr, sizeof obj.cfg.ipaddr, "127.0.0.1");
  obj.cfg.dvkport = sim.udp_port;
  ASSERT_EQ(kt::SimControl(sim, "ident BOOT LOADER|B|C|1.0"), "OK");

  testing::internal::CaptureStderr();
  EXPECT_EQ(InitConnectCommObject(&obj), 1);  // identified, but in boot mode
  fake_now += 4;
  EXPECT_EQ(InitConnectCommObject(&obj), 1);  // too early: not asked again
  fake_now += 1;
  ASSERT_EQ(kt::SimControl(sim, "ident PLCSIM|B|C|1.0"), "OK");
  EXPECT_EQ(InitConnectCommObject(&obj), 0);  // five seconds on: asked, and ready now

  // Once ready, the cycles keep the link without identifying the PLC again.
  obj.cfg.server_port = 0;
  snprintf(obj.cfg.ipaddr_local, sizeof obj.cfg.ipaddr_local, "127.0.0.1");
  ASSERT_EQ(StartNetCommObject(&obj), 0);
  for (int i = 0; i < 5; ++i) CycleCommObject(&obj);
  CloseNetCommObject(&obj);
  for (NETCOMM_T* r = obj.clients; r; r = r->next) ResetNetCommRec(r);
  RemoveNetComm(obj.clients);
  obj.clients = nullptr;

  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(kt::Count(log, "PLC-1 (plc): BOOT LOADER B C 1.0"), 1u) << log;
  EXPECT_EQ(kt::Count(log, "PLC-1 (plc): PLCSIM B C 1.0"), 1u) << log;
  EXPECT_EQ(kt::Count(log, "Initializing DORVIK address '127.0.0.1 on port"), 3u) << log;
}
