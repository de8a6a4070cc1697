#pragma once

// The views that answer the questions users ask of a loaded run: what is
// still alive at the end and where it came from, the peaks, and memory in
// use over time. The same SQL serves both engines.

#include <span>
#include <string>

#include "db/database.h"

namespace kivdb {

struct view_def {
  std::string name;
  std::string doc;      // what it answers, for the README
  std::string example;  // a query a user would type
  std::string select;   // the view's SELECT
};

std::span<const view_def> views();
// Creates (or replaces) every view.
void create_views(database& db);
// Markdown list of the views with their examples, for the README.
std::string views_markdown();

}  // namespace kivdb
