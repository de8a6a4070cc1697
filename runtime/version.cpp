#include "runtime/version.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string_view>

#include "runtime/build_stamp.h"

namespace {

constexpr std::size_t rule_width = 48;
constexpr const char* owner_notice = "kiv trace converter";

void write_stamp(std::ostream& os) {
  const std::string rule(rule_width, '-');
  os << rule << '\n'
     << "Product ver.: " << build_stamp::product_version << '\n'
     << "Port no.    : " << build_stamp::port << '\n'
     << "Date        : " << build_stamp::date << '\n'
     << "Uname       : " << build_stamp::uname << '\n'
     << "Machine-id  : " << build_stamp::machine_id << '\n'
     << "OS-release  : " << build_stamp::os_release << '\n'
     << "CFLAGS      : " << build_stamp::cflags << '\n'
     << "LOADFLAGS   : " << build_stamp::loadflags << '\n'
     << "Build-type  : " << build_stamp::build_type << '\n'
     << "DBMS ver.   : " << build_stamp::dbms_version << '\n'
     << rule << '\n'
     << owner_notice << '\n';
}

// Comment lines of the recorded configuration are left out.
void write_config(std::ostream& os) {
  const std::string rule(rule_width, '-');
  os << rule << "\n\nConfig spec: \n";
  std::istringstream lines(build_stamp::config_spec);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line.front() == '#') continue;
    os << line << '\n';
  }
  os << rule << '\n';
}

bool config_requested() {
  const char* value = std::getenv("CONFIGSPEC");
  return value && std::strcmp(value, "PRINT") == 0;
}

}  // namespace

std::string version_text(bool with_config) {
  std::ostringstream os;
  write_stamp(os);
  if (with_config) write_config(os);
  return os.str();
}

void print_version(int /*flags*/) { std::cerr << version_text(config_requested()) << std::flush; }
