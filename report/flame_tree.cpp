#include "report/flame_tree.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace kivdb::report {

namespace {

constexpr std::uint32_t root = 0;
constexpr int frame_bits = 32;
// The root and one "other" node: the smallest tree that holds every value.
constexpr std::size_t min_result_nodes = 2;
// Where doubling starts when the asked share is zero, negative or tiny,
// so that a tree too large is pruned in a few dozen rounds.
constexpr double smallest_share = 1e-9;

void accumulate(flame_values& into, const flame_values& values) {
  for (std::size_t m = 0; m < flame_measure_count; ++m) into[m] += values[m];
}

}  // namespace

flame_tree_builder::flame_tree_builder(flame_granularity granularity)
    : granularity_(granularity), nodes_{{root, 0, {}}} {}

std::uint32_t flame_tree_builder::child(std::uint32_t parent, std::uint32_t frame) {
  // mix() is a bijection, so equal hashes mean equal parent and frame.
  const std::uint64_t hash = hash_index::mix((std::uint64_t{parent} << frame_bits) | frame);
  const std::uint32_t found = children_.find(hash, [](std::uint32_t) { return true; });
  if (found != hash_index::none) return found;
  const auto added = static_cast<std::uint32_t>(nodes_.size());
  nodes_.push_back({parent, frame, {}});
  children_.insert(hash, added);
  return added;
}

void flame_tree_builder::add(std::span<const stack_frame> stack, const flame_values& values) {
  if (values == flame_values{}) return;
  std::uint32_t at = root;
  accumulate(nodes_[root].total, values);
  for (auto frame = stack.rbegin(); frame != stack.rend(); ++frame) {
    const std::uint32_t line = granularity_ == flame_granularity::line ? frame->line : 0;
    at = child(at, frames_.intern(*frame, line));
    accumulate(nodes_[at].total, values);
  }
}

flame_tree_builder::child_lists flame_tree_builder::ordered_children() const {
  // Frames ranked by name once, so that siblings sort by integers.
  std::vector<std::uint32_t> by_name(frames_.size());
  std::iota(by_name.begin(), by_name.end(), 0u);
  std::sort(by_name.begin(), by_name.end(),
            [this](std::uint32_t a, std::uint32_t b) { return frames_[a] < frames_[b]; });
  std::vector<std::uint32_t> rank(frames_.size());
  for (std::uint32_t r = 0; r < by_name.size(); ++r) rank[by_name[r]] = r;

  child_lists lists;
  lists.first.assign(nodes_.size() + 1, 0);
  for (std::size_t n = 1; n < nodes_.size(); ++n) ++lists.first[nodes_[n].parent + 1];
  std::partial_sum(lists.first.begin(), lists.first.end(), lists.first.begin());
  lists.order.resize(nodes_.size() - 1);
  std::vector<std::uint32_t> next(lists.first.begin(), lists.first.end() - 1);
  for (std::uint32_t n = 1; n < nodes_.size(); ++n) lists.order[next[nodes_[n].parent]++] = n;
  for (std::size_t p = 0; p < nodes_.size(); ++p)
    std::sort(lists.order.begin() + lists.first[p], lists.order.begin() + lists.first[p + 1],
              [&](std::uint32_t a, std::uint32_t b) {
                return rank[nodes_[a].frame] < rank[nodes_[b].frame];
              });
  return lists;
}

// The smallest value per measure that keeps a node; 0 where the measure
// keeps none (the root holds nothing of it, or the share asks for more
// than the root holds).
flame_values flame_tree_builder::thresholds(double share) const {
  constexpr auto beyond = static_cast<double>(std::numeric_limits<std::uint64_t>::max());
  flame_values threshold{};
  for (std::size_t m = 0; m < flame_measure_count; ++m) {
    const std::uint64_t all = nodes_[root].total[m];
    const double needed = std::ceil(static_cast<double>(all) * share);
    if (all == 0 || !(needed < beyond) || needed > static_cast<double>(all)) continue;
    threshold[m] = needed < 1 ? 1 : static_cast<std::uint64_t>(needed);
  }
  return threshold;
}

bool flame_tree_builder::kept(std::uint32_t n, const flame_values& threshold) const {
  for (std::size_t m = 0; m < flame_measure_count; ++m)
    if (threshold[m] != 0 && nodes_[n].total[m] >= threshold[m]) return true;
  return false;
}

// Nodes of the pruned tree: the kept ones and one "other" under each kept
// node that lost a child.
std::size_t flame_tree_builder::count(const child_lists& children,
                                      const flame_values& threshold) const {
  std::size_t nodes = 0;
  std::vector<std::uint32_t> todo{root};
  while (!todo.empty()) {
    const std::uint32_t n = todo.back();
    todo.pop_back();
    ++nodes;
    bool dropped = false;
    for (std::uint32_t i = children.first[n]; i < children.first[n + 1]; ++i) {
      const std::uint32_t c = children.order[i];
      if (kept(c, threshold)) todo.push_back(c);
      else dropped = true;
    }
    if (dropped) ++nodes;
  }
  return nodes;
}

flame_graph flame_tree_builder::emit(const child_lists& children,
                                     const flame_values& threshold) const {
  flame_graph graph;
  std::vector<std::int32_t> used(frames_.size(), -1);  // index in graph.frames
  const auto frame_of = [&](std::uint32_t frame) {
    if (used[frame] < 0) {
      used[frame] = static_cast<std::int32_t>(graph.frames.size());
      graph.frames.push_back(frames_[frame]);
    }
    return used[frame];
  };
  // A node to write, or (is_other) the merged small children of `parent`.
  struct item {
    std::uint32_t node;
    std::int32_t parent;
    bool is_other;
    flame_values other;
  };
  std::vector<item> todo{{root, flame_no_parent, false, {}}};
  while (!todo.empty()) {
    const item it = todo.back();
    todo.pop_back();
    if (it.is_other) {
      graph.nodes.push_back({it.parent, flame_other_frame, it.other});
      continue;
    }
    const auto at = static_cast<std::int32_t>(graph.nodes.size());
    const node& n = nodes_[it.node];
    graph.nodes.push_back({it.parent, it.node == root ? flame_root_frame : frame_of(n.frame), n.total});
    // Pushed last to first, so that they are written in order, "other" last.
    item other{root, at, true, {}};
    bool dropped = false;
    for (std::uint32_t i = children.first[it.node]; i < children.first[it.node + 1]; ++i) {
      const std::uint32_t c = children.order[i];
      if (kept(c, threshold)) continue;
      accumulate(other.other, nodes_[c].total);
      dropped = true;
    }
    if (dropped) todo.push_back(other);
    for (std::uint32_t i = children.first[it.node + 1]; i-- > children.first[it.node];) {
      const std::uint32_t c = children.order[i];
      if (kept(c, threshold)) todo.push_back({c, at, false, {}});
    }
  }
  return graph;
}

flame_graph flame_tree_builder::build(const flame_limits& limits) const {
  if (nodes_[root].total == flame_values{}) return {};
  const child_lists children = ordered_children();
  const std::size_t most = std::max(limits.max_nodes, min_result_nodes);
  double share = limits.min_share;
  flame_values threshold = thresholds(share);
  while (count(children, threshold) > most) {
    share = share >= smallest_share ? share * 2 : smallest_share;
    threshold = thresholds(share);
  }
  return emit(children, threshold);
}

}  // namespace kivdb::report
