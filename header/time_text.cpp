#include "header/time_text.h"

#include <charconv>
#include <cstdio>
#include <ctime>

namespace {

constexpr unsigned long nsecs_per_msec = 1000000;
constexpr int millis_width = 3;

// "%04d-%02d-%02d %02d:%02d:%02d" of the local time of secs; a time that
// localtime cannot represent prints as zeros.
std::string second_text(long long secs) {
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
  const int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", year, month, tm.tm_mday,
                              tm.tm_hour, tm.tm_min, tm.tm_sec);
  return std::string(buf, static_cast<std::size_t>(n));
}

// ".%03lld" of the whole milliseconds in nsecs.
void append_millis(std::string& out, unsigned long nsecs) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, nsecs / nsecs_per_msec);
  const auto n = static_cast<int>(end - digits);
  out += '.';
  if (n < millis_width) out.append(static_cast<std::size_t>(millis_width - n), '0');
  out.append(digits, end);
}

}  // namespace

std::string time_text(long long secs, unsigned long nsecs) {
  std::string text = second_text(secs);
  append_millis(text, nsecs);
  return text;
}

void time_formatter::write(std::string& out, long long secs, unsigned long nsecs) {
  // second_text never returns an empty text, so empty means "nothing yet".
  if (second_.empty() || secs != secs_) {
    second_ = second_text(secs);
    secs_ = secs;
  }
  out.assign(second_);
  append_millis(out, nsecs);
}
