#pragma once

#include <cstddef>
#include <ostream>
#include <string>

#include "report/report_model.h"

namespace kivdb::report {

// The three faces of one report. `top` limits the lists of the terminal
// summary and the JSON; the page holds every entry and shows `top` of them
// until "show all" is pressed. The JSON gives every entry's stack; the
// terminal only with `stacks`, a frame a line beneath the entry.
void write_text(std::ostream& out, const report_data& data, std::size_t top, bool stacks = false);
void write_json(std::ostream& out, const report_data& data, std::size_t top);
void write_html(std::ostream& out, const report_data& data, std::size_t top);

// Text as a JSON string literal, quotes included. Bytes that are not valid
// UTF-8 become U+FFFD so that the output is always valid JSON.
std::string json_string(std::string_view text);

// 1234567 -> "1,234,567"
std::string grouped(std::int64_t value);

}  // namespace kivdb::report
