// PLC time stamps and local times are converted as UTC whatever the process's time zone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "files/fileaccess.h"
#include "files_test_support.h"

namespace {

// Sets TZ for the lifetime of the object and restores the previous value.
struct TimeZone {
  std::string old;
  bool had = false;
  explicit TimeZone(const char* tz) {
    const char* cur = getenv("TZ");
    had = cur != nullptr;
    if (had) old = cur;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TimeZone() {
    if (had)
      setenv("TZ", old.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
};

}  // namespace

TEST(PlcTimeStamps, AreUtcInEveryTimeZone) {
  for (const char* tz : {"UTC", "Pacific/Auckland", "America/Los_Angeles"}) {
    SCOPED_TRACE(tz);
    TimeZone zone(tz);
    ft::Rec rec;
    const unsigned char stamp[6] = {124, 6, 19, 14, 52, 16};
    memcpy(rec.stamp_a, stamp, 6);
    memcpy(rec.stamp_b, stamp, 6);
    ASSERT_EQ(SetLocalFileAttr(&rec), 0);
    EXPECT_EQ(rec.mtime, 1718808736);  // 2024-06-19 14:52:16 UTC
    EXPECT_EQ(rec.ctime, 1718808736);
    EXPECT_EQ(rec.mode, static_cast<uint32_t>(S_IFREG | 0644));

    // And back: a local file's times become the same stamps.
    memset(rec.stamp_b, 0, 6);
    ASSERT_EQ(SetDorvikFileAttr(&rec), 0);
    EXPECT_EQ(memcmp(rec.stamp_b, stamp, 6), 0);
    EXPECT_EQ(rec.attr, 0);
    unsigned char jan[6];
    ASSERT_EQ(PackPlcTime(1735787045, jan), 0);
    const unsigned char want[6] = {125, 1, 2, 3, 4, 5};
    EXPECT_EQ(memcmp(jan, want, 6), 0);
  }
}
