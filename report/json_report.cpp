#include <algorithm>
#include <cstdio>

#include "report/renderers.h"

namespace kivdb::report {

namespace {

constexpr std::string_view replacement_char = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence starting at text[i], or 0.
std::size_t utf8_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (length == 0 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  // Overlong three- and four-byte forms, surrogates and values past U+10FFFF.
  if (lead == 0xE0 && byte(i + 1) < 0xA0) return 0;
  if (lead == 0xED && byte(i + 1) > 0x9F) return 0;
  if (lead == 0xF0 && byte(i + 1) < 0x90) return 0;
  if (lead == 0xF4 && byte(i + 1) > 0x8F) return 0;
  return length;
}

void append_escaped(std::string& out, unsigned char c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  if (c < 0x20) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
    out += buffer;
    return;
  }
  out += static_cast<char>(c);
}

// A frame's file and line are null when unknown.
void write_frame(std::ostream& out, const stack_frame& f) {
  out << "{\"function\": " << json_string(f.function) << ", \"file\": ";
  if (f.file.empty()) out << "null";
  else out << json_string(f.file);
  out << ", \"line\": ";
  if (f.line == 0) out << "null";
  else out << f.line;
  out << ", \"object\": " << json_string(f.object) << '}';
}

// An entry's stack, a frame a line, from the allocation site outwards.
void write_stack(std::ostream& out, const frame_table& frames, const std::vector<std::uint32_t>& stack) {
  out << ", \"stack\": [";
  for (std::size_t i = 0; i < stack.size(); ++i) {
    out << (i == 0 ? "\n      " : ",\n      ");
    write_frame(out, frames[stack[i]]);
  }
  out << "\n    ]";
}

void write_list(std::ostream& out, const top_list& list, const frame_table& frames, std::size_t top) {
  out << "  " << json_string(list.key) << ": [";
  const std::size_t shown = std::min(top, list.rows.size());
  for (std::size_t r = 0; r < shown; ++r) {
    const top_row& row = list.rows[r];
    out << (r == 0 ? "\n" : ",\n") << "    {";
    for (std::size_t t = 0; t < list.text_columns.size(); ++t)
      out << (t == 0 ? "" : ", ") << json_string(list.text_columns[t]) << ": "
          << json_string(t < row.texts.size() ? row.texts[t] : std::string());
    for (std::size_t c = 0; c < list.number_columns.size(); ++c)
      out << ", " << json_string(list.number_columns[c]) << ": "
          << (c < row.numbers.size() ? row.numbers[c] : 0);
    if (!row.stack.empty()) write_stack(out, frames, row.stack);
    out << "}";
  }
  out << (shown == 0 ? "]" : "\n  ]");
  if (!list.note.empty()) out << ",\n  " << json_string(list.key + "_note") << ": " << json_string(list.note);
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      append_escaped(out, c);
      ++i;
      continue;
    }
    const std::size_t length = utf8_length(text, i);
    if (length == 0) {
      out += replacement_char;
      ++i;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  out += '"';
  return out;
}

void write_json(std::ostream& out, const report_data& data, std::size_t top) {
  const run_summary& s = data.summary;
  out << "{\n";
  out << "  \"run_id\": " << json_string(s.run_id) << ",\n";
  out << "  \"memory_records\": " << s.memory_records << ",\n";
  out << "  \"headers\": " << s.headers << ",\n";
  out << "  \"peak_bytes\": " << s.peak_bytes << ",\n";
  out << "  \"peak_blocks\": " << s.peak_blocks << ",\n";
  out << "  \"peak_record\": " << s.peak_record << ",\n";
  out << "  \"peak_pid\": " << s.peak_pid << ",\n";
  out << "  \"peak_image\": " << s.peak_image << ",\n";
  out << "  \"live_bytes_at_end\": " << s.live_bytes_at_end << ",\n";
  out << "  \"live_blocks_at_end\": " << s.live_blocks_at_end << ",\n";
  out << "  \"nofree_bytes_at_end\": " << s.nofree_bytes_at_end << ",\n";
  out << "  \"cut_short\": " << (s.cut_short.empty() ? "false" : "true") << ",\n";
  out << "  \"cut_short_reasons\": [";
  for (std::size_t i = 0; i < s.cut_short.size(); ++i)
    out << (i == 0 ? "\n    " : ",\n    ") << json_string(s.cut_short[i]);
  out << (s.cut_short.empty() ? "]" : "\n  ]");
  for (const auto& list : data.lists) {
    out << ",\n";
    write_list(out, list, data.frames, top);
  }
  out << "\n}\n";
}

}  // namespace kivdb::report
