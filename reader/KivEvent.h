#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "header/kiv_type.h"
#include "model/KivEventContext.h"

class kiv_reader;

// Base of every record class: knows its record type and decodes its
// elements in order with the widths the header declares.
class KivEvent {
 public:
  KivEvent(kiv_type type, kiv_reader* reader) : type_(type), reader_(reader) {}
  KivEvent(const KivEvent&) = default;
  KivEvent& operator=(const KivEvent&) = default;
  virtual ~KivEvent() = default;

  // Decodes the elements.
  virtual void setelems() {}
  // Writes the record's debug line (debug level 2 only).
  virtual void traceevent(std::ostream&) {}

  kiv_type type() const { return type_; }
  kiv_reader* reader() const { return reader_; }

 protected:
  // Width of the next element; a type or element the header does not
  // declare has width 0.
  int readelemsize();
  template <typename T>
  void readelem(T& value);
  void readloc(std::string& text, std::int64_t& location);
  void readloc(std::string_view& text, std::int64_t& location);
  // The debug line is written at debug level 2 and above.
  static bool tracing();

 private:
  kiv_type type_;
  int elemnr_ = 0;
  kiv_reader* reader_;
};

// A record read in the context of a process: captures, at construction, the
// current pid, call arc and Vorex call.
class KivMeasurement : public KivEvent {
 public:
  KivMeasurement(kiv_type type, kiv_reader* reader) : KivEvent(type, reader), context(reader) {}

  KivEventContext context;
};
