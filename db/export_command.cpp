#include <cstdio>

#include "db/commands.h"

namespace kivdb {

int export_command(command_args) {
  std::fputs("kivdb export: not built yet\n", stderr);
  return exit_failure;
}

}  // namespace kivdb
