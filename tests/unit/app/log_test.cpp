// The log line format, levels, signal names and time helpers.
#include "app/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/globals.h"
#include "support/scratch.h"
#include "support/text.h"

namespace {

// Sends the log to a scratch file for the lifetime of the object.
struct LogCapture {
  kt::ScratchDir dir;
  std::string path = dir / "log.txt";
  LogCapture() {
    logout = fopen(path.c_str(), "w");
    logon = 1;
  }
  ~LogCapture() {
    fclose(logout);
    logout = nullptr;
    logon = 0;
    verbose = 0;
  }
  std::string Text() { return kt::ReadFile(path); }
};

}  // namespace

TEST(Log, LineFormatAndLevels) {
  LogCapture cap;
  verbose = 0;
  log("main", 0, "Korvane %s", "x");
  log("main", 1, "hidden");
  verbose = 1;
  log("Thr", 1, "shown\n");
  log("Empty", 0, "%s", "");
  std::string t = cap.Text();
  EXPECT_EQ(kt::MaskLogTimes(t),
            "<time> Korvane->main():: Korvane x\n"
            "<time> Korvane->Thr():: shown\n"
            "<time> Korvane->Empty():: \n");
}

TEST(Log, LongMessageIsCut) {
  LogCapture cap;
  std::string big(40000, 'x');
  log("f", 0, "%s", big.c_str());
  std::string t = cap.Text();
  EXPECT_LT(t.size(), 33000u);
  EXPECT_EQ(t.back(), '\n');
}

TEST(SigName, TableAndOutOfRange) {
  EXPECT_STREQ(GetSigName(0), "EXIT");
  EXPECT_STREQ(GetSigName(15), "TERM");
  EXPECT_STREQ(GetSigName(16), "STKFLT");
  EXPECT_STREQ(GetSigName(31), "SYS");
  EXPECT_STREQ(GetSigName(40), "");
  EXPECT_STREQ(GetSigName(-1), "");
}

TEST(TimevalAdd, CarriesIntoSeconds) {
  timeval tv{1, 600000};
  TimevalAdd(&tv, 1500);
  EXPECT_EQ(tv.tv_sec, 3);
  EXPECT_EQ(tv.tv_usec, 100000);
  timeval z{0, 0};
  TimevalAdd(&z, 950);
  EXPECT_EQ(z.tv_sec, 0);
  EXPECT_EQ(z.tv_usec, 950000);
}
