#pragma once

#include <string_view>

namespace kivrec {

// Remembers what the program's standard error is when its trace starts.
void remember_standard_error();

// Writes "kivrec: <text>" as one line on standard error, but only while
// descriptor 2 is still the file remembered: a program that put a file of
// its own there must not find the recorder's lines in it.
void tell_user(std::string_view text);

}  // namespace kivrec
