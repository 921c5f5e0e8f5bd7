// Links that do not open: their failures are logged once until a success, and the server still
// stops in order. (Opening and identification are checked in the conversations.)
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "support/plcsim.h"
#include "support/process.h"
#include "support/rig.h"
#include "support/scratch.h"
#include "support/text.h"

using kt::Count;

// PLC1's PLC does not answer for a while; PLC2 has no address at all.
TEST(Link, FailuresAreLoggedOnceUntilASuccess) {
  kt::PlcSim sim;
  ASSERT_TRUE(kt::StartPlcSim(sim, true, false));
  ASSERT_EQ(kt::SimControl(sim, "fault noanswer 1000"), "OK");
  kt::ScratchDir dir;
  const std::string port = std::to_string(sim.udp_port);
  kt::WriteFile(dir / "FIXED_Rovanta.pub", kt::SignPubFile(kt::kFixedPubFile));
  kt::WriteFile(dir / "Korvane.ini",
                "[*]\ncomm_loop_delay = 20\n[PLC1]\nserver_port = 0\nipaddr = 127.0.0.1\n"
                "dvktout = 50\ndvkport = " +
                    port + "\n[PLC2]\nserver_port = 0\ndvktout = 50\n");
  kt::Process p;
  ASSERT_TRUE(kt::Spawn(p, {KORVANE_BIN}, dir.path));
  // Several identification attempts reach the PLC...
  ASSERT_TRUE(kt::WaitForCond([&] { return kt::SimStat(sim, "udp") >= 5; }));
  const std::string failed =
      "PLC-1 (PLC1): Unable to initialize DORVIK address '127.0.0.1 on port " + port + "'!!!";
  const std::string unset =
      "PLC-2 (PLC2): Unable to initialize DORVIK address '0.0.0.0 on port 61682'!!!";
  ASSERT_TRUE(kt::WaitFor(p, [&] { return Count(p.err, unset) >= 2; })) << p.err;
  // ...but the start-up attempt and the cycle's first retry are the only ones logged.
  EXPECT_EQ(Count(p.err, failed), 2u) << p.err;
  EXPECT_EQ(Count(p.err, "PLC-1 (PLC1): Initializing DORVIK address"), 2u);
  ASSERT_EQ(kt::SimControl(sim, "fault clear"), "OK");
  ASSERT_TRUE(kt::WaitFor(p, [&] { return kt::Has(p.err, "PLC-1 (PLC1): PLCSIM"); })) << p.err;
  EXPECT_EQ(Count(p.err, failed), 2u);
  EXPECT_EQ(Count(p.err, unset), 2u);
  kt::Signal(p, SIGTERM);
  EXPECT_EQ(kt::WaitExit(p), 0);
  EXPECT_TRUE(kt::Has(p.err, "PLC-2 (PLC2): CommObject exiting..."));
}
