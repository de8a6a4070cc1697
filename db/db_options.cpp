#include "db/db_options.h"

#include <stdexcept>

namespace kivdb {

bool take_value_option(command_args args, std::size_t& i, std::string_view name, std::string& value) {
  if (std::string_view(args[i]) != name) return false;
  if (i + 1 >= args.size()) throw std::invalid_argument(std::string(name) + " needs a value");
  value = args[++i];
  return true;
}

bool take_target_option(command_args args, std::size_t& i, std::optional<db_target>& target) {
  std::string value;
  if (take_value_option(args, i, "--db", value)) {
    target = db_target{engine_kind::sqlite, value};
    return true;
  }
  if (take_value_option(args, i, "--pg", value)) {
    target = db_target{engine_kind::postgresql, value};
    return true;
  }
  return false;
}

}  // namespace kivdb
