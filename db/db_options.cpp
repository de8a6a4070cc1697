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

bool take_separator_option(command_args args, std::size_t& i, char& field_sep, char& fun_sep) {
  const std::string_view word = args[i];
  if (word != "-sd" && word != "-sf") return false;
  if (i + 1 >= args.size() || args[i + 1][0] == '\0') throw std::invalid_argument(std::string(word) + " needs a character");
  const char sep = args[++i][0];
  if (sep == '\n') throw std::invalid_argument("a line end cannot separate fields");
  (word == "-sd" ? field_sep : fun_sep) = sep;
  return true;
}

}  // namespace kivdb
