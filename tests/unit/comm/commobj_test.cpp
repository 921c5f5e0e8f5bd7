// Communication objects: the list, the timing rule of the cycle, configuration of a PLC section.
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

TEST(CommObjectList, AppendSeekFindRemove) {
  COMMOBJ_T* a = AddCommObjectRec(nullptr);
  COMMOBJ_T* b = AddCommObjectRec(a);
  COMMOBJ_T* c = AddCommObjectRec(a);  // any member stands for the list: appended at the end
  snprintf(b->cfg.ipaddr, sizeof b->cfg.ipaddr, "10.0.0.2");
  snprintf(c->cfg.ipaddr, sizeof c->cfg.ipaddr, "10.0.0.2");
  EXPECT_EQ(a->next, b);
  EXPECT_EQ(b->next, c);
  EXPECT_EQ(c->prev, b);
  EXPECT_EQ(a->state.load(), 2);
  EXPECT_EQ(SeekCommObject(c, 0), a);
  EXPECT_EQ(SeekCommObject(a, 2), c);
  EXPECT_EQ(SeekCommObject(b, 1), b);
  EXPECT_EQ(SeekCommObject(nullptr, 0), nullptr);
  EXPECT_EQ(FindCommObject(c, "10.0.0.2"), b);  // searched from the first
  EXPECT_EQ(FindCommObject(a, "10.0.0.9"), nullptr);
  EXPECT_EQ(RemoveCommObjectRec(b), nullptr);  // not the first: nothing to hand back
  EXPECT_EQ(a->next, c);
  EXPECT_EQ(c->prev, a);
  EXPECT_EQ(RemoveCommObjectRec(a), c);  // the first: its follower is the new first
  EXPECT_EQ(c->prev, nullptr);
  RemoveCommObject(c);
}

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
                            "ffile_maxrecs = -2\nend_line_crlf = yes\nscient_notation = true\n"
                            "comm_sched_pri = 500\n");
  ASSERT_NE(ini, nullptr);
  ReadGlobalSettings(ini);
  EXPECT_EQ(comm_loop_delay, 100);
  EXPECT_EQ(num_of_decimals, 10);
  EXPECT_EQ(ffile_timeout, 0);  // only negatives are replaced
  EXPECT_EQ(net_connect_max, 1024);
  EXPECT_EQ(mem_blksize, 1024);
  EXPECT_EQ(ffile_timeout_wr, 60);
  EXPECT_EQ(ffile_maxrec, 256);
  EXPECT_EQ(end_line_crlf, 1);
  EXPECT_EQ(scient_notation, 1);
  EXPECT_EQ(comm_sched_pri, 99);  // the round-robin policy's maximum
  EXPECT_EQ(mem_use_threads, 1);
  EXPECT_EQ(diff_var_enabled, 1);
  iniparser_freedict(ini);
  ResetGlobalSettings();
}

TEST(PlcConfig, LimitsDefaultsAndLinkKind) {
  kt::ScratchDir dir;
  dictionary* ini =
      LoadIni(dir,
              "[*]\n[PLC1]\nipaddr = 010.000.000.001\ndvkaddr = 200\ndvkport = 0\n"
              "dvktout = 20000\ndvktout_step = -1\n"
              "[line2]\nserial_device = /dev/ttyS1\nserial_speed = 19200\n"
              "serial_rts = 7\n"
              "[shm]\nshm_name = Zelmod.so\nshm_socket = 1\nshm_port = 2\nipaddr = 1.2.3.4\n"
              "[none]\nserial_device = /dev/ttyS1\nserial_speed = 0\n");
  ASSERT_NE(ini, nullptr);
  PLCCFG_T cfg;
  ReadPlcConfig(ini, "PLC1", 1, &cfg);
  EXPECT_EQ(cfg.link_kind, LINK_UDP);
  EXPECT_STREQ(cfg.ipaddr, "10.0.0.1");
  EXPECT_EQ(cfg.dvkaddr, 126);
  EXPECT_EQ(cfg.dvkport, 61682);
  EXPECT_EQ(cfg.dvktout, 15000);
  EXPECT_EQ(cfg.dvktout_step, 500);  // -1 reads as missing
  EXPECT_EQ(cfg.server_port, 5010);
  EXPECT_STREQ(cfg.pubfile, "iRovanta.pub");
  EXPECT_STREQ(cfg.pubfile_fixed, "FIXED_Rovanta.pub");
  EXPECT_STREQ(cfg.ipaddr_local, "0.0.0.0");
  EXPECT_EQ(cfg.pubfile_crc, 1);
  EXPECT_EQ(cfg.pubfile_write, 0);

  ReadPlcConfig(ini, "line2", 2, &cfg);
  EXPECT_EQ(cfg.link_kind, LINK_SERIAL);
  EXPECT_EQ(cfg.serial_speed, 19200);
  EXPECT_EQ(cfg.serial_rts, 7);
  EXPECT_EQ(cfg.dvkaddr, 2);     // missing: the PLC number
  EXPECT_EQ(cfg.dvktout, 1000);  // nothing carries over from the section before

  ReadPlcConfig(ini, "shm", 3, &cfg);
  EXPECT_EQ(cfg.link_kind, LINK_SHM);
  EXPECT_STREQ(cfg.ipaddr, "");  // not read for a shared-memory module

  ReadPlcConfig(ini, "none", 130, &cfg);
  EXPECT_EQ(cfg.link_kind, LINK_UDP);
  EXPECT_STREQ(cfg.ipaddr, "0.0.0.0");
  EXPECT_EQ(cfg.dvkaddr, 126);

  COMMOBJ_T* obj = CreateCommObject(nullptr, &cfg);
  EXPECT_STREQ(obj->cfg.name, "none");
  EXPECT_EQ(obj->cfg.plc_num, 130);
  EXPECT_EQ(obj->state.load(), 2);
  RemoveCommObject(obj);
  iniparser_freedict(ini);
}

TEST(PlcConfig, SerialRtsDefaultsFromTheDeviceTable) {
  ASSERT_EQ(Serial_CFG_Init("ttyS0 5,ttyS1 6"), 0);
  kt::ScratchDir dir;
  dictionary* ini = LoadIni(dir,
                            "[a]\nserial_device = ttyS1\nserial_speed = 9600\n"
                            "[b]\nserial_device = ttyS1\nserial_speed = 9600\nserial_rts = 9\n"
                            "[c]\nserial_device = ttyS9\n");
  ASSERT_NE(ini, nullptr);
  PLCCFG_T cfg;
  ReadPlcConfig(ini, "a", 0, &cfg);
  EXPECT_EQ(cfg.serial_rts, 6);
  ReadPlcConfig(ini, "b", 1, &cfg);
  EXPECT_EQ(cfg.serial_rts, 9);  // the section's own key overrides the table
  ReadPlcConfig(ini, "c", 2, &cfg);
  EXPECT_EQ(cfg.serial_rts, -1);
  EXPECT_EQ(cfg.link_kind, LINK_SERIAL);  // a speed not given stays -1 and fails at open time
  EXPECT_EQ(cfg.serial_speed, -1);
  iniparser_freedict(ini);
  Serial_CFG_Init("");
}
