#pragma once

// The report's lists of places in the code, from figures summed by
// location text: each entry named by its place (a stack's first named
// frame, or the text) and carrying its stack; the same figures by function
// of the stacks; and the stacks merged for the flame graph.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "report/flame_tree.h"
#include "report/memory_scan.h"
#include "report/report_model.h"
#include "report/stack_names.h"

namespace kivdb::report {

// Figures by location text (the source text, or a placeholder for a
// location without one), and whether every entry fell into a placeholder.
struct named_sums {
  std::map<std::string, location_figures> by_name;
  bool all_placeholders = true;

  void add(const std::string& name, const location_figures& f, bool placeholder) {
    location_figures& sum = by_name[name];
    sum.count += f.count;
    sum.bytes += f.bytes;
    all_placeholders = all_placeholders && placeholder;
  }
  // A list with entries that all fall into a placeholder gets the note.
  void note_if_empty(top_list& list, std::string_view note) const {
    if (!by_name.empty() && all_placeholders) list.note = note;
  }
};

// Which figure of a location a list shows first (and ranks by).
enum class first_figure { bytes, count };

// What a list is called and what its figures are called.
struct list_names {
  std::string key;
  std::string title;
  std::string count;  // "blocks", "allocations"
  first_figure first = first_figure::bytes;
};

// Rows sorted by their first number, largest first, then by name.
void rank(top_list& list);

class place_lists {
 public:
  // One entry per location text: numbers bytes and count (or count and
  // bytes), the place's stack; the note when every entry is a placeholder.
  top_list by_location(const list_names& names, const named_sums& sums, std::string_view note);
  // The figures by function of the texts' stacks, self and total (the
  // list's first figure, then the other); the note when there are figures
  // but no stack.
  top_list by_function(const list_names& names, const named_sums& sums, std::string_view note);
  // The texts' stacks merged for the flame graph, with the three measures
  // by text; empty when no text is a stack.
  flame_graph flame(const named_sums& alive, const named_sums& peak, const named_sums& allocations);
  // The frames the lists' stacks index, once the lists are made.
  frame_table take_frames() { return places_.take_frames(); }

 private:
  place_catalog places_;
};

}  // namespace kivdb::report
