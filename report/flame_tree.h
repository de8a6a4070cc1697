#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "report/stack_frame.h"

namespace kivdb::report {

// The three figures a flame graph can be drawn by, in the order of
// flame_values: bytes of the stack's blocks alive at the end, bytes it
// held at the run's peak, and its allocations.
enum class flame_measure : std::size_t { alive_at_end, held_at_peak, allocations };
inline constexpr std::size_t flame_measure_count = 3;
using flame_values = std::array<std::uint64_t, flame_measure_count>;

inline constexpr std::int32_t flame_no_parent = -1;
// Frame indices of the nodes that stand for no frame: the root (every
// stack) and "other" (the children of one parent too small to be shown,
// merged into one node without children).
inline constexpr std::int32_t flame_root_frame = -1;
inline constexpr std::int32_t flame_other_frame = -2;

struct flame_node {
  std::int32_t parent = flame_no_parent;
  std::int32_t frame = flame_root_frame;
  // The node's own values plus its children's.
  flame_values total{};

  friend bool operator==(const flame_node&, const flame_node&) = default;
};

// Call stacks merged from the outermost frame inwards: node 0 is the root,
// its children are the outermost frames, the deepest nodes the allocation
// sites. Nodes come in pre-order: a node's subtree follows it without a
// gap, its children ordered by frame (function, file, line, object) with
// "other" last, so the same stacks always give the same array.
struct flame_graph {
  std::vector<stack_frame> frames;  // what the nodes' frame indices name
  std::vector<flame_node> nodes;    // empty when no stack had a value

  friend bool operator==(const flame_graph&, const flame_graph&) = default;
};

// What tells two frames of the same function apart. By function (the
// usual flame graph) the lines are left out, so a caller is one node
// whichever line it calls from; by line every frame keeps its own.
enum class flame_granularity { function, line };

// How far build() prunes the tree.
struct flame_limits {
  // A node is kept when it holds at least this share of the root's value
  // in at least one measure; the others become their parent's "other".
  double min_share = 0.001;
  // Most nodes in the result, "other" nodes included (at least 2): while
  // the tree is larger, the share is doubled.
  std::size_t max_nodes = 20000;
};

// Merges stacks into a tree, then hands out the pruned tree. Adding costs
// one hash lookup per frame and copies a frame's names only the first time
// they are seen.
class flame_tree_builder {
 public:
  explicit flame_tree_builder(flame_granularity granularity = flame_granularity::function);

  // One stack, from the allocation site outwards (the order of a stack
  // text: outermost frame last), with its values. A stack without frames
  // adds to the root alone; one without any value is left out.
  void add(std::span<const stack_frame> stack, const flame_values& values);

  flame_graph build(const flame_limits& limits = {}) const;

 private:
  struct node {
    std::uint32_t parent;
    std::uint32_t frame;
    flame_values total;
  };
  // Children of every node, ordered as the graph shows them: node i's
  // are order[first[i]] .. order[first[i + 1] - 1].
  struct child_lists {
    std::vector<std::uint32_t> first;
    std::vector<std::uint32_t> order;
  };

  std::uint32_t child(std::uint32_t parent, std::uint32_t frame);
  child_lists ordered_children() const;
  flame_values thresholds(double share) const;
  bool kept(std::uint32_t n, const flame_values& threshold) const;
  std::size_t count(const child_lists& children, const flame_values& threshold) const;
  flame_graph emit(const child_lists& children, const flame_values& threshold) const;

  flame_granularity granularity_;
  frame_table frames_;
  std::vector<node> nodes_;
  // Child nodes by their parent and frame.
  hash_index children_;
};

}  // namespace kivdb::report
