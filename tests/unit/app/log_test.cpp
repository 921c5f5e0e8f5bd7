// The log line format, levels and the log file; signal names.
#include "app/log.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "app/globals.h"
#include "support/scratch.h"
#include "support/text.h"

TEST(Log, LineFormatLevelsLogFileAndSignalNames) {
  kt::ScratchDir dir;
  const std::string path = dir / "log.txt";
  kt::WriteFile(path, "old\n");
  ASSERT_EQ(OpenLogFile(path.c_str()), 0);
  log("main", 0, "Korvane %s", "x");
  log("main", 1, "hidden");
  verbose = 1;
  log("Thr", 1, "shown\n");  // the one line feed at the end is dropped
  log("Empty", 0, "%s", "");
  log("f", 0, "%s", std::string(40000, 'y').c_str());  // cut to the 32768-byte buffer
  verbose = 0;
  CloseLogFile();
  EXPECT_TRUE(logon == 0 && logout == nullptr);
  EXPECT_EQ(kt::MaskShape(kt::ReadFile(path), kt::kLogTime, "<time>"),
            "old\n<time> Korvane->main():: Korvane x\n<time> Korvane->Thr():: shown\n"
            "<time> Korvane->Empty():: \n<time> Korvane->f():: " +
                std::string(32767, 'y') + "\n");
  EXPECT_EQ(OpenLogFile((dir / "no/such/dir.log").c_str()), 1);
  EXPECT_EQ(logon, 0);
  const std::pair<int, const char*> rows[] = {{0, "EXIT"},    {12, "USR2"}, {15, "TERM"},
                                              {16, "STKFLT"}, {29, "POLL"}, {31, "SYS"},
                                              {32, ""},       {-1, ""}};
  for (auto [sig, name] : rows) EXPECT_STREQ(GetSigName(sig), name) << sig;
}
