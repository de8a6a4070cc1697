#include "header/element.h"

#include "header/el_stack.h"

element::~element() { el_stack_forget(this); }

void element::set_attrs(const char*, const char**) {}
void element::startElement(element*, const char*, const char**) {}
void element::endElement(element*, const char*) {}
void element::dataElement(element*, const char*, int) {}
