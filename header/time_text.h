#pragma once

#include <string>

// "%04d-%02d-%02d %02d:%02d:%02d.%03d" of the local time of secs, with the
// milliseconds nsecs / 1000000 (truncated).
std::string time_text(long long secs, unsigned long nsecs);
