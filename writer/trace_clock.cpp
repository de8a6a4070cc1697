#include "writer/trace_clock.h"

#include <ctime>

namespace kivw {

namespace {
constexpr std::int64_t ns_per_second = 1'000'000'000;
}

time_value system_clock::now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return {static_cast<std::int32_t>(ts.tv_sec), static_cast<std::int32_t>(ts.tv_nsec)};
}

fake_clock::fake_clock(time_value start, std::int64_t step_ns) : current_(start), step_ns_(step_ns) {}

time_value fake_clock::now() {
  const time_value t = current_;
  advance(step_ns_);
  return t;
}

void fake_clock::advance(std::int64_t ns) {
  const std::int64_t total = static_cast<std::int64_t>(current_.secs) * ns_per_second + current_.nsecs + ns;
  current_.secs = static_cast<std::int32_t>(total / ns_per_second);
  current_.nsecs = static_cast<std::int32_t>(total % ns_per_second);
}

}  // namespace kivw
