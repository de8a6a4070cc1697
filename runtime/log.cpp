#include "runtime/log.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

namespace {

std::string registered_progname;

std::string env_value(const char* variable) {
  const char* value = std::getenv(variable);
  return value ? value : "";
}

std::string login_name() {
  const passwd* pw = ::getpwuid(::getuid());
  return pw && pw->pw_name ? pw->pw_name : "";
}

}  // namespace

std::string find_product_user() {
  std::string user = env_value("KRE_USER");
  if (user.empty()) user = env_value("USER");
  if (user.empty()) user = login_name();
  if (user.size() > max_product_user_length) return {};
  return user;
}

void log_set_progname(const char* name, int n) {
  registered_progname.assign(name, n > 0 ? static_cast<std::size_t>(n) : 0);
  if (!find_product_user().empty()) return;
  std::cerr << "Could not find Lumo user name; exiting." << std::endl;
  std::exit(1);
}

const std::string& log_progname() { return registered_progname; }
