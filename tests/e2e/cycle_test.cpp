// The server's data cycle against the simulator: where the public file comes from and how it is
// checked, and what a change of the PLC project does to the clients.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/rig.h"
#include "support/text.h"

using kt::Has;
using kt::Plc1;

namespace {

// The PLC section's keys, the simulator's values, PLC1/Korvane.crc and PLC1/iRovanta.pub before
// the start ("" none), the simulator's public file, lines of the log (each ended by '|'), the
// "[active/all]" of the first plan, and the local copy and CRC file after.
struct Acquisition {
  const char* what;
  std::string keys, values, local_crc, local, served, logged, active, local_after, crc_after;
};

}  // namespace

TEST(Cycle, PublicFileAcquisition) {
  const std::string kGood = kt::SignPubFile(kt::kTestPubFile);  // 8 variables
  const std::string kBad = std::string(kt::kTestPubFile) + ";* Crc=\"1234\"\n";
  const std::string kOther = kt::SignPubFile("ONLY R 0 60 DINT\n");
  const std::string w = "pubfile_write = yes\n";
  const std::string no_file = "Unable to get public file 'iRovanta.pub'!!!|";
  const std::string from_plc = "Obtained public file 'iRovanta.pub' (8 items) from PLC.|";
  const std::string written = "Write public file 'iRovanta.pub' to local disk.|";
  const std::string bad_crc = "Wrong CRC code in public file 'iRovanta.pub'!!!|";
  const Acquisition cases[] = {
      {"a file failing its checksum leaves the fixed variables", "", "", "", "", kBad,
       from_plc + bad_crc + no_file, "[1/1]", "", ""},
      {"no CRC file: from the PLC, kept with its CRC", w, "", "", "", kGood,
       "Checking CRC code of PLC project: 3039 [0]|" + from_plc + written, "[9/9]", kGood, "12345"},
      {"a matching CRC file: the local copy", w, "", "12345", kOther, kGood,
       "Checking CRC code of PLC project: 3039 [3039]|Obtained public file 'iRovanta.pub' (1 "
       "items) from local computer.|",
       "[2/2]", kOther, "12345"},
      {"a local copy failing its checksum: from the PLC again", w, "", "12345", kBad, kGood,
       bad_crc + from_plc, "[9/9]", kGood, "12345"},
      {"a matching CRC file without its copy: from the PLC, written", w, "", "12345", "", kGood,
       from_plc + written, "[9/9]", kGood, "12345"},
      {"no public file wanted", "pubfile = .\n", "", "", "", kGood,
       "Public file name is '.': File will not used.|", "[1/1]", "", ""},
      {"no project CRC", "", "R 0 UDINT 0\n", "", "", kGood,
       "Unable to get CRC code of PLC project!!!|" + no_file, "[1/1]", "", ""},
      {"the fixed definition wins", "", "", "", "",
       kt::SignPubFile("__PF_CRC R 0 40 DINT\nEXTRA R 0 44 INT\n"),
       "AddPubFile():: Found duplicity for variable: __PF_CRC. Skiping this record!|", "[2/2]", "",
       ""},
  };
  for (const Acquisition& c : cases) {
    SCOPED_TRACE(c.what);
    kt::Rig rig;
    ASSERT_TRUE(rig.StartSim(c.values, c.served));
    mkdir((rig.dir / "PLC1").c_str(), 0755);
    if (!c.local_crc.empty()) kt::WriteFile(rig.dir / "PLC1/Korvane.crc", c.local_crc);
    if (!c.local.empty()) kt::WriteFile(rig.dir / "PLC1/iRovanta.pub", c.local);
    ASSERT_TRUE(rig.StartServer("", c.keys)) << rig.srv.err;
    ASSERT_TRUE(rig.WaitLog("Changed active variables in public file")) << rig.srv.err;
    for (size_t at = 0, end; (end = c.logged.find('|', at)) != std::string::npos; at = end + 1) {
      const std::string l = c.logged.substr(at, end - at);
      EXPECT_TRUE(Has(rig.srv.err, l.find("():: ") != std::string::npos ? l : Plc1(l)))
          << l << rig.srv.err;
    }
    EXPECT_TRUE(Has(rig.srv.err, "Changed active variables in public file '")) << rig.srv.err;
    EXPECT_TRUE(Has(rig.srv.err, "' " + c.active + ".")) << rig.srv.err;
    EXPECT_EQ(kt::ReadFile(rig.dir / "PLC1/iRovanta.pub"), c.local_after);
    EXPECT_EQ(kt::ReadFile(rig.dir / "PLC1/Korvane.crc"), c.crc_after);
  }
}

TEST(Cycle, ProjectChangeRenewsThePublicFileOnlyWhenItChanged) {
  for (bool write : {false, true}) {
    SCOPED_TRACE(write ? "with a local copy" : "without a local copy");
    kt::Rig rig;
    ASSERT_TRUE(rig.StartSim());
    ASSERT_TRUE(rig.StartServer("diff_var_enabled = no\n", write ? "pubfile_write = yes\n" : ""));
    kt::RigClient c(rig);
    const std::string same = "WARNING:251 Public file not changed: 'iRovanta.pub'";
    // A client connecting makes the server look at the project again: nothing changed.
    c.Talk("", {same});

    // The project's CRC changes, its public file does not.
    ASSERT_EQ(kt::SimControl(rig.sim, "set R 0 UDINT 777"), "OK");
    c.Talk("", {same});
    EXPECT_TRUE(rig.WaitLog(Plc1("New CRC code of PLC project: 309"))) << rig.srv.err;

    // Both change: the new file is served, with its new variable.
    std::string grown = kt::SignPubFile(std::string(kt::kTestPubFile) + "NEWVAR R 0 64 DINT\n");
    ASSERT_EQ(kt::SimControl(rig.sim, "fileput iRovanta.pub " + kt::Hex(grown)), "OK");
    ASSERT_EQ(kt::SimControl(rig.sim, "set R 0 UDINT 778"), "OK");
    c.Talk("", {"WARNING:250 Changed public file: 'iRovanta.pub'"});
    EXPECT_TRUE(rig.WaitLog(Plc1("Obtained public file 'iRovanta.pub' (9 items) from PLC.")))
        << rig.srv.err;
  }
}
