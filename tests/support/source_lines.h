#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>

namespace kivtest {

// The number (from 1) of the first line of `source` that holds `marker`:
// where a test program built from that source allocates, as its stacks
// name it. A marker that no line holds fails the test.
inline std::uint32_t line_of(const std::string& source, const std::string& marker) {
  std::istringstream in(source);
  std::uint32_t n = 0;
  for (std::string line; std::getline(in, line);) {
    ++n;
    if (line.find(marker) != std::string::npos) return n;
  }
  ADD_FAILURE() << "no line holds " << marker;
  return 0;
}

}  // namespace kivtest
