#include <sstream>

#include "report/flame_js.h"
#include "report/page_common_js.h"
#include "report/page_css.h"
#include "report/page_js.h"
#include "report/page_parts.h"
#include "report/uplot_css.h"
#include "report/uplot_js.h"

namespace kivdb::report {

std::string script_safe(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  for (char c : json) {
    if (c == '<') out += "\\u003c";
    else out += c;
  }
  return out;
}

void json_series(std::ostream& out, const series_table& table) {
  out << "{\"names\":";
  json_array(out, table.names);
  out << ",\"x\":";
  json_array(out, table.x);
  out << ",\"time\":";
  json_array(out, table.time);
  out << ",\"values\":[";
  for (std::size_t c = 0; c < table.values.size(); ++c) {
    if (c != 0) out << ',';
    json_array(out, table.values[c]);
  }
  out << "]}";
}

void json_summary(std::ostream& out, const run_summary& s) {
  out << "{\"run_id\":" << json_string(s.run_id) << ",\"program\":" << json_string(s.program)
      << ",\"host\":" << json_string(s.host) << ",\"user\":" << json_string(s.user)
      << ",\"start_time\":" << json_string(s.start_time)
      << ",\"end_time\":" << json_string(s.end_time) << ",\"processes\":" << s.processes
      << ",\"memory_records\":" << s.memory_records << ",\"headers\":" << s.headers
      << ",\"peak_bytes\":" << s.peak_bytes << ",\"peak_blocks\":" << s.peak_blocks
      << ",\"peak_record\":" << s.peak_record << ",\"peak_pid\":" << s.peak_pid
      << ",\"peak_image\":" << s.peak_image << ",\"peak_time\":" << json_string(s.peak_time)
      << ",\"live_bytes_at_end\":" << s.live_bytes_at_end
      << ",\"live_blocks_at_end\":" << s.live_blocks_at_end
      << ",\"nofree_bytes_at_end\":" << s.nofree_bytes_at_end << ",\"cut_short\":";
  json_array(out, s.cut_short);
  out << '}';
}

namespace {

// The page's table of frames: the flame graph's, then the lists' that are
// not among them. The report's frame i is the page's frame page_index[i].
struct page_frames {
  frame_table table;
  std::vector<std::uint32_t> page_index;
  static constexpr std::uint32_t unset = UINT32_MAX;

  std::uint32_t of(const frame_table& report_frames, std::uint32_t i) {
    if (page_index[i] == unset) page_index[i] = table.intern(report_frames[i]);
    return page_index[i];
  }
};

// A stack as indices into the page's frame table, which gains its new
// frames.
void json_stack(std::ostream& out, page_frames& frames, const frame_table& report_frames,
                const std::vector<std::uint32_t>& stack) {
  out << '[';
  for (std::size_t i = 0; i < stack.size(); ++i) out << (i == 0 ? "" : ",") << frames.of(report_frames, stack[i]);
  out << ']';
}

void json_lists(std::ostream& out, const std::vector<top_list>& lists, page_frames& frames,
                const frame_table& report_frames) {
  out << '[';
  for (std::size_t l = 0; l < lists.size(); ++l) {
    const top_list& list = lists[l];
    out << (l == 0 ? "" : ",") << "{\"key\":" << json_string(list.key)
        << ",\"title\":" << json_string(list.title) << ",\"note\":" << json_string(list.note) << ",\"texts\":";
    json_array(out, list.text_columns);
    out << ",\"numbers\":";
    json_array(out, list.number_columns);
    out << ",\"rows\":[";
    for (std::size_t r = 0; r < list.rows.size(); ++r) {
      out << (r == 0 ? "[" : ",[");
      json_array(out, list.rows[r].texts);
      out << ',';
      json_array(out, list.rows[r].numbers);
      if (!list.rows[r].stack.empty()) {
        out << ',';
        json_stack(out, frames, report_frames, list.rows[r].stack);
      }
      out << ']';
    }
    out << "]}";
  }
  out << ']';
}

const char* marker_kind(chart_marker::kind kind) {
  switch (kind) {
    case chart_marker::kind::process_start: return "start";
    case chart_marker::kind::process_end: return "end";
    case chart_marker::kind::user: break;
  }
  return "user";
}

void json_markers(std::ostream& out, const std::vector<chart_marker>& markers) {
  out << '[';
  for (std::size_t i = 0; i < markers.size(); ++i) {
    const chart_marker& m = markers[i];
    out << (i == 0 ? "" : ",") << "{\"kind\":\"" << marker_kind(m.what)
        << "\",\"record\":" << m.record << ",\"time\":" << json_string(m.time)
        << ",\"text\":" << json_string(m.text) << '}';
  }
  out << ']';
}

// Every frame as [function, file, line, object].
void json_frames(std::ostream& out, const frame_table& frames) {
  out << '[';
  for (std::uint32_t i = 0; i < frames.size(); ++i) {
    const stack_frame& f = frames[i];
    out << (i == 0 ? "[" : ",[") << json_string(f.function) << ',' << json_string(f.file) << ','
        << f.line << ',' << json_string(f.object) << ']';
  }
  out << ']';
}

// The graph's nodes, five numbers each: parent, frame (its index in the
// page's frame table, or the root's and "other"'s own), then the values.
void json_flame(std::ostream& out, const flame_graph& graph, const std::vector<std::uint32_t>& page_frame) {
  out << '[';
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    const flame_node& n = graph.nodes[i];
    const bool named = n.frame >= 0 && static_cast<std::size_t>(n.frame) < page_frame.size();
    out << (i == 0 ? "" : ",") << n.parent << ',';
    if (named) out << page_frame[n.frame];
    else out << n.frame;
    for (std::uint64_t value : n.total) out << ',' << value;
  }
  out << ']';
}

std::string page_data(const report_data& data, std::size_t top) {
  std::ostringstream out;
  // The graph and the lists' stacks share one table of frames.
  page_frames frames;
  frames.page_index.assign(data.frames.size(), page_frames::unset);
  std::vector<std::uint32_t> page_frame;
  page_frame.reserve(data.flame.frames.size());
  for (const stack_frame& f : data.flame.frames) page_frame.push_back(frames.table.intern(f));
  out << "{\"top\":" << top << ",\"summary\":";
  json_summary(out, data.summary);
  out << ",\"lists\":";
  json_lists(out, data.lists, frames, data.frames);
  out << ",\"memory_title\":" << json_string(data.memory.title) << ",\"memory\":";
  json_series(out, data.memory.series);
  out << ",\"markers\":";
  json_markers(out, data.markers);
  out << ",\"malids\":";
  json_series(out, data.top_malids.series);
  out << ",\"processes\":[";
  for (std::size_t p = 0; p < data.processes.size(); ++p) {
    out << (p == 0 ? "" : ",") << "{\"title\":" << json_string(data.processes[p].title)
        << ",\"series\":";
    json_series(out, data.processes[p].series);
    out << '}';
  }
  out << "],\"sizes\":{\"counts\":";
  json_array(out, data.sizes.counts);
  out << ",\"bytes\":";
  json_array(out, data.sizes.bytes);
  out << "},\"flame\":";
  json_flame(out, data.flame, page_frame);
  out << ",\"frames\":";
  json_frames(out, frames.table);
  out << '}';
  return script_safe(out.str());
}

// Text for the title element: the few characters HTML gives a meaning.
std::string html_text(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

void write_page(std::ostream& out, std::string_view title, const std::string& data,
                std::initializer_list<std::string_view> styles, std::initializer_list<std::string_view> scripts) {
  out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      << "<title>" << html_text(title) << "</title>\n"
      << "<style>\n" << uplot_css << '\n' << page_css;
  for (std::string_view style : styles) out << style;
  out << "</style>\n</head>\n<body>\n"
      << "<script type=\"application/json\" id=\"kiv-data\">" << data << "</script>\n<script>\n" << uplot_js
      << "\n</script>\n<script>\n" << page_common_js << "</script>\n";
  for (std::string_view script : scripts) out << "<script>\n" << script << "</script>\n";
  out << "</body>\n</html>\n";
}

void write_html(std::ostream& out, const report_data& data, std::size_t top) {
  write_page(out, "kiv memory report: run " + data.summary.run_id, page_data(data, top), {}, {flame_js, page_js});
}

}  // namespace kivdb::report
