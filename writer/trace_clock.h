#pragma once

#include <cstdint>

namespace kivw {

// A point in time as the traced system reads its real-time clock.
struct time_value {
  std::int32_t secs = 0;
  std::int32_t nsecs = 0;
  friend bool operator==(const time_value&, const time_value&) = default;
};

// Source of the time stamps a session writes. Tests and kivgen inject a
// fake_clock so that traces are reproducible byte for byte.
class trace_clock {
 public:
  virtual ~trace_clock() = default;
  virtual time_value now() = 0;
};

// The system's real-time clock.
class system_clock final : public trace_clock {
 public:
  time_value now() override;
};

// Deterministic clock: each now() returns the current value and then moves
// it on by `step_ns` nanoseconds; advance() and set() move it explicitly.
class fake_clock final : public trace_clock {
 public:
  explicit fake_clock(time_value start = {1'700'000'000, 0}, std::int64_t step_ns = 1'000'000);

  time_value now() override;
  time_value peek() const { return current_; }
  void advance(std::int64_t ns);
  void set(time_value t) { current_ = t; }

 private:
  time_value current_;
  std::int64_t step_ns_;
};

}  // namespace kivw
