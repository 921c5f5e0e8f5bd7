// GETINFO, SETCONF and HELP against the running server: the information entries in both styles,
// the settings a client changes on the running object (link re-opened, public file checked
// again) and on its own connection, and the help text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/rig.h"
#include "support/text.h"

namespace {

const std::string kSame = "WARNING:251 Public file not changed: 'iRovanta.pub'\n";
const std::string kNoPlc = "ERROR:10 Unable to connect to PLC.\n";
const std::string kLinkLog = "InitConnectCommObject():: PLC-1 (PLC1): ";

// Build stamps and connect times masked.
std::string Masked(const std::string& text) {
  return kt::MaskShape(kt::MaskShape(text, kt::kBuildStamp, "<stamp>"), "9999-99-99 99:99:99",
                       "<when>");
}

}  // namespace

TEST(Info, GetInfoSetConfAndHelp) {
  kt::Rig rig;
  ASSERT_TRUE(rig.StartSim());
  ASSERT_TRUE(rig.StartServer("diff_var_enabled = no\n")) << rig.srv.err;
  const std::string port = std::to_string(rig.sim.udp_port);
  kt::RigClient a(rig);
  ASSERT_EQ(a.Raw(), kSame);
  kt::RigClient b(rig);
  ASSERT_EQ(b.Raw(), kSame);
  ASSERT_EQ(a.Raw(), kSame);  // every connect has the public file checked again, for all
  const std::string net = " [127.0.0.1       <when>]";
  const std::string pf = "9/9 [FIXED_Rovanta.pub,iRovanta.pub]";

  // Everything, plain; the client list closes the reply.
  a.Send("GETINFO:\n");
  EXPECT_EQ(Masked(a.Raw(11)),
            "GETINFO:VERSION,Ver 6.2 <stamp>\nGETINFO:VERSION_DORVIK,Ver 3.5 <stamp>\n"
            "GETINFO:VERSION_INI,Ver 3.2 <stamp>\nGETINFO:VERSION_PLC,PLCSIM KORVANE-SIM 1.0 2.3\n"
            "GETINFO:IPADDR,127.0.0.1\nGETINFO:DVKADDR,1\nGETINFO:DVKPORT," +
                port + "\nGETINFO:PUBFILE," + pf + "\nGETINFO:NETWORK,1/10" + net +
                "\nGETINFO:NETWORK,2/10" + net + "\nGETINFO:\n");

  // The same in JSON (the flag's value in any case): one line, the client list one array.
  a.Send("SETCONF:json,yEs\nGETINFO:\n");
  std::string line = a.Raw();
  EXPECT_EQ(
      Masked(line),
      "{ \"GETINFO\": { \"VERSION\": \"Ver 6.2 <stamp>\", \"VERSION_DORVIK\": \"Ver 3.5 "
      "<stamp>\", \"VERSION_INI\": \"Ver 3.2 <stamp>\", \"VERSION_PLC\": \"PLCSIM "
      "KORVANE-SIM 1.0 2.3\", \"IPADDR\": \"127.0.0.1\", \"DVKADDR\": \"1\", \"DVKPORT\": \"" +
          port + "\", \"PUBFILE\": \"" + pf + "\", \"NETWORK\": [ \"1/10" + net + "\", \"2/10" +
          net + "\" ] } }\n");
  // Names in any case, spaces dropped; the requests of one cycle share the line.
  a.Send("GETINFO:dvkAddr\nGETINFO:net work\nGETINFO:PubFile\n");
  line = a.Raw();
  EXPECT_EQ(Masked(line), "{ \"GETINFO\": { \"DVKADDR\": \"1\", \"NETWORK\": [ \"1/10" + net +
                              "\", \"2/10" + net + "\" ], \"PUBFILE\": \"" + pf + "\" } }\n");
  a.Send("GETINFO:colour\nSETCONF:Colour,red\n");
  EXPECT_EQ(a.Raw(),
            "{ \"ERROR\": { \"code\": 60, \"text\": \"Unknown name in request: "
            "'GETINFO:COLOUR'\" }}\n");
  EXPECT_EQ(a.Raw(),
            "{ \"ERROR\": { \"code\": 50, \"text\": \"Unknown name in request: "
            "'SETCONF:Colour,red'\" }}\n");
  EXPECT_TRUE(
      rig.WaitLog("DoReqCommObject():: PLC-1 (PLC1): Unknown name 'COLOUR' in 'SETCONF' "
                  "client request: 'SETCONF:Colour,red'"));

  // HELP: 35 rows, their backslashes kept, closed by an empty one; the request after HELP in the
  // same packet is served too (its reply goes out first). The other client asks for the client
  // list meanwhile.
  a.Send("SETCONF:json,no\nHELP:\nGETINFO:dvkport\n");
  b.Send("GETINFO:NetWork\n");
  EXPECT_EQ(Masked(b.Raw(3)),
            "GETINFO:NETWORK,1/10" + net + "\nGETINFO:NETWORK,2/10" + net + "\nGETINFO:\n");
  EXPECT_EQ(a.Raw(), "GETINFO:DVKPORT," + port + "\n");
  std::vector<std::string> rows;
  for (int i = 0; i < 35; ++i) rows.push_back(a.Raw());
  EXPECT_EQ(rows[0],
            "HELP: LIST:[variable_name]\\n                         - Get a list of "
            "variables in public file.\n");
  EXPECT_EQ(rows[13], "HELP:   name:\n");
  EXPECT_EQ(rows[32],
            "HELP:     crlf                                       - End line character "
            "(yes = DOS [\\r\\n], no = UNIX [\\n]).\n");
  EXPECT_EQ(rows[34],
            "HELP: HELP:\\n                                        - Display this help "
            "message.\n");
  EXPECT_EQ(rows[18], rows[26]);
  EXPECT_EQ(a.Raw(), "HELP:\n");
  // In JSON one line, the rows one string with their breaks; with CRLF the breaks are CR LF.
  for (const std::string brk : {"\n", "\r\n"}) {
    std::string text;
    for (const std::string& row : rows) {
      for (char c : row.substr(5, row.size() - 6) + brk)
        text += c == '\n'   ? "\\n"
                : c == '\r' ? "\\r"
                            : std::string(c == '"' || c == '\\', '\\') + c;
    }
    a.Send("SETCONF:json,yes\nSETCONF:crlf," + std::string(brk == "\n" ? "no" : "Yes") +
           "\nHELP:\n");
    EXPECT_EQ(a.Raw(), "{ \"HELP\": \"" + text + "\" }" + brk);
  }
  a.Send("SETCONF:json,no\nGETINFO:dvkaddr\n");
  EXPECT_EQ(a.Raw(), "GETINFO:DVKADDR,1\r\n");
  a.Send("SETCONF:crlf,no\n");

  // Link settings re-open the link and have the public file checked again (both clients are
  // told); a link that does not open is error 10, and the cycle keeps trying quietly.
  struct {
    std::string request, reply, logged;
    bool ok;
  } const link[] = {
      {"dvkaddr,200\nGETINFO:dvkaddr", "DVKADDR,127",
       "Initializing DORVIK address '127.0.0.1 on port " + port + "'", true},
      {"dvkaddr,-5\nGETINFO:dvkaddr", "DVKADDR,1", "", true},
      {"dvkport,0\nGETINFO:dvkport", "DVKPORT,61682",
       "Unable to initialize DORVIK address '127.0.0.1 on port 61682'!!!", false},
      {"dvkport," + port + "\nGETINFO:dvkport", "DVKPORT," + port, "", true},
      {"ipaddr,0.0.0.0\nGETINFO:ipaddr", "IPADDR,0.0.0.0",
       "Unable to initialize DORVIK address '0.0.0.0 on port " + port + "'!!!", false},
      {"IPADDR, 127.0.0.1\nGETINFO:ipaddr", "IPADDR,127.0.0.1", "", true},
  };
  for (const auto& c : link) {
    SCOPED_TRACE(c.request);
    const size_t logged = kt::Count(rig.srv.err, c.logged);
    a.Send("SETCONF:" + c.request + "\n");
    EXPECT_EQ(a.Raw(2),
              c.ok ? "GETINFO:" + c.reply + "\n" + kSame : kNoPlc + "GETINFO:" + c.reply + "\n");
    EXPECT_TRUE(c.logged.empty() || rig.WaitLog(kLinkLog + c.logged, logged + 1));
  }
  EXPECT_EQ(b.Raw(4), kSame + kSame + kSame + kSame);

  // A missing value ends the packet; a public file name is fetched and compared anew.
  a.Send("SETCONF:dvkaddr\nGETINFO:dvkaddr\n");
  EXPECT_EQ(a.Raw(), "ERROR:31 Incomplete client request: 'SETCONF:dvkaddr'\n");
  a.Send("SETCONF:diff,\n");
  EXPECT_EQ(a.Raw(), "ERROR:31 Incomplete client request: 'SETCONF:diff,'\n");
  a.Talk("", {});
  const size_t crcs = kt::Count(rig.srv.err, "New CRC code of PLC project: 3039");
  a.Send("SETCONF:pubfile,iRovanta.pub\n");
  EXPECT_EQ(a.Raw(), kSame);
  EXPECT_TRUE(rig.WaitLog("New CRC code of PLC project: 3039", crcs + 1));

  // DIFF on: a change is reported; off: it is not, and switching on again does not replay it.
  a.Talk("SETCONF:Diff,yes\n", {});
  ASSERT_EQ(kt::SimControl(rig.sim, "set R 20 INT 77"), "OK");
  EXPECT_EQ(a.Raw(), "DIFF:LEVEL,77\n");
  a.Talk("SETCONF:diff,off\n", {});
  ASSERT_EQ(kt::SimControl(rig.sim, "set R 20 INT 78"), "OK");
  for (int i = 0; i < 100 && line != "GET:LEVEL,78\n"; ++i) {
    a.Send("GET:LEVEL\n");
    line = a.Raw();
    ASSERT_EQ(line.substr(0, 10), "GET:LEVEL,");
  }
  EXPECT_EQ(line, "GET:LEVEL,78\n");
  a.Talk("SETCONF:diff,YES\n", {});
}

TEST(Info, SerialLink) {
  kt::Rig rig;
  ASSERT_TRUE(rig.StartSim("", kt::SignPubFile(kt::kTestPubFile), true));
  ASSERT_EQ(kt::SimControl(rig.sim, "ident A-PLC|SERIAL|7.1|1.b"), "OK");
  ASSERT_TRUE(rig.StartServer("diff_var_enabled = no\n", "", true)) << rig.srv.err;
  EXPECT_TRUE(kt::Has(rig.srv.err, kLinkLog + "Initializing DORVIK serial device '" + rig.sim.pty +
                                       "' for speed 115200\n"));
  EXPECT_TRUE(kt::Has(rig.srv.err, "PLC-1 (PLC1): A-PLC SERIAL 7.1 1.11\n"));  // version in hex
  kt::RigClient a(rig);
  ASSERT_EQ(a.Raw(), kSame);
  const std::string dev = rig.sim.pty;

  // The serial entry instead of the UDP ones, which are unknown names here.
  a.Send("GETINFO:\nGETINFO:ipaddr\nGETINFO:dvkport\n");
  EXPECT_EQ(a.Raw(), "ERROR:60 Unknown name in request: 'GETINFO:IPADDR'\n");
  EXPECT_EQ(a.Raw(), "ERROR:60 Unknown name in request: 'GETINFO:DVKPORT'\n");
  for (const std::string& name :
       std::vector<std::string>{"VERSION,", "VERSION_DORVIK,", "VERSION_INI,", "VERSION_PLC,",
                                "SERIAL_DEVICE," + dev + " 115200\n", "PUBFILE,", "NETWORK,", "\n"})
    EXPECT_EQ(a.Raw().substr(0, 8 + name.size()), "GETINFO:" + name);

  // A new speed re-opens the line. A name that is no device node is refused as it stands (not
  // opened, the link kept); a device that is no terminal fails to open.
  a.Send("SETCONF:serial_speed,57600\nGETINFO:serial_device\n");
  EXPECT_EQ(a.Raw(2), "GETINFO:SERIAL_DEVICE," + dev + " 57600\n" + kSame);
  EXPECT_TRUE(
      rig.WaitLog(kLinkLog + "Initializing DORVIK serial device '" + dev + "' for speed 57600"));
  for (std::string bad : {"plc.tty", "/dev/../tmp/x", "/dev/null"}) {
    a.Send("SETCONF:serial_device," + bad + "\nGETINFO:serial_device\n");
    const bool opened = bad == "/dev/null";
    EXPECT_EQ(a.Raw(2), kNoPlc + "GETINFO:SERIAL_DEVICE," + (opened ? bad : dev) + " 57600\n");
    EXPECT_TRUE(rig.WaitLog(kLinkLog + "Unable to initialize DORVIK serial device '" + bad +
                            "' for speed 57600!!!"));
    EXPECT_EQ(kt::Count(rig.srv.err, "device '" + bad + "' for speed 57600\n"), opened ? 1u : 0u);
  }
  a.Send("SETCONF:serial_device," + dev + "\nGETINFO:serial_device\n");
  EXPECT_EQ(a.Raw(2), "GETINFO:SERIAL_DEVICE," + dev + " 57600\n" + kSame);
}
