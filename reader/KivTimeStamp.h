#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "reader/KivEvent.h"

// A point in time as the traced system read it, with its display text
// "YYYY-MM-DD hh:mm:ss.mmm" in local time.
class KivTimeStamp : public KivEvent {
 public:
  // Zero time with an empty text until set() or setelems() fills it.
  explicit KivTimeStamp(kiv_reader* reader = nullptr) : KivEvent(kiv_e_timestamp, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  void set(std::uint32_t secs, std::uint32_t nsecs);
  // Decodes the time without making its text.
  void read_time();
  void dumptime(std::ostream& os) const { os << text; }

  std::uint32_t tv_secs = 0;
  std::uint32_t tv_nsecs = 0;
  std::string text;
};

std::ostream& operator<<(std::ostream& os, const KivTimeStamp& ts);

// A user marker.
class KivMarker : public KivEvent {
 public:
  explicit KivMarker(kiv_reader* reader) : KivEvent(kiv_e_marker, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::string text;
};
