#pragma once

// The command-line words every kivdb subcommand shares.

#include <optional>
#include <string>

#include "db/commands.h"
#include "db/database.h"

namespace kivdb {

// Reads "--db FILE" or "--pg CONNINFO" at args[i] into target, moving i
// past the value. False when args[i] is neither; throws std::invalid_argument
// when the value is missing.
bool take_target_option(command_args args, std::size_t& i, std::optional<db_target>& target);

// Reads "--<name> VALUE" at args[i]; the same conventions.
bool take_value_option(command_args args, std::size_t& i, std::string_view name, std::string& value);

// Reads "-sd C" or "-sf C" (the separators a run was converted with) at
// args[i]: the first character of the word, as kiv reads them. Throws
// std::invalid_argument for an empty word or a line end.
bool take_separator_option(command_args args, std::size_t& i, char& field_sep, char& fun_sep);

}  // namespace kivdb
