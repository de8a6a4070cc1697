#include "header/time_text.h"

#include <cstdio>
#include <ctime>

namespace {
constexpr unsigned long nsecs_per_msec = 1000000;
}

// A time that localtime cannot represent prints as zeros.
std::string time_text(long long secs, unsigned long nsecs) {
  std::tm tm{};
  const std::time_t t = static_cast<std::time_t>(secs);
  int year = 0;
  int month = 0;
  if (::localtime_r(&t, &tm)) {
    year = tm.tm_year + 1900;
    month = tm.tm_mon + 1;
  } else {
    tm = {};
  }
  char buf[64];
  const int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03lld", year, month, tm.tm_mday,
                              tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long long>(nsecs / nsecs_per_msec));
  return std::string(buf, static_cast<std::size_t>(n));
}
