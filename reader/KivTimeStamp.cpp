#include "reader/KivTimeStamp.h"

#include "header/time_text.h"

void KivTimeStamp::set(std::uint32_t secs, std::uint32_t nsecs) {
  tv_secs = secs;
  tv_nsecs = nsecs;
  text = time_text(secs, nsecs);
}

void KivTimeStamp::read_time() {
  readelem(tv_secs);
  readelem(tv_nsecs);
}

void KivTimeStamp::setelems() {
  read_time();
  set(tv_secs, tv_nsecs);
}

void KivTimeStamp::traceevent(std::ostream& os) {
  if (tracing()) os << " timestamp: " << text << '\n';
}

std::ostream& operator<<(std::ostream& os, const KivTimeStamp& ts) {
  ts.dumptime(os);
  return os;
}

void KivMarker::setelems() { readelem(text); }

void KivMarker::traceevent(std::ostream& os) {
  if (tracing()) os << " marker: " << text << '\n';
}
