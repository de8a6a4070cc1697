#include <cstdio>

#include "db/commands.h"

namespace kivdb {

int load_command(command_args) {
  std::fputs("kivdb load: not built yet\n", stderr);
  return exit_failure;
}

}  // namespace kivdb
