// Conversations about variables with the server and the simulator: LIST, GET, SET, EN, DI,
// HIDE, UNHIDE and the DIFF lines that follow changes, with their exact replies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/rig.h"

namespace {

std::string Sim(kt::Rig& rig, const std::string& command) {
  return kt::SimControl(rig.sim, command);
}

}  // namespace

TEST(Variables, ListGetSetHideAndDisable) {
  kt::Rig rig;
  ASSERT_TRUE(rig.StartSim("R 16 REAL 21.5\nR 20 INT -7\nR 28 STRING[16] hello\nX 0.3 BOOL 1\n"));
  ASSERT_TRUE(rig.StartServer("diff_var_enabled = no\n"));
  kt::RigClient c(rig);
  c.Talk("", {"WARNING:251 Public file not changed: 'iRovanta.pub'"});

  c.Talk("LIST:\n", {"LIST:COUNTER,UDINT", "LIST:LEVEL,INT", "LIST:MESSAGE,STRING[16]",
                     "LIST:PUMP_ON,BOOL", "LIST:SPEED,WORD", "LIST:TEMP,REAL", "LIST:TOTAL,LREAL",
                     "LIST:VALVE,BOOL", "LIST:__PF_CRC,UDINT", "LIST:"});
  // Keywords in any case, several requests and argument lines in one packet, blank lines.
  c.Talk("list:te*\n\nget:TEMP\nlevel\n\nMESSAGE\nGET:pump_on\n",
         {"LIST:TEMP,REAL", "LIST:", "GET:TEMP,21.500000", "GET:LEVEL,-7", "GET:MESSAGE,\"hello\"",
          "GET:PUMP_ON,1"});
  c.Talk("GET:%RW20\nGET:NOPE\nLIST:NOPE\n",
         {"ERROR:33 Unknown variable name in request: 'GET:NOPE'",
          "ERROR:33 Unknown variable name in request: 'LIST:NOPE'", "GET:%RW20,65529"});

  // A SET reaches the PLC before a later GET of the same packet is answered.
  c.Talk("SET:LEVEL,12\nGET:LEVEL\n", {"GET:LEVEL,12"});
  EXPECT_EQ(Sim(rig, "get R 20 INT"), "OK 12");
  c.Talk("SET:MESSAGE,\"a:b, c\"\n", {});
  EXPECT_EQ(Sim(rig, "get R 28 STRING[16]"), "OK a:b, c");
  c.Talk("SET:LEVEL,12:30\n", {"ERROR:32 Unknown command name in request: 'LEVEL,12:'"});
  c.Talk("SET:LEVEL,abc\nSET:NOPE,1\n",
         {"ERROR:35 Wrong parameter value in request: 'SET:LEVEL,abc'",
          "ERROR:33 Unknown variable name in request: 'SET:NOPE,1'"});
  // The GET waits for the next cycle, so the SET's refusal does not cost it.
  c.Talk("SET:LEVEL\nGET:LEVEL\n",
         {"ERROR:31 Incomplete client request: 'SET:LEVEL'", "GET:LEVEL,12"});
  c.Talk("SET:%RW60,513\n", {});
  EXPECT_EQ(Sim(rig, "get R 60 WORD"), "OK 513");

  // A disabled variable is read from the PLC when asked by name, and left out of "all".
  c.Talk("DI:TEMP\nGET:TEMP\n", {"GET:TEMP,21.500000"});
  c.Talk("DI:MESSAGE\nHIDE:MESSAGE\nLIST:MESSAGE\nGET:M*\n", {"LIST:MESSAGE,STRING[16]*~", "GET:"});
  // Messages go out at once, replies after the requests of the cycle.
  c.Talk("UNHIDE:*\nEN:\nLIST:TEMP\nHIDE:NOPE\n",
         {"ERROR:33 Unknown variable name in request: 'HIDE:NOPE'", "LIST:TEMP,REAL"});
  c.Talk("EN:TEMP abc\n", {"ERROR:35 Wrong parameter value in request: 'EN:TEMP abc'"});
  EXPECT_TRUE(rig.WaitLog("Changed active variables in public file 'iRovanta.pub' [7/9].", 1))
      << rig.srv.err;
}

TEST(Variables, DiffLinesFollowChangesByTheirDelta) {
  kt::Rig rig;
  ASSERT_TRUE(rig.StartSim("R 16 REAL 1.001\n"));
  ASSERT_TRUE(rig.StartServer("lim_of_decimals = yes\nnum_of_decimals = 2\n"));
  kt::RigClient c(rig);
  c.Talk("", {"WARNING:251 Public file not changed: 'iRovanta.pub'"});

  // INT with delta 10: 0 -> 5 is not reported, -> 12 is; the next step counts from 12.
  c.Talk("EN:LEVEL 10\n", {});
  Sim(rig, "set R 20 INT 5");
  c.Talk("", {});
  Sim(rig, "set R 20 INT 12");
  c.Talk("", {"DIFF:LEVEL,12"});
  Sim(rig, "set R 20 INT 21");
  c.Talk("", {});
  Sim(rig, "set R 20 INT 22");  // exactly the delta
  c.Talk("", {"DIFF:LEVEL,22"});
  // Delta 3 from 1 to -1: compared as unsigned 16-bit numbers, a change of 65534.
  c.Talk("EN:LEVEL -3\n", {});
  Sim(rig, "set R 20 INT 1");
  c.Talk("", {"DIFF:LEVEL,1"});
  Sim(rig, "set R 20 INT -1");
  c.Talk("", {"DIFF:LEVEL,-1"});

  // REAL shown with two decimals: 1.001 -> 1.004 looks the same and is not reported.
  Sim(rig, "set R 16 REAL 1.004");
  c.Talk("", {});
  Sim(rig, "set R 16 REAL 1.5");
  c.Talk("", {"DIFF:TEMP,1.50"});
  Sim(rig, "set X 0.3 BOOL 1");
  c.Talk("", {"DIFF:PUMP_ON,1"});
  Sim(rig, "set R 28 STRING[16] ab");
  c.Talk("", {"DIFF:MESSAGE,\"ab\""});

  // A SET of an inactive variable is acknowledged by a DIFF line, a changed address at once.
  c.Talk("DI:VALVE\n", {});
  c.Talk("SET:VALVE,1\n", {"DIFF:VALVE,1"});
  EXPECT_EQ(Sim(rig, "get Y 2.1 BOOL"), "OK 1");
  c.Talk("SET:%RW60,7\n", {"DIFF:%RW60,7"});
  c.Talk("SET:%RW60,7\n", {});
}

TEST(Variables, LongListIsSentInPiecesAndHoldsLaterRequests) {
  std::string pub;
  for (int i = 0; i < 1000; ++i)
    pub +=
        "VARIABLE_" + std::to_string(1000 + i) + " R 0 " + std::to_string(100 + 2 * i) + " INT\n";
  kt::Rig rig;
  ASSERT_TRUE(rig.StartSim("", kt::SignPubFile(pub)));
  ASSERT_TRUE(rig.StartServer("diff_var_enabled = no\n"));
  kt::RigClient c(rig);
  EXPECT_EQ(c.Line(), "WARNING:251 Public file not changed: 'iRovanta.pub'");
  c.Send("LIST:\n");
  EXPECT_EQ(c.Line(), "LIST:VARIABLE_1000,INT");
  c.Send("GET:VARIABLE_1999\n");
  for (int i = 1; i < 1000; ++i)
    ASSERT_EQ(c.Line(), "LIST:VARIABLE_" + std::to_string(1000 + i) + ",INT");
  EXPECT_EQ(c.Line(), "LIST:__PF_CRC,UDINT");
  EXPECT_EQ(c.Line(), "LIST:");
  EXPECT_EQ(c.Line(), "GET:VARIABLE_1999,0");
  EXPECT_TRUE(rig.WaitLog("omsg = LIST:", 2));  // in more than one piece
}
