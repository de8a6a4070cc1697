#pragma once

#include <memory>
#include <string>
#include <vector>

#include "header/element.h"

// One field of a record type: its name and its width in bytes.
class elem : public element {
 public:
  void set_attrs(const char* name, const char** attrs) override;
  std::string elem_name;
  int size = 0;
};

// One record type of the header: tag, names and its fields in order.
class entry : public element {
 public:
  explicit entry(const char* name);
  ~entry() override;
  void set_attrs(const char* name, const char** attrs) override;
  void startElement(element* self, const char* name, const char** attrs) override;
  void endElement(element* self, const char* name) override;

  int tag = 0;
  std::string entry_name;
  std::string desc;
  std::string format;
  std::vector<std::unique_ptr<elem>> elems;
};
