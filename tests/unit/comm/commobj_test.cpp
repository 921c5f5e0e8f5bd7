// The timing rule of the cycle, the global settings and the configuration of a PLC section.
#include "comm/commobj.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/globals.h"
#include "app/settings.h"
#include "comm/commobj_config.h"
#include "cycle/commobj_thread.h"
#include "link/dorvik.h"
#include "support/scratch.h"

TEST(CycleTiming, IdleWaitIsShortenedByTheWork) {
  const int period = 100 * 1000;
  EXPECT_EQ(NextIdleWait(period, period, 30 * 1000), 70 * 1000);
  EXPECT_EQ(NextIdleWait(period, period, 150 * 1000), 1000);     // overrun: 1 ms
  EXPECT_EQ(NextIdleWait(period, period, 99 * 1000 + 1), 1000);  // 999 us or less: 1 ms
  EXPECT_EQ(NextIdleWait(0, period, 0), 1000);          // a wait cleared for pending output: 1 ms
  EXPECT_EQ(NextIdleWait(period, period, -5), period);  // never above the period
  EXPECT_EQ(NextIdleWait(1000, 1000 * 1000, 0), 1000 * 1000);
}

namespace {

dictionary* LoadIni(const kt::ScratchDir& dir, const std::string& text) {
  std::string path = dir / "k.ini";
  kt::WriteFile(path, text);
  return iniparser_load(path.c_str());
}

}  // namespace

TEST(GlobalSettings, DefaultsAndLimits) {
  kt::ScratchDir dir;
  dictionary* ini = LoadIni(dir,
                            "[*]\ncomm_loop_delay = 0\nnum_of_decimals = -3\nffile_timeout = 0\n"
                            "net_connect_max = 5000\nmem_blksize = 0\nffile_timeout_wr = 61\n"
                            "ffile_maxrecs = -2\nend_line_crlf = yes\ncomm_sched_pri = 500\n");
  ASSERT_NE(ini, nullptr);
  ReadGlobalSettings(ini);
  iniparser_freedict(ini);
  EXPECT_EQ(comm_loop_delay, 100);
  EXPECT_EQ(num_of_decimals, 10);
  EXPECT_EQ(ffile_timeout, 0);  // only negatives are replaced
  EXPECT_EQ(net_connect_max, 1024);
  EXPECT_EQ(mem_blksize, 1024);
  EXPECT_EQ(ffile_timeout_wr, 60);
  EXPECT_EQ(ffile_maxrec, 256);
  EXPECT_EQ(end_line_crlf, 1);
  EXPECT_EQ(comm_sched_pri, 99);  // the round-robin policy's maximum
  EXPECT_EQ(diff_var_enabled, 1);
  ResetGlobalSettings();
}

// Each section starts from the defaults; the serial and shared-memory numbers are decimal; the
// section's own serial_rts (-1 included) overrides the device table; a port or address that
// cannot be used is refused instead of bound elsewhere.
TEST(PlcConfig, LimitsDecimalKeysRtsAndRefusedValues) {
  ASSERT_EQ(Serial_CFG_Init("ttyS0 5,ttyS1 6"), 0);
  kt::ScratchDir dir;
  dictionary* ini = LoadIni(
      dir,
      "[udp]\nipaddr = 010.000.000.001\ndvkaddr = 127\ndvkport = 0\ndvktout = 20000\n"
      "dvktout_step = -1\nserver_port = -1\n"
      "[ser]\nserial_device = ttyS1\nserial_speed = 09600\nserial_rts = 010\nserver_port = 0\n"
      "[rtsoff]\nserial_device = ttyS1\nserial_speed = 9600\nserial_rts = -1\n"
      "[rtstab]\nserial_device = ttyS1\nserial_speed = 9600\n"
      "[nospeed]\nserial_device = ttyS9\n"
      "[shm]\nshm_name = Zelmod.so\nshm_socket = 010\nshm_port = 09\nipaddr = 1.2.3.4\n"
      "[speed0]\nserial_device = ttyS1\nserial_speed = 00\nserver_port = 0x10\n"
      "[portnone]\nserver_port =\n[plc300]\nipaddr = 300.1.1.1\n");
  ASSERT_NE(ini, nullptr);
  struct Row {
    const char* sec;
    int kind, speed, rts, port;
    const char* ip;
  } rows[] = {
      {"udp", LINK_UDP, -1, -1, 5010, "10.0.0.1"},  // -1 reads as missing
      {"ser", LINK_SERIAL, 9600, 10, 0, ""},
      {"rtsoff", LINK_SERIAL, 9600, -1, 5010, ""},
      {"rtstab", LINK_SERIAL, 9600, 6, 5010, ""},
      {"nospeed", LINK_SERIAL, -1, -1, 5010, ""},  // fails at open time, every cycle
      {"shm", LINK_SHM, -1, -1, 5010, ""},         // ipaddr is not read
      {"speed0", LINK_UDP, 0, 6, 16, "0.0.0.0"},   // the port is read as every int key
  };
  PLCCFG_T cfg;
  int index = 0;
  for (const Row& r : rows) {
    ++index;
    EXPECT_EQ(ReadPlcConfig(ini, r.sec, index, &cfg), 0) << r.sec;
    EXPECT_STREQ(cfg.name, r.sec);
    EXPECT_EQ(cfg.plc_num, index);
    EXPECT_EQ(cfg.link_kind, r.kind) << r.sec;
    EXPECT_EQ(cfg.serial_speed, r.speed) << r.sec;
    EXPECT_EQ(cfg.serial_rts, r.rts) << r.sec;
    EXPECT_EQ(cfg.server_port, r.port) << r.sec;
    EXPECT_STREQ(cfg.ipaddr, r.ip) << r.sec;
    EXPECT_EQ(cfg.dvkaddr, index == 1 ? 126 : index) << r.sec;  // missing: the PLC number
    EXPECT_EQ(cfg.dvktout, index == 1 ? 15000 : 1000) << r.sec;
  }
  for (const char* sec : {"portnone", "plc300"}) EXPECT_EQ(ReadPlcConfig(ini, sec, 9, &cfg), 1);
  ReadPlcConfig(ini, "shm", 3, &cfg);
  EXPECT_TRUE(cfg.shm_socket == 10 && cfg.shm_port == 9);
  COMMOBJ_T* obj = CreateCommObject(nullptr, &cfg);
  EXPECT_STREQ(obj->cfg.shm_name, "Zelmod.so");
  EXPECT_EQ(obj->state.load(), 2);
  RemoveCommObject(obj);
  iniparser_freedict(ini);
  Serial_CFG_Init("");
}
