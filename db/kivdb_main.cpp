#include <array>
#include <cstdio>
#include <string>

#include "db/commands.h"

namespace kivdb {

namespace {

constexpr std::array<subcommand, 5> subcommands = {{
    {"load", "load <trace directory | kiv.<runid>.sql> [--db FILE | --pg CONNINFO] [-sd C] [-sf C] [--allow-cut]", load_command},
    {"export", "export --db FILE | --pg CONNINFO --run ID --out DIR", export_command},
    {"schema", "schema [--sqlite | --postgresql | --markdown]", schema_command},
    {"report",
     "report <trace directory | kiv.<runid>.sql> | --db FILE | --pg CONNINFO [--run ID] [-o report.html] "
     "[--json FILE] [--top N] [--stacks] [-sd C] [-sf C]",
     report_command},
    {"diff",
     "diff <base run> <new run> [--fail-if METRIC:CHANGE]... [-o page.html] [--json FILE] [--top N] [-sd C] [-sf C]; "
     "a run is a trace directory, or --db FILE | --pg CONNINFO [--run ID]",
     diff_command},
}};

void usage(std::FILE* out) {
  std::fputs("usage:\n", out);
  for (const subcommand& s : subcommands) std::fprintf(out, "  kivdb %.*s\n", static_cast<int>(s.usage.size()), s.usage.data());
}

}  // namespace

int kivdb_main(int argc, char** argv) {
  if (argc < 2) {
    usage(stderr);
    return exit_usage;
  }
  const std::string_view name = argv[1];
  if (name == "--help" || name == "-h") {
    usage(stdout);
    return 0;
  }
  for (const subcommand& s : subcommands) {
    if (s.name == name) return s.run(command_args(argv + 2, static_cast<std::size_t>(argc - 2)));
  }
  std::fprintf(stderr, "kivdb: unknown command %s\n", argv[1]);
  usage(stderr);
  return exit_usage;
}

}  // namespace kivdb
