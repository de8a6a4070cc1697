#include "header/attributes.h"

#include <cstdlib>

const char* attr_value(const char** attrs, int index) {
  if (!attrs) return "";
  for (int i = 0; i < index; ++i) {
    if (!attrs[2 * i]) return "";
  }
  const char* name = attrs[2 * index];
  return name ? attrs[2 * index + 1] : "";
}

std::int32_t attr_number(const char** attrs, int index) {
  return static_cast<std::int32_t>(std::strtol(attr_value(attrs, index), nullptr, 10));
}
