#include "reader/KivEvent.h"

#include "reader/kiv_reader.h"
#include "runtime/settings.h"

int KivEvent::readelemsize() { return reader_->elem_size(type_, elemnr_++); }

template <typename T>
void KivEvent::readelem(T& value) {
  const int size = readelemsize();
  reader_->readbytes(size, value);
}

template void KivEvent::readelem(std::uint32_t&);
template void KivEvent::readelem(std::int32_t&);
template void KivEvent::readelem(std::uint64_t&);
template void KivEvent::readelem(std::int64_t&);
template void KivEvent::readelem(std::string&);
template void KivEvent::readelem(std::string_view&);

void KivEvent::readloc(std::string& text, std::int64_t& location) {
  const int size = readelemsize();
  reader_->readloc(size, text, location);
}

void KivEvent::readloc(std::string_view& text, std::int64_t& location) {
  const int size = readelemsize();
  reader_->readloc(size, text, location);
}

bool KivEvent::tracing() { return debug_level > 1; }
