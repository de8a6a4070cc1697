#include "header/el_stack.h"

#include <algorithm>
#include <iostream>
#include <typeinfo>

#include "header/element.h"
#include "runtime/settings.h"

std::vector<element*> el_stack;

void el_stack_push(element* e) {
  if (debug_level) std::cerr << "\t\tpush " << typeid(*e).name() << '\n';
  el_stack.push_back(e);
}

void el_stack_pop(element* e) {
  if (el_stack.empty()) return;
  if (debug_level) std::cerr << "\t\tpop  " << typeid(*e).name() << '\n';
  el_stack.pop_back();
}

void el_stack_forget(const element* e) { std::erase(el_stack, e); }

element* el_stack_top() { return el_stack.empty() ? nullptr : el_stack.back(); }
