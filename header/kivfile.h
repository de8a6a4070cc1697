#pragma once

#include <string>

#include "header/element.h"

// One data file reported by the trace writer: its name as recorded and the
// number of bytes written to it.
class kivfile : public element {
 public:
  explicit kivfile(const char* name);
  ~kivfile() override;
  void startElement(element* self, const char* name, const char** attrs) override;
  void endElement(element* self, const char* name) override;

  std::string file;
  int size = 0;
};
