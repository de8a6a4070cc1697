#include "header/kivfile.h"

#include <cstring>
#include <iostream>

#include "header/attributes.h"
#include "header/el_stack.h"
#include "runtime/settings.h"

kivfile::kivfile(const char* name) : element(name) { EL_STACK_PUSH(this); }

kivfile::~kivfile() = default;

void kivfile::startElement(element*, const char* name, const char** attrs) {
  if (std::strcmp(name, "file") == 0) {
    file = attr_value(attrs, 0);
  } else if (std::strcmp(name, "size") == 0) {
    size = attr_number(attrs, 0);
  } else if (debug_level) {
    std::cerr << "kivfile::set_attrs >>>>>>>>>> Unknown tag '" << name << "' " << '\n';
  }
}

void kivfile::endElement(element*, const char* name) {
  if (std::strcmp(name, "kivfile") == 0) EL_STACK_POP(this);
}
