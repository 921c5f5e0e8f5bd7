// One conversation over each kind of link (UDP, a serial line, shared memory): start-up, the
// request kinds, the PLC going away and coming back, and the shutdown; for the shared-memory
// module also its lock, its information entries and the release of its port and note.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "support/net.h"
#include "support/rig.h"
#include "support/text.h"

using kt::Has;

TEST(Links, ConversationOverEachLink) {
  enum Kind { kUdp, kSerial, kShm };
  const std::string p = "PLC-1 (PLC1): ";
  for (Kind kind : {kUdp, kSerial, kShm}) {
    const std::string name = kind == kUdp ? "UDP" : kind == kSerial ? "serial" : "shared memory";
    SCOPED_TRACE(name);
    // The start-up line that shows the PLC answered; what a request gets while the PLC is away.
    const std::string identified = kind == kShm ? "SimuCtl RUN" : "PLCSIM KORVANE-SIM 1.0 2.3";
    const std::string down = kind == kShm ? "ERROR:70 Unable to connect to SHARED module."
                                          : "ERROR:10 Unable to connect to PLC.";
    kt::Rig rig;
    const std::string values = "R 16 REAL 2.5\nR 20 INT 7\nR 28 STRING[16] on " + name + "\n";
    ASSERT_TRUE(kind == kShm
                    ? rig.StartShmSim(values)
                    : rig.StartSim(values, kt::SignPubFile(kt::kTestPubFile), kind == kSerial));
    ASSERT_TRUE(rig.StartServer("diff_var_enabled = no\n", "", kind == kSerial)) << rig.srv.err;
    EXPECT_TRUE(Has(rig.srv.err, p + identified)) << rig.srv.err;
    const std::string sp = std::to_string(rig.shm_socket) + "," + std::to_string(rig.shm_port);
    if (kind == kShm) {
      for (const std::string& line :
           {p + "Initializing SHARED module '" + KORVANE_ZELMOD + "' on socket " +
                std::to_string(rig.shm_socket) + " and port " + std::to_string(rig.shm_port),
            p + "Version: Zelmod substitute 1.0 - PLC Quen sim 1.0", p + "Sockets: ",
            p + "Obtained public file 'iRovanta.pub' (8 items) from local computer."})
        EXPECT_TRUE(Has(rig.srv.err, line)) << line << "\n" << rig.srv.err;
      EXPECT_EQ(kt::SimControl(rig.sim, "shm"), "OK name=Korvane note=RW Note open=1");
    }
    EXPECT_TRUE(rig.WaitLog("Changed active variables in public file 'iRovanta.pub' [9/9]."));

    // MESSAGE, disabled, is read from the PLC at once.
    kt::RigClient c(rig);
    c.Talk("", {"WARNING:251 Public file not changed: 'iRovanta.pub'"});
    c.Talk(
        "DI:MESSAGE\nLIST:LEVEL\nGET:TEMP\nLEVEL\nMESSAGE\n",
        {"LIST:LEVEL,INT", "GET:TEMP,2.500000", "GET:LEVEL,7", "GET:MESSAGE,\"on " + name + "\""});
    c.Talk("SET:LEVEL,-3\nSET:VALVE,1\nSET:TEMP,3.25\nGET:LEVEL\n", {"GET:LEVEL,-3"});
    EXPECT_EQ(kt::SimControl(rig.sim, "get Y 2.1 BOOL"), "OK 1");
    EXPECT_EQ(kt::SimControl(rig.sim, "get R 16 REAL"), "OK 3.25");
    c.Talk("SETCONF:diff,yes\nEN:LEVEL 2\n", {});
    ASSERT_EQ(kt::SimControl(rig.sim, "set R 20 INT 9"), "OK");
    c.Talk("", {"DIFF:LEVEL,9"});
    c.Talk("SETCONF:diff,no\n", {});
    if (kind != kShm) {
      c.Talk("GETMEM:%R16 4\n",
             {std::string("GETMEM:%R16[4]=") + std::string("\0\0\x50\x40", 4), "GETMEM:%R16[0]="});
    } else {
      c.Talk("GETINFO:version_shm\nGETINFO:version_plc\nGETINFO:ipaddr\n",
             {"ERROR:60 Unknown name in request: 'GETINFO:IPADDR'",
              "GETINFO:VERSION_SHM,Zelmod substitute 1.0 - PLC Quen sim 1.0",
              "GETINFO:VERSION_PLC,PLC Quen sim 1.0"});
      ASSERT_TRUE(kt::SendAll(c.fd, "GETINFO:shared_module\n"));
      const std::string line = c.Line();
      EXPECT_EQ(line.rfind("GETINFO:SHARED_MODULE,", 0), 0u) << line;
      EXPECT_NE(line.find(" [" + sp + "] [" + KORVANE_ZELMOD + "]"), std::string::npos) << line;
    }

    // The PLC goes away: requests are refused with the link's message; then it comes back.
    ASSERT_EQ(kt::SimControl(rig.sim, kind == kShm ? "plc stop" : "fault noanswer 8"), "OK");
    ASSERT_TRUE(rig.WaitLog(p + "Unable to get data from PLC!!!")) << rig.srv.err;
    ASSERT_TRUE(kt::SendAll(c.fd, "GET:TEMP\n"));
    std::string refused = c.Line();
    EXPECT_TRUE(refused.rfind(down, 0) == 0 ||
                (kind != kShm && refused.rfind("ERROR:20 Unable to get data from PLC.", 0) == 0))
        << refused;
    if (kind == kShm) {
      EXPECT_TRUE(Has(rig.srv.err, p + "SHARED module disconnected!!!"));
      EXPECT_TRUE(rig.WaitLog(p + "!!! PLC not running !!!")) << rig.srv.err;
      ASSERT_EQ(kt::SimControl(rig.sim, "plc start"), "OK");
    }
    std::string answer;
    for (int i = 0; i < 40 && answer != "GET:TEMP,3.250000"; ++i) {
      ASSERT_TRUE(kt::SendAll(c.fd, "GET:TEMP\n"));
      answer = c.Line();
    }
    EXPECT_EQ(answer, "GET:TEMP,3.250000") << rig.srv.err;
    if (kind == kShm) {
      // A lock held by the PLC is waited for a while, then the read is given up and tried again.
      ASSERT_EQ(kt::SimControl(rig.sim, "lock hold 300"), "OK");
      ASSERT_TRUE(rig.WaitLog(p + "SHARED module timeout!!!")) << rig.srv.err;
    }

    kt::Signal(rig.srv, SIGTERM);
    EXPECT_EQ(kt::WaitExit(rig.srv), 0);
    EXPECT_TRUE(Has(rig.srv.err, "PLC-1 (PLC1): CommObject exiting..."));
    EXPECT_TRUE(Has(rig.srv.err, "*** END ***"));
    if (kind == kShm) {
      EXPECT_EQ(kt::SimControl(rig.sim, "shm"), "OK name= note= open=0");
    }
  }
}
