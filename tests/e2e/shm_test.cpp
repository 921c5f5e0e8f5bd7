// A PLC served through the shared-memory module: the opening, a conversation, the PLC stopping
// and running again, and the release of the module's port and note at the end.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "support/net.h"
#include "support/rig.h"
#include "support/text.h"

using kt::Has;

TEST(SharedMemory, ConversationStopAndRelease) {
  kt::Rig rig;
  ASSERT_TRUE(rig.StartShmSim("R 16 REAL 21.5\nR 28 STRING[16] hello\n"))
      << rig.sim.proc.err << rig.sim.proc.out;
  ASSERT_TRUE(rig.StartServer("diff_var_enabled = yes\n")) << rig.srv.err;
  const std::string p = "PLC-1 (PLC1): ";
  for (const std::string& l :
       {p + "Initializing SHARED module '" + KORVANE_ZELMOD + "' on socket " +
            std::to_string(rig.shm_socket) + " and port " + std::to_string(rig.shm_port),
        p + "Version: Zelmod substitute 1.0 - PLC Quen sim 1.0", p + "Sockets: ", p + "SimuCtl RUN",
        p + "Obtained public file 'iRovanta.pub' (8 items) from local computer."})
    EXPECT_TRUE(Has(rig.srv.err, l)) << l << "\n" << rig.srv.err;
  EXPECT_EQ(kt::SimControl(rig.sim, "shm"), "OK name=Korvane note=RW Note open=1");

  kt::RigClient c(rig);
  c.Talk("", {"WARNING:251 Public file not changed: 'iRovanta.pub'"});
  c.Talk("DI:\nGET:TEMP\nMESSAGE\n", {"GET:TEMP,21.500000", "GET:MESSAGE,\"hello\""});
  c.Talk("EN:TEMP\nEN:PUMP_ON\nSET:TEMP,3.25\nSET:PUMP_ON,1\n",
         {"DIFF:PUMP_ON,1", "DIFF:TEMP,3.250000"});
  EXPECT_EQ(kt::SimControl(rig.sim, "get R 16 REAL"), "OK 3.25");
  EXPECT_EQ(kt::SimControl(rig.sim, "get X 0.3 BOOL"), "OK 1");
  ASSERT_EQ(kt::SimControl(rig.sim, "set R 16 REAL -1.5"), "OK");
  c.Talk("", {"DIFF:TEMP,-1.500000"});

  // The PLC stops: reads fail, requests are refused with the module's name; then it runs again.
  ASSERT_EQ(kt::SimControl(rig.sim, "plc stop"), "OK");
  ASSERT_TRUE(rig.WaitLog(p + "!!! PLC not running !!!")) << rig.srv.err;
  EXPECT_TRUE(Has(rig.srv.err, p + "SHARED module disconnected!!!"));
  c.Talk("GET:TEMP\n", {"ERROR:70 Unable to connect to SHARED module."});
  ASSERT_EQ(kt::SimControl(rig.sim, "plc start"), "OK");
  ASSERT_TRUE(rig.WaitLog(p + "SimuCtl RUN", 2)) << rig.srv.err;
  c.Talk("GET:TEMP\n", {"GET:TEMP,-1.500000"});

  // A lock held by the PLC is waited for a while, then the read is given up and tried again.
  ASSERT_EQ(kt::SimControl(rig.sim, "lock hold 300"), "OK");
  ASSERT_TRUE(rig.WaitLog(p + "SHARED module timeout!!!")) << rig.srv.err;

  const std::string sp = std::to_string(rig.shm_socket) + "," + std::to_string(rig.shm_port);
  c.Talk("GETINFO:version_shm\nGETINFO:version_plc\nGETINFO:ipaddr\n",
         {"ERROR:60 Unknown name in request: 'GETINFO:IPADDR'",
          "GETINFO:VERSION_SHM,Zelmod substitute 1.0 - PLC Quen sim 1.0",
          "GETINFO:VERSION_PLC,PLC Quen sim 1.0"});
  ASSERT_TRUE(kt::SendAll(c.fd, "GETINFO:shared_module\n"));
  std::string line = c.Line();
  EXPECT_EQ(line.rfind("GETINFO:SHARED_MODULE,", 0), 0u) << line;
  EXPECT_NE(line.find(" [" + sp + "] [" + KORVANE_ZELMOD + "]"), std::string::npos) << line;

  kt::Signal(rig.srv, SIGTERM);
  EXPECT_EQ(kt::WaitExit(rig.srv), 0);
  EXPECT_EQ(kt::SimControl(rig.sim, "shm"), "OK name= note= open=0");
}
