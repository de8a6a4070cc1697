#pragma once

// What the report's page and the comparison's page share: the page around
// their data and scripts, and the JSON of their data. The data travels as
// JSON inside a script element of the page.

#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "report/renderers.h"
#include "report/report_model.h"

namespace kivdb::report {

// The JSON with every '<' written \u003c: '<' occurs only inside strings
// there, so no text of a run can end the script element or open a comment.
std::string script_safe(const std::string& json);

template <typename T>
void json_array(std::ostream& out, const std::vector<T>& values) {
  out << '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out << ',';
    if constexpr (std::is_same_v<T, std::string>) out << json_string(values[i]);
    else out << values[i];
  }
  out << ']';
}

void json_series(std::ostream& out, const series_table& table);
void json_summary(std::ostream& out, const run_summary& s);

// A whole page: its title, the shared style and then the page's own, the
// data (JSON made script-safe) as element "kiv-data", the charting
// library, the shared page script and then the page's own scripts.
void write_page(std::ostream& out, std::string_view title, const std::string& data,
                std::initializer_list<std::string_view> styles, std::initializer_list<std::string_view> scripts);

}  // namespace kivdb::report
