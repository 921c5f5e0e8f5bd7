// The binding of the shared-memory module: how far a library gets, and a missing library.
#include <gtest/gtest.h>

#include <string>

#include "link/shmsrv.h"

TEST(ShmSrv, LinkCountsTheFunctionsFoundAndUnlinks) {
  int err = 1;
  ShmSrv partial(err);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(partial.Link(KORVANE_ZELMOD_PARTIAL), 3);  // opened, two found, Zelmod_GetAplSW not
  EXPECT_NE(partial.GetPlcSW, nullptr);
  EXPECT_EQ(partial.GetAplSW, nullptr);
  EXPECT_EQ(partial.Unlink(), 0);
  EXPECT_EQ(partial.handle, nullptr);

  ShmSrv missing(err);
  testing::internal::CaptureStderr();
  EXPECT_EQ(missing.Link("/nonexistent/Zelmod.so"), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "Link():: Unable to load library: /nonexistent/Zelmod.so"),
            std::string::npos);
}
