#pragma once

#include <vector>

class element;

// The stack of open document elements, shared by every header the program
// reads. The parser callbacks hand their events to the element on top.
extern std::vector<element*> el_stack;

// Pushes e (debug line "push" at debug level 1 and above).
void el_stack_push(element* e);
// Removes the top element; e names it in the debug line only.
void el_stack_pop(element* e);
// Takes every occurrence of e off the stack without a debug line: an element
// that is destroyed while its document was left open must not stay reachable.
void el_stack_forget(const element* e);
// The element on top, or null when the stack is empty.
element* el_stack_top();

#define EL_STACK_PUSH(e) el_stack_push(e)
#define EL_STACK_POP(e) el_stack_pop(e)
