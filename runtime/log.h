#pragma once

#include <string>

// Logging registration of the runtime. Our runtime's log is standard error.

// Registers name (its first n characters) as the program name of the log and
// determines the product user. When no acceptable product user results, it
// writes a line to the log and ends the process with status 1.
void log_set_progname(const char* name, int n);

// The program name registered last; empty before any registration.
const std::string& log_progname();

// Longest product user name accepted.
inline constexpr std::size_t max_product_user_length = 8;

// The product user: KRE_USER, else USER when non-empty, else the login name
// of the real user. Empty when none is found or the name is too long.
std::string find_product_user();
