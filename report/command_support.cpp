#include "report/command_support.h"

#include <charconv>
#include <fstream>
#include <stdexcept>

namespace kivdb::report {

std::size_t parse_top(const std::string& text) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0)
    throw std::invalid_argument("--top needs a positive number, not \"" + text + "\"");
  return value;
}

void write_checked(const std::string& path, const std::function<void(std::ostream&)>& render) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  render(out);
  out.flush();
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace kivdb::report
