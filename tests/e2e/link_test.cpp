// A link that does not open: its failures are logged once until a success, and the server still
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

// (A section without an address at all: the full start-up run.)
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
                    port + "\n");
  kt::Process p;
  ASSERT_TRUE(kt::Spawn(p, {KORVANE_BIN}, dir.path));
  // Several identification attempts reach the PLC...
  ASSERT_TRUE(kt::WaitForCond([&] { return kt::SimStat(sim, "udp") >= 5; }));
  kt::Pump(p);
  const std::string failed =
      "PLC-1 (PLC1): Unable to initialize DORVIK address '127.0.0.1 on port " + port + "'!!!";
  // ...but the start-up attempt and the cycle's first retry are the only ones logged.
  EXPECT_EQ(Count(p.err, failed), 2u) << p.err;
  EXPECT_EQ(Count(p.err, "PLC-1 (PLC1): Initializing DORVIK address"), 2u);
  ASSERT_EQ(kt::SimControl(sim, "fault clear"), "OK");
  ASSERT_TRUE(kt::WaitFor(p, [&] { return kt::Has(p.err, "PLC-1 (PLC1): PLCSIM"); })) << p.err;
  EXPECT_EQ(Count(p.err, failed), 2u);
  kt::Signal(p, SIGTERM);
  EXPECT_EQ(kt::WaitExit(p), 0);
}
