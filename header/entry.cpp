#include "header/entry.h"

#include <cstring>
#include <iostream>

#include "header/attributes.h"
#include "header/el_stack.h"
#include "runtime/settings.h"

void elem::set_attrs(const char*, const char** attrs) {
  elem_name = attr_value(attrs, 0);
  size = attr_number(attrs, 1);
}

entry::entry(const char* name) : element(name) { EL_STACK_PUSH(this); }

entry::~entry() = default;

// The tag is the first character of the first value, as a signed character.
void entry::set_attrs(const char*, const char** attrs) {
  tag = static_cast<signed char>(attr_value(attrs, 0)[0]);
  entry_name = attr_value(attrs, 1);
  desc = attr_value(attrs, 2);
}

void entry::startElement(element*, const char* name, const char** attrs) {
  if (std::strcmp(name, "elem") == 0) {
    elems.push_back(std::make_unique<elem>());
    elems.back()->set_attrs(name, attrs);
  } else if (std::strcmp(name, "format") == 0) {
    format = attr_value(attrs, 0);
  } else if (debug_level) {
    std::cerr << "entry::startElemen: >>>>> Unknown tag '" << name << "' " << '\n';
  }
}

void entry::endElement(element*, const char* name) {
  if (std::strcmp(name, "entry") == 0) EL_STACK_POP(this);
}
