#include <algorithm>
#include <iomanip>
#include <sstream>

#include "report/renderers.h"
#include "report/stack_names.h"

namespace kivdb::report {

std::string grouped(std::int64_t value) {
  const bool negative = value < 0;
  std::uint64_t magnitude =
      negative ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return negative ? "-" + out : out;
}

namespace {

std::string or_dash(const std::string& text) { return text.empty() ? "-" : text; }

std::string number_text(const top_list& list, std::size_t column, std::int64_t value) {
  return is_identifier_column(list.number_columns[column]) ? std::to_string(value) : grouped(value);
}

// Indent of a stack's frames beneath its entry.
constexpr std::string_view frame_indent = "      ";

void write_list(std::ostream& out, const top_list& list, std::size_t top, const frame_table* stacks) {
  const std::size_t shown = std::min(top, list.rows.size());
  out << '\n' << list.title;
  if (!list.note.empty()) {
    out << "\n  (" << list.note << ")\n";
    return;
  }
  if (list.rows.size() > shown) out << " (top " << shown << " of " << list.rows.size() << ")";
  out << '\n';
  if (shown == 0) {
    out << "  (none)\n";
    return;
  }
  // Numbers right-aligned in columns as wide as their largest entry.
  std::vector<std::size_t> widths(list.number_columns.size());
  for (std::size_t c = 0; c < widths.size(); ++c) {
    widths[c] = list.number_columns[c].size();
    for (std::size_t r = 0; r < shown; ++r)
      widths[c] = std::max(widths[c], number_text(list, c, list.rows[r].numbers[c]).size());
  }
  out << ' ';
  for (std::size_t c = 0; c < widths.size(); ++c)
    out << ' ' << std::setw(static_cast<int>(widths[c])) << list.number_columns[c];
  for (std::size_t t = 0; t < list.text_columns.size(); ++t) out << "  " << list.text_columns[t];
  out << '\n';
  for (std::size_t r = 0; r < shown; ++r) {
    out << ' ';
    for (std::size_t c = 0; c < widths.size(); ++c)
      out << ' ' << std::setw(static_cast<int>(widths[c]))
          << number_text(list, c, list.rows[r].numbers[c]);
    for (const auto& text : list.rows[r].texts) out << "  " << text;
    out << '\n';
    if (stacks == nullptr) continue;
    for (const std::uint32_t frame : list.rows[r].stack) out << frame_indent << frame_text((*stacks)[frame]) << '\n';
  }
}

}  // namespace

void write_text(std::ostream& out, const report_data& data, std::size_t top, bool stacks) {
  const run_summary& s = data.summary;
  out << "Run " << s.run_id << ": " << or_dash(s.program) << " on " << or_dash(s.host) << " by "
      << or_dash(s.user) << '\n';
  out << "  from " << or_dash(s.start_time) << " to " << or_dash(s.end_time) << '\n';
  for (const std::string& reason : s.cut_short) out << "  cut short: " << reason << '\n';
  out << "  processes:          " << grouped(static_cast<std::int64_t>(s.processes)) << '\n';
  out << "  memory records:     " << grouped(static_cast<std::int64_t>(s.memory_records));
  if (s.headers > 1) out << " in " << s.headers << " headers";
  out << '\n';
  out << "  peak in use:        " << grouped(static_cast<std::int64_t>(s.peak_bytes))
      << " bytes in " << grouped(static_cast<std::int64_t>(s.peak_blocks)) << " blocks";
  if (s.memory_records != 0) {
    out << " at record " << s.peak_record;
    // Record numbers start afresh in each header.
    if (s.headers > 1) out << " of header " << s.peak_image << " (pid " << s.peak_pid << ")";
    out << " (" << or_dash(s.peak_time) << ")";
  }
  out << '\n';
  out << "  alive at the end:   " << grouped(static_cast<std::int64_t>(s.live_bytes_at_end))
      << " bytes in " << grouped(static_cast<std::int64_t>(s.live_blocks_at_end))
      << " blocks (with free)\n";
  out << "  no-free at the end: " << grouped(static_cast<std::int64_t>(s.nofree_bytes_at_end))
      << " bytes\n";
  for (const auto& list : data.lists) write_list(out, list, top, stacks ? &data.frames : nullptr);
}

}  // namespace kivdb::report
