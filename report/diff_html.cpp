#include <sstream>

#include "report/diff_renderers.h"
#include "report/page_diff_css.h"
#include "report/page_diff_js.h"
#include "report/page_parts.h"

namespace kivdb::report {

namespace {

void json_figures(std::ostream& out, const std::vector<figure_change>& figures) {
  out << '[';
  for (std::size_t i = 0; i < figures.size(); ++i) {
    const figure_change& f = figures[i];
    out << (i == 0 ? "" : ",") << "{\"key\":" << json_string(f.figure->key) << ",\"base\":" << f.base
        << ",\"new\":" << f.current << ",\"change\":" << f.change() << '}';
  }
  out << ']';
}

// Each entry as [texts, base numbers, new numbers, presence].
void json_entries(std::ostream& out, const std::vector<entry_change>& entries) {
  out << '[';
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const entry_change& e = entries[i];
    out << (i == 0 ? "[" : ",[");
    json_array(out, e.texts);
    out << ',';
    json_array(out, e.base);
    out << ',';
    json_array(out, e.current);
    out << ",\"" << presence_name(e.where) << "\"]";
  }
  out << ']';
}

void json_lists(std::ostream& out, const std::vector<list_change>& lists) {
  out << '[';
  for (std::size_t l = 0; l < lists.size(); ++l) {
    const list_change& list = lists[l];
    out << (l == 0 ? "" : ",") << "{\"key\":" << json_string(list.key) << ",\"title\":" << json_string(list.title)
        << ",\"base_note\":" << json_string(list.base_note) << ",\"new_note\":" << json_string(list.current_note)
        << ",\"texts\":";
    json_array(out, list.text_columns);
    out << ",\"numbers\":";
    json_array(out, list.number_columns);
    out << ",\"unchanged\":" << list.unchanged << ",\"added\":" << list.added << ",\"gone\":" << list.gone
        << ",\"grew\":";
    json_entries(out, list.grew);
    out << ",\"shrank\":";
    json_entries(out, list.shrank);
    out << '}';
  }
  out << ']';
}

std::string page_data(const diff_data& data, std::size_t top) {
  std::ostringstream out;
  out << "{\"top\":" << top << ",\"base\":";
  json_summary(out, data.base);
  out << ",\"new\":";
  json_summary(out, data.current);
  out << ",\"figures\":";
  json_figures(out, data.figures);
  out << ",\"lists\":";
  json_lists(out, data.lists);
  out << ",\"memory\":{\"base\":";
  json_series(out, data.base_memory.series);
  out << ",\"new\":";
  json_series(out, data.current_memory.series);
  out << "}}";
  return script_safe(out.str());
}

}  // namespace

void write_diff_html(std::ostream& out, const diff_data& data, std::size_t top) {
  write_page(out, "kiv memory comparison: run " + data.current.run_id + " against run " + data.base.run_id,
             page_data(data, top), {page_diff_css}, {page_diff_js});
}

}  // namespace kivdb::report
