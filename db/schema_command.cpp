// kivdb schema: the tables and views kivdb keeps, as SQL for either engine
// or as the README's Markdown lists.

#include <cstdio>
#include <string>
#include <string_view>

#include "db/command_output.h"
#include "db/commands.h"
#include "db/schema.h"
#include "db/views.h"

namespace kivdb {

namespace {

void print_sql(engine_kind engine) {
  for (const std::string& sql : schema_sql(engine)) std::printf("%s;\n", sql.c_str());
  for (const std::string& sql : index_sql(engine)) std::printf("%s;\n", sql.c_str());
  for (const view_def& v : views()) std::printf("CREATE VIEW %s AS %s;\n", v.name.c_str(), v.select.c_str());
}

}  // namespace

int schema_command(command_args args) {
  const std::string_view what = args.empty() ? "--sqlite" : args[0];
  if (args.size() > 1) {
    std::fputs("kivdb schema: one of --sqlite, --postgresql, --markdown\n", stderr);
    return exit_usage;
  }
  if (what == "--sqlite") {
    print_sql(engine_kind::sqlite);
  } else if (what == "--postgresql") {
    print_sql(engine_kind::postgresql);
  } else if (what == "--markdown") {
    std::fputs(schema_markdown().c_str(), stdout);
    std::fputs("\n", stdout);
    std::fputs(views_markdown().c_str(), stdout);
  } else {
    std::fprintf(stderr, "kivdb schema: unknown option %s\n", args[0]);
    return exit_usage;
  }
  return flush_standard_output("schema") ? 0 : exit_failure;
}

}  // namespace kivdb
