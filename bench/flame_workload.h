#pragma once

// Stacks shaped like a real program's for the flame graph's benchmarks: a
// few outer levels shared by everything, branching below, C++-sized
// function names and a handful of objects. The same seed gives the same
// stacks.
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "report/flame_tree.h"

namespace kivbench {

struct flame_workload {
  std::vector<std::vector<kivdb::report::stack_frame>> stacks;  // allocation site first
  std::vector<kivdb::report::flame_values> values;
  std::size_t frames = 0;
};

inline flame_workload make_flame_workload(std::size_t stack_count) {
  constexpr std::uint64_t min_depth = 8;
  constexpr std::uint64_t extra_depth = 40;
  constexpr std::uint64_t shared_levels = 4;  // levels with two choices only
  constexpr std::uint64_t branching = 6;
  constexpr std::uint64_t functions = 5000;
  constexpr std::uint64_t files = 300;
  constexpr std::uint64_t lines = 900;
  const char* const objects[] = {"prog", "libc.so.6", "libstdc++.so.6", "libpython3.11.so.1.0", "libz.so.1"};
  constexpr std::uint64_t object_count = std::size(objects);

  flame_workload out;
  std::uint64_t seed = 1;
  const auto next = [&seed](std::uint64_t range) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return (seed >> 33) % range;
  };
  for (std::size_t s = 0; s < stack_count; ++s) {
    std::vector<kivdb::report::stack_frame> stack;
    const std::uint64_t depth = min_depth + next(extra_depth);
    std::uint64_t path = 0;
    for (std::uint64_t level = 0; level < depth; ++level) {
      path = path * 7 + next(level < shared_levels ? 2 : branching);
      const std::uint64_t f = path % functions;
      stack.push_back({"ns::function_" + std::to_string(f) + "<std::vector<int, std::allocator<int>>>",
                       "src/module" + std::to_string(f % files) + ".cpp",
                       static_cast<std::uint32_t>(path % lines + 1), objects[f % object_count]});
    }
    out.frames += stack.size();
    out.stacks.emplace_back(stack.rbegin(), stack.rend());
    out.values.push_back({next(100000), next(300000), 1 + next(100)});
  }
  return out;
}

}  // namespace kivbench
