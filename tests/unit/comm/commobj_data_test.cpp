// The data cycle against the simulator: how a read plan is packed into exchanges, retried and
// stored, how a write plan is packed, and single variables read and written at once.
#include <gtest/gtest.h>

#include <string>

#include "comm/commobj.h"
#include "files/pubfile_io.h"
#include "plc/optimreq.h"
#include "support/plcsim.h"
#include "support/rig.h"
#include "support/scratch.h"

namespace {

const char* const kPub =
    "TEMP R 0 16 REAL\nFLOW R 0 20 REAL\nPUMP X 0 0 .3 BOOL\nFAN X 0 1 .0 BOOL\n"
    "ALARM Y 0 2 .7 BOOL\nNOTE R 0 300 STRING[255]\n";

struct DataTest : testing::Test {
  kt::ScratchDir dir;
  kt::PlcSim sim;
  COMMOBJ_T obj;

  void SetUp() override {
    ASSERT_TRUE(kt::WriteFile(dir / "iRovanta.pub", kt::SignPubFile(kPub)));
    ASSERT_TRUE(kt::StartPlcSim(sim, true, true, {"--files", dir.path}));
    snprintf(obj.cfg.name, sizeof obj.cfg.name, "plc");
    obj.cfg.dvkaddr = 5;
    obj.cfg.dvktout = 300;
    obj.cfg.dvktout_step = 50;
  }
  void TearDown() override { FreeCommObject(&obj); }

  void Open(bool serial) {
    Dorvik_EXIT(&obj.link);
    obj.cfg.link_kind = serial ? LINK_SERIAL : LINK_UDP;
    snprintf(obj.cfg.ipaddr, sizeof obj.cfg.ipaddr, "127.0.0.1");
    obj.cfg.dvkport = sim.udp_port;
    snprintf(obj.cfg.serial_device, sizeof obj.cfg.serial_device, "%s", sim.pty.c_str());
    obj.cfg.serial_speed = 115200;
    ASSERT_EQ(InitConnectCommObject(&obj), 0);
    if (!obj.pf) {
      int flag = 0, source = 2;
      uint32_t crc = 0;
      obj.pf = GetPubFile(nullptr, "", "iRovanta.pub", &flag, &obj.link, 50, &source, &crc);
      ASSERT_NE(obj.pf, nullptr);
    }
  }
  long Stat(const char* name) { return kt::SimStat(sim, name); }
};

}  // namespace

TEST_F(DataTest, ReadPlanIsPackedIntoFewestExchangesAndRetried) {
  // 70 one-byte blocks of R, one of E (no image) and one reaching past the R image's end.
  obj.img[REG_IMG_R].assign(400, 0);
  obj.img_prev[REG_IMG_R].assign(400, 0);
  std::string hex;
  auto plan = [&](uint8_t reg, uint32_t addr, uint32_t len) {
    OPTIMREQ_T* q = AddOptimReqRec(obj.readplan);
    if (!obj.readplan) obj.readplan = q;
    q->reg = reg, q->addr = addr, q->len = len;
  };
  for (int i = 0; i < 70; ++i) {
    plan(3, 100 + 2 * i, 1);
    char b[8];
    snprintf(b, sizeof b, "%02X00", i + 1);
    hex += b;
  }
  ASSERT_EQ(kt::SimControl(sim, "setbytes R 100 " + hex), "OK");
  ASSERT_EQ(kt::SimControl(sim, "setbytes R 396 AABBCCDD"), "OK");
  plan(10, 0, 8);
  plan(3, 396, 8);

  struct Case {
    bool serial;
    long exchanges;
  } cases[] = {{false, 1}, {true, 2}};  // two frames: UDP takes five an exchange, serial one
  for (const Case& c : cases) {
    Open(c.serial);
    obj.img[REG_IMG_R].assign(400, 0);
    long before = Stat("requests");
    ASSERT_EQ(GetDataCommObject(&obj), 0) << c.serial;
    EXPECT_EQ(Stat("requests") - before, c.exchanges) << c.serial;
    for (int i = 0; i < 70; ++i) ASSERT_EQ(obj.img[REG_IMG_R][100 + 2 * i], i + 1) << i;
    EXPECT_EQ(obj.img[REG_IMG_R][399], 0xDD);  // the rest of that block had no room
  }

  // Short replies are asked again, up to three times in all.
  Open(false);
  ASSERT_EQ(kt::SimControl(sim, "fault short 2"), "OK");
  long before = Stat("requests");
  EXPECT_EQ(GetDataCommObject(&obj), 0);
  EXPECT_EQ(Stat("requests") - before, 3);
  ASSERT_EQ(kt::SimControl(sim, "fault short 3"), "OK");
  before = Stat("requests");
  EXPECT_EQ(GetDataCommObject(&obj), 1);
  EXPECT_EQ(Stat("requests") - before, 3);
}

TEST_F(DataTest, WritePlanPacksBlocksAndBitsAndSingleVariablesGoStraightToThePlc) {
  Open(false);
  CLIREQ_T* req = nullptr;
  const char* sets[][2] = {
      {"TEMP", "21.5"}, {"PUMP", "1"}, {"FLOW", "-3"}, {"FAN", "true"}, {"ALARM", "1"}};
  for (auto& s : sets) {
    CLIREQ_T* r = AddCliReqRec(req);
    if (!req) req = r;
    snprintf(r->name, sizeof r->name, "%s", s[0]);
    snprintf(r->value, sizeof r->value, "%s", s[1]);
  }
  obj.writeplan = CreateCLIOptimReq(nullptr, obj.pf, req);
  RemoveCliReq(req, nullptr);
  ASSERT_NE(obj.writeplan, nullptr);
  long before = Stat("requests");
  ASSERT_EQ(SendDataCommObject(&obj), 0);
  EXPECT_EQ(Stat("requests") - before, 2);  // one block write, one bit write
  std::string values;
  for (const char* get : {"R 16 REAL", "R 20 REAL", "X 0.3 BOOL", "X 1.0 BOOL", "Y 2.7 BOOL"})
    values += kt::SimControl(sim, std::string("get ") + get) + " ";
  EXPECT_EQ(values, "OK 21.5 OK -3 OK 1 OK 1 OK 1 ");

  // A STRING longer than one block goes and comes back whole, planned or written at once.
  std::string text = "A" + std::string(253, 'x') + "Z";
  char value[256] = {};
  for (bool planned : {true, false}) {
    text[100] = planned ? 'p' : 'd';
    if (planned) {
      CLIREQ_T* r = AddCliReqRec(nullptr);
      snprintf(r->name, sizeof r->name, "NOTE");
      snprintf(r->value, sizeof r->value, "%s", text.c_str());
      RemoveOptimReq(obj.writeplan);
      obj.writeplan = CreateCLIOptimReq(nullptr, obj.pf, r);
      RemoveCliReq(r, nullptr);
      ASSERT_EQ(SendDataCommObject(&obj), 0);
    } else {
      ASSERT_EQ(SetDataValCommObject(&obj, "NOTE", text.c_str()), 0);
    }
    ASSERT_EQ(GetDataValCommObject(&obj, "NOTE", value), 0);
    EXPECT_EQ(std::string(value), text) << planned;
  }
  ASSERT_EQ(GetDataValCommObject(&obj, "PUMP", value), 0);  // bit 3: its byte read at once
  EXPECT_STREQ(value, "1");
  ASSERT_EQ(SetDataValCommObject(&obj, "%X0.3", "0"), 0);
  EXPECT_EQ(kt::SimControl(sim, "get X 0.3 BOOL"), "OK 0");
  ASSERT_EQ(GetDataValCommObject(&obj, "%RF16", value), 0);
  EXPECT_STREQ(value, "21.500000");
  EXPECT_EQ(GetDataValCommObject(&obj, "NOSUCH", value), 1);

  // A PLC that does not answer: three attempts, then -1.
  ASSERT_EQ(kt::SimControl(sim, "fault noanswer 3"), "OK");
  obj.cfg.dvktout_step = 0;
  EXPECT_EQ(GetDataValCommObject(&obj, "TEMP", value), -1);
}
