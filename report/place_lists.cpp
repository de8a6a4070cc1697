#include "report/place_lists.h"

#include <algorithm>

namespace kivdb::report {

namespace {

// A location's two figures in the list's order.
std::vector<std::int64_t> in_order(first_figure first, std::int64_t bytes, std::int64_t count) {
  if (first == first_figure::bytes) return {bytes, count};
  return {count, bytes};
}

// Self and total of a function's bytes and count.
struct function_figures {
  location_figures self;
  location_figures total;
};

void add_to(location_figures& into, const location_figures& f) {
  into.count += f.count;
  into.bytes += f.bytes;
}

}  // namespace

void rank(top_list& list) {
  std::stable_sort(list.rows.begin(), list.rows.end(), [](const top_row& a, const top_row& b) {
    if (a.numbers.front() != b.numbers.front()) return a.numbers.front() > b.numbers.front();
    return a.texts.front() < b.texts.front();
  });
}

top_list place_lists::by_location(const list_names& names, const named_sums& sums, std::string_view note) {
  top_list list{names.key, names.title, {"name"}, {}, {}, {}};
  list.number_columns = names.first == first_figure::bytes ? std::vector<std::string>{"bytes", names.count}
                                                           : std::vector<std::string>{names.count, "bytes"};
  list.rows.reserve(sums.by_name.size());
  for (const auto& [text, f] : sums.by_name) {
    const named_place& place = places_.of(text);
    list.rows.push_back({{place.name}, in_order(names.first, f.bytes, f.count), place.stack});
  }
  rank(list);
  sums.note_if_empty(list, note);
  return list;
}

top_list place_lists::by_function(const list_names& names, const named_sums& sums, std::string_view note) {
  const std::string primary = names.first == first_figure::bytes ? "bytes" : names.count;
  const std::string secondary = names.first == first_figure::bytes ? names.count : "bytes";
  top_list list{names.key,
                names.title,
                {"function", "file", "object"},
                {"self_" + primary, "total_" + primary, "self_" + secondary, "total_" + secondary},
                {},
                {}};
  std::map<std::uint32_t, function_figures> by_function;
  for (const auto& [text, f] : sums.by_name) {
    const named_place& place = places_.of(text);
    for (std::size_t i = 0; i < place.functions.size(); ++i) {
      function_figures& figures = by_function[place.functions[i]];
      if (i == 0) add_to(figures.self, f);
      add_to(figures.total, f);
    }
  }
  for (const auto& [index, f] : by_function) {
    const function_key& key = places_.function(index);
    const std::vector<std::int64_t> self = in_order(names.first, f.self.bytes, f.self.count);
    const std::vector<std::int64_t> total = in_order(names.first, f.total.bytes, f.total.count);
    list.rows.push_back({{key.function, key.file, key.object}, {self[0], total[0], self[1], total[1]}});
  }
  rank(list);
  if (list.rows.empty() && !sums.by_name.empty()) list.note = note;
  return list;
}

flame_graph place_lists::flame(const named_sums& alive, const named_sums& peak, const named_sums& allocations) {
  std::map<std::string, flame_values> by_text;
  const auto gather = [&](const named_sums& sums, flame_measure measure, bool bytes) {
    for (const auto& [text, f] : sums.by_name)
      by_text[text][static_cast<std::size_t>(measure)] += static_cast<std::uint64_t>(bytes ? f.bytes : f.count);
  };
  gather(alive, flame_measure::alive_at_end, true);
  gather(peak, flame_measure::held_at_peak, true);
  gather(allocations, flame_measure::allocations, false);
  flame_tree_builder builder;
  bool any_stack = false;
  std::vector<stack_frame> stack;
  for (const auto& [text, values] : by_text) {
    const named_place& place = places_.of(text);
    if (place.stack.empty()) continue;
    any_stack = true;
    stack.resize(place.stack.size());
    for (std::size_t i = 0; i < stack.size(); ++i) stack[i] = places_.frames()[place.stack[i]];
    builder.add(stack, values);
  }
  return any_stack ? builder.build() : flame_graph{};
}

}  // namespace kivdb::report
