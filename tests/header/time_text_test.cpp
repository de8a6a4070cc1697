#include "header/time_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <string>

namespace {

TEST(TimeText, FormatsLocalTimeWithTruncatedMilliseconds) {
  EXPECT_EQ(time_text(0, 0), "1970-01-01 00:00:00.000");
  EXPECT_EQ(time_text(1000000000, 123999999), "2001-09-09 01:46:40.123");
  EXPECT_EQ(time_text(-1, 999999), "1969-12-31 23:59:59.000");
  // A negative nanosecond field of the header is read as unsigned.
  EXPECT_EQ(time_text(0, static_cast<std::uint32_t>(-1)), "1970-01-01 00:00:00.4294");
}

// The formatter works the date out once per second; every text must still
// be what time_text gives, whichever way the times move.
TEST(TimeText, FormatterWritesWhatTimeTextWrites) {
  time_formatter f;
  std::string out = "left over from before, longer than any time";
  const long long secs[] = {1000000000, 1000000000, 1000000001, 999999999, 0, -1, -1, 1000000000};
  const unsigned long nsecs[] = {0, 999999999, 5000000, 120000000, 0, 999999, 7, 4294967295UL};
  for (std::size_t i = 0; i < std::size(secs); ++i) {
    f.write(out, secs[i], nsecs[i]);
    EXPECT_EQ(out, time_text(secs[i], nsecs[i])) << secs[i] << " " << nsecs[i];
  }
}

TEST(TimeText, FollowsTheLocalTimeZone) {
  ::setenv("TZ", "CET-1", 1);
  ::tzset();
  const std::string text = time_text(1000000000, 5000000);
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  EXPECT_EQ(text, "2001-09-09 02:46:40.005");
}

}  // namespace
