#pragma once

#include <string>

// "%04d-%02d-%02d %02d:%02d:%02d.%03d" of the local time of secs, with the
// milliseconds nsecs / 1000000 (truncated).
std::string time_text(long long secs, unsigned long nsecs);

// The same text for the time stamps of one conversion, written into a string
// whose storage is reused. The date and clock part is worked out once per
// second: localtime and printf on every time stamp were a few percent of a
// conversion. The local time zone must not change while it is in use.
class time_formatter {
 public:
  void write(std::string& out, long long secs, unsigned long nsecs);

 private:
  long long secs_ = 0;
  std::string second_;
};
