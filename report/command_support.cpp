#include "report/command_support.h"

#include <charconv>
#include <filesystem>
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

namespace {

// The path with "." and "..", links and the current folder resolved as far
// as it exists; empty when even that fails.
std::filesystem::path resolved(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
  return ec ? std::filesystem::path() : p;
}

}  // namespace

void check_distinct_outputs(const std::string& html_path, const std::string& json_path) {
  if (html_path.empty() || json_path.empty()) return;
  const std::filesystem::path html = resolved(html_path);
  std::error_code ec;
  const bool same = html_path == json_path || (!html.empty() && html == resolved(json_path)) ||
                    std::filesystem::equivalent(html_path, json_path, ec);
  if (same) throw std::invalid_argument("-o and --json name the same file " + json_path);
}

// The whole output is rendered first: the file is written in one go, and a
// failure names its cause.
void write_checked(const std::string& path, const std::function<void(std::ostream&)>& render) {
  std::ostringstream out;
  render(out);
  write_output_file(path, out.view());
}

}  // namespace kivdb::report
