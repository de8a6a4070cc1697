#include "report/command_support.h"

#include <charconv>
#include <sstream>
#include <stdexcept>

#include "db/command_output.h"

namespace kivdb::report {

std::size_t parse_top(const std::string& text) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0)
    throw std::invalid_argument("--top needs a positive number, not \"" + text + "\"");
  return value;
}

// The whole output is rendered first: the file is written in one go, and a
// failure names its cause.
void write_checked(const std::string& path, const std::function<void(std::ostream&)>& render) {
  std::ostringstream out;
  render(out);
  write_output_file(path, out.view());
}

}  // namespace kivdb::report
