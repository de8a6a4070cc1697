#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kivdb {

// Bad input found while loading: the file and line it was found at, and
// what is wrong. The load stops and its transaction is rolled back.
class load_error : public std::runtime_error {
 public:
  load_error(std::string file, std::uint64_t line, const std::string& what)
      : std::runtime_error(what), file_(std::move(file)), line_(line) {}
  const std::string& file() const { return file_; }
  std::uint64_t line() const { return line_; }
  // "<file>:<line>: <what>", the one line the user sees ("<file>: <what>"
  // for what concerns the file as a whole, line 0).
  std::string message() const {
    return file_ + (line_ == 0 ? "" : ":" + std::to_string(line_)) + ": " + what();
  }

 private:
  std::string file_;
  std::uint64_t line_;
};

}  // namespace kivdb
