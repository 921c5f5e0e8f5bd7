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

// The global settings' defaults and limits. Each PLC section starts from the defaults; the serial
// and shared-memory numbers are decimal; the section's own serial_rts (-1 included) overrides the
// device table; a port or address that cannot be used is refused instead of bound elsewhere.
TEST(Config, GlobalLimitsAndPlcSections) {
  ASSERT_EQ(Serial_CFG_Init("ttyS0 5,ttyS1 6"), 0);
  kt::ScratchDir dir;
  ASSERT_TRUE(kt::WriteFile(
      dir / "k.ini",
      "[*]\ncomm_loop_delay = 0\nnum_of_decimals = -3\nffile_timeout = 0\nnet_connect_max = 5000\n"
      "mem_blksize = 0\nffile_timeout_wr = 61\nffile_maxrecs = -2\nend_line_crlf = yes\n"
      "comm_sched_pri = 500\n"
      "[udp]\nipaddr = 010.000.000.001\ndvkaddr = 127\ndvkport = 0\ndvktout = 20000\n"
      "dvktout_step = -1\nserver_port = -1\n"
      "[ser]\nserial_device = ttyS1\nserial_speed = 09600\nserial_rts = 010\nserver_port = 0\n"
      "[rtsoff]\nserial_device = ttyS1\nserial_speed = 9600\nserial_rts = -1\n"
      "[rtstab]\nserial_device = ttyS1\nserial_speed = 9600\n"
      "[nospeed]\nserial_device = ttyS9\n"
      "[shm]\nshm_name = Zelmod.so\nshm_socket = 010\nshm_port = 09\nipaddr = 1.2.3.4\n"
      "[speed0]\nserial_device = ttyS1\nserial_speed = 00\nserver_port = 0x10\n"
      "[portnone]\nserver_port =\n[plc300]\nipaddr = 300.1.1.1\n"));
  dictionary* ini = iniparser_load((dir / "k.ini").c_str());
  ASSERT_NE(ini, nullptr);
  ReadGlobalSettings(ini);
  // ffile_timeout: only negatives are replaced; comm_sched_pri: the round-robin maximum.
  const int got[] = {comm_loop_delay, num_of_decimals,  ffile_timeout, net_connect_max,
                     mem_blksize,     ffile_timeout_wr, ffile_maxrec,  end_line_crlf,
                     comm_sched_pri,  diff_var_enabled};
  const int want[] = {100, 10, 0, 1024, 1024, 60, 256, 1, 99, 1};
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(got[i], want[i]) << i;
  ResetGlobalSettings();

  // name number kind(-USM) speed rts port ipaddr dvkaddr dvktout; dvkaddr missing: the number.
  const char* rows[] = {
      "udp 1 U -1 -1 5010 10.0.0.1 126 15000",  // -1 reads as missing
      "ser 2 S 9600 10 0  2 1000",
      "rtsoff 3 S 9600 -1 5010  3 1000",
      "rtstab 4 S 9600 6 5010  4 1000",
      "nospeed 5 S -1 -1 5010  5 1000",    // fails at open time, every cycle
      "shm 6 M -1 -1 5010  6 1000",        // ipaddr is not read
      "speed0 7 U 0 6 16 0.0.0.0 7 1000",  // the port is read as every int key
  };
  PLCCFG_T cfg;
  for (int i = 0; i < 7; ++i) {
    const std::string sec = std::string(rows[i]).substr(0, std::string(rows[i]).find(' '));
    EXPECT_EQ(ReadPlcConfig(ini, sec.c_str(), i + 1, &cfg), 0) << sec;
    char got[400];
    snprintf(got, sizeof got, "%s %d %c %d %d %d %s %d %d", cfg.name, cfg.plc_num,
             "-USM"[cfg.link_kind & 3], cfg.serial_speed, cfg.serial_rts, cfg.server_port,
             cfg.ipaddr, cfg.dvkaddr, cfg.dvktout);
    EXPECT_STREQ(got, rows[i]);
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
