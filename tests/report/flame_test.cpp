#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "report/flame_tree.h"
#include "report/renderers.h"

namespace kivdb::report {
namespace {

stack_frame at(std::string function, std::string file = "", std::uint32_t line = 0,
               std::string object = "prog") {
  return {std::move(function), std::move(file), line, std::move(object)};
}

struct stack_case {
  std::vector<stack_frame> frames;  // allocation site first
  flame_values values;
};

// Stacks of a small program: two threads of code under main and under
// start_thread, one allocation site reached from two lines of load_file.
std::vector<stack_case> program_stacks() {
  const auto main5 = at("main", "main.c", 5);
  const auto start = at("start_thread", "", 0, "libc.so.6");
  const auto worker = at("worker", "pool.c", 88);
  return {
      {{at("make_buffer", "buf.c", 12), at("load_file", "io.c", 40), main5}, {6000, 8000, 3}},
      {{at("strdup_name", "names.c", 7), at("parse_args", "args.c", 20), at("main", "main.c", 9)},
       {100, 200, 500}},
      {{at("cache_grow", "cache.c", 33), worker, start}, {3000, 12000, 40}},
      {{at("tmp_alloc", "tmp.c", 3), worker, start}, {0, 1000, 2000}},
      {{at("make_buffer", "buf.c", 12), at("load_file", "io.c", 41), main5}, {10, 0, 1}},
      {{}, {1, 1, 1}},
  };
}

flame_graph build(const std::vector<stack_case>& stacks, flame_limits limits,
                  flame_granularity granularity = flame_granularity::function) {
  flame_tree_builder builder(granularity);
  for (const auto& s : stacks) builder.add(s.frames, s.values);
  return builder.build(limits);
}

std::string node_name(const flame_graph& g, const flame_node& n) {
  if (n.frame == flame_root_frame) return "all";
  if (n.frame == flame_other_frame) return "other";
  const stack_frame& f = g.frames.at(n.frame);
  std::string name = f.function;
  if (!f.file.empty()) name += " (" + f.file + (f.line ? ":" + std::to_string(f.line) : "") + ")";
  return name + " [" + f.object + "]";
}

std::vector<std::size_t> depths(const flame_graph& g) {
  std::vector<std::size_t> depth(g.nodes.size(), 0);
  for (std::size_t i = 1; i < g.nodes.size(); ++i) depth[i] = depth.at(g.nodes[i].parent) + 1;
  return depth;
}

// The tree as indented text, one node a line: name and its three totals.
std::string render(const flame_graph& g) {
  std::ostringstream out;
  const auto depth = depths(g);
  for (std::size_t i = 0; i < g.nodes.size(); ++i) {
    const auto& v = g.nodes[i].total;
    out << std::string(2 * depth[i], ' ') << node_name(g, g.nodes[i]) << ' ' << v[0] << '/'
        << v[1] << '/' << v[2] << '\n';
  }
  return out.str();
}

// Node i's subtree must follow it without a gap: each node's parent is
// the node before it or one of that node's ancestors.
void expect_pre_order(const flame_graph& g) {
  ASSERT_FALSE(g.nodes.empty());
  EXPECT_EQ(g.nodes[0].parent, flame_no_parent);
  EXPECT_EQ(g.nodes[0].frame, flame_root_frame);
  std::vector<std::int32_t> path{0};
  for (std::size_t i = 1; i < g.nodes.size(); ++i) {
    while (!path.empty() && path.back() != g.nodes[i].parent) path.pop_back();
    ASSERT_FALSE(path.empty()) << "node " << i << " is not inside its parent's subtree";
    EXPECT_NE(g.nodes[i].frame, flame_root_frame);
    path.push_back(static_cast<std::int32_t>(i));
  }
}

TEST(FlameTree, MergesFromTheOutermostFrameWithChildrenInNameOrder) {
  const flame_graph g = build(program_stacks(), {.min_share = 0});
  EXPECT_EQ(render(g),
            "all 9111/21201/2545\n"
            "  main (main.c) [prog] 6110/8200/504\n"
            "    load_file (io.c) [prog] 6010/8000/4\n"
            "      make_buffer (buf.c) [prog] 6010/8000/4\n"
            "    parse_args (args.c) [prog] 100/200/500\n"
            "      strdup_name (names.c) [prog] 100/200/500\n"
            "  start_thread [libc.so.6] 3000/13000/2040\n"
            "    worker (pool.c) [prog] 3000/13000/2040\n"
            "      cache_grow (cache.c) [prog] 3000/12000/40\n"
            "      tmp_alloc (tmp.c) [prog] 0/1000/2000\n");
  expect_pre_order(g);
  // Frames are listed once each, in the order the nodes first use them.
  ASSERT_EQ(g.frames.size(), 9u);
  EXPECT_EQ(g.frames[0].function, "main");
  EXPECT_EQ(g.frames[8].function, "tmp_alloc");
}

TEST(FlameTree, LineGranularityKeepsEachCallSite) {
  const flame_graph g = build(program_stacks(), {.min_share = 0}, flame_granularity::line);
  EXPECT_EQ(render(g),
            "all 9111/21201/2545\n"
            "  main (main.c:5) [prog] 6010/8000/4\n"
            "    load_file (io.c:40) [prog] 6000/8000/3\n"
            "      make_buffer (buf.c:12) [prog] 6000/8000/3\n"
            "    load_file (io.c:41) [prog] 10/0/1\n"
            "      make_buffer (buf.c:12) [prog] 10/0/1\n"
            "  main (main.c:9) [prog] 100/200/500\n"
            "    parse_args (args.c:20) [prog] 100/200/500\n"
            "      strdup_name (names.c:7) [prog] 100/200/500\n"
            "  start_thread [libc.so.6] 3000/13000/2040\n"
            "    worker (pool.c:88) [prog] 3000/13000/2040\n"
            "      cache_grow (cache.c:33) [prog] 3000/12000/40\n"
            "      tmp_alloc (tmp.c:3) [prog] 0/1000/2000\n");
}

// Siblings sort by function, then file, line and object, whatever order
// the stacks came in: the same run always gives the same page.
TEST(FlameTree, AnyOrderOfTheStacksGivesTheSameArray) {
  auto stacks = program_stacks();
  stacks.push_back({{at("main", "b.c", 1)}, {1, 0, 0}});
  stacks.push_back({{at("main", "a.c", 2, "zlib")}, {0, 1, 0}});
  stacks.push_back({{at("main", "a.c", 2, "libz")}, {0, 0, 1}});
  const flame_graph first = build(stacks, {.min_share = 0});
  std::vector<std::size_t> order(stacks.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = order.size() - 1 - i;
  for (int round = 0; round < 50; ++round) {
    std::vector<stack_case> shuffled;
    for (std::size_t i : order) shuffled.push_back(stacks[i]);
    EXPECT_EQ(build(shuffled, {.min_share = 0}), first);
    std::next_permutation(order.begin(), order.end());
  }
  const std::string text = render(first);
  EXPECT_LT(text.find("main (a.c) [libz]"), text.find("main (a.c) [zlib]"));
  EXPECT_LT(text.find("main (a.c) [zlib]"), text.find("main (b.c) [prog]"));
  EXPECT_LT(text.find("main (b.c) [prog]"), text.find("main (main.c) [prog]"));
}

TEST(FlameTree, SmallChildrenMergeIntoOneOtherPerParent) {
  auto stacks = program_stacks();
  const auto main = at("main", "main.c", 30);
  const auto start = at("start_thread", "", 0, "libc.so.6");
  stacks.push_back({{at("log_line", "log.c", 5), main}, {50, 100, 20}});
  stacks.push_back({{at("fmt", "log.c", 9), main}, {1, 2, 3}});
  // Small in bytes, but many allocations: kept for that one measure.
  stacks.push_back({{at("small_many", "x.c", 1), start}, {10, 20, 300}});
  stacks.push_back({{at("tiny", "t.c", 1), at("worker", "pool.c", 88), start}, {1, 1, 1}});
  // 1% of 9173 bytes alive, 21324 at the peak and 2869 allocations: 92, 214 and 29.
  const flame_graph g = build(stacks, {.min_share = 0.01});
  EXPECT_EQ(render(g),
            "all 9173/21324/2869\n"
            "  main (main.c) [prog] 6161/8302/527\n"
            "    load_file (io.c) [prog] 6010/8000/4\n"
            "      make_buffer (buf.c) [prog] 6010/8000/4\n"
            "    parse_args (args.c) [prog] 100/200/500\n"
            "      strdup_name (names.c) [prog] 100/200/500\n"
            "    other 51/102/23\n"
            "  start_thread [libc.so.6] 3011/13021/2341\n"
            "    small_many (x.c) [prog] 10/20/300\n"
            "    worker (pool.c) [prog] 3001/13001/2041\n"
            "      cache_grow (cache.c) [prog] 3000/12000/40\n"
            "      tmp_alloc (tmp.c) [prog] 0/1000/2000\n"
            "      other 1/1/1\n");
  expect_pre_order(g);
}

TEST(FlameTree, NodeLimitRaisesTheShareUntilTheTreeFits) {
  std::vector<stack_case> stacks{{{at("big"), at("main")}, {10000, 10000, 10000}}};
  for (int i = 0; i < 1000; ++i) stacks.push_back({{at("leaf" + std::to_string(i)), at("main")}, {1, 1, 1}});
  EXPECT_EQ(build(stacks, {.min_share = 0}).nodes.size(), 1003u);
  EXPECT_EQ(render(build(stacks, {.min_share = 0, .max_nodes = 50})),
            "all 11000/11000/11000\n"
            "  main [prog] 11000/11000/11000\n"
            "    big [prog] 10000/10000/10000\n"
            "    other 1000/1000/1000\n");
  // Below two nodes nothing can be named: everything is "other".
  EXPECT_EQ(render(build(stacks, {.min_share = 0.5, .max_nodes = 0})),
            "all 11000/11000/11000\n"
            "  other 11000/11000/11000\n");
  // A share beyond the whole, or one that is no number, names nothing either.
  EXPECT_EQ(build(stacks, {.min_share = 2}).nodes.size(), 2u);
  EXPECT_EQ(build(stacks, {.min_share = std::numeric_limits<double>::quiet_NaN()}).nodes.size(), 2u);
}

TEST(FlameTree, NothingToDrawGivesNoNodes) {
  EXPECT_TRUE(build({}, {}).nodes.empty());
  EXPECT_TRUE(build({{{at("main")}, {0, 0, 0}}}, {}).nodes.empty());
  // A stack without frames counts at the root only.
  EXPECT_EQ(render(build({{{}, {5, 6, 7}}}, {})), "all 5/6/7\n");
}

// Generated stacks checked against a brute-force count of every path:
// a kept node's totals are its path's, its own value is what stacks ending
// there added, and "other" holds exactly the children left out.
class FlameTreeSums : public ::testing::Test {
 protected:
  using path = std::vector<std::string>;  // function names, outermost first

  void SetUp() override {
    std::uint64_t seed = 12345;
    const auto next = [&seed](std::uint64_t range) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      return (seed >> 33) % range;
    };
    const std::vector<std::string> names{"a", "b", "c", "d", "e", "f", "g", "h"};
    for (int s = 0; s < 500; ++s) {
      stack_case c;
      const std::size_t depth = 1 + next(6);
      for (std::size_t d = 0; d < depth; ++d) {
        const std::string& name = names[next(names.size())];
        c.frames.push_back(at(name, name + ".c", static_cast<std::uint32_t>(next(3) + 1)));
      }
      c.values = {next(5000), next(2) * next(9000), 1 + next(40)};
      stacks_.push_back(c);
      path p;
      for (auto f = c.frames.rbegin(); f != c.frames.rend(); ++f) {
        p.push_back(f->function);
        add(total_[p], c.values);
      }
      add(own_[p], c.values);
      add(all_, c.values);
    }
  }

  static void add(flame_values& into, const flame_values& v) {
    for (std::size_t m = 0; m < flame_measure_count; ++m) into[m] += v[m];
  }

  // Each node's path; "other" nodes get the path of their parent.
  static std::vector<path> paths(const flame_graph& g) {
    std::vector<path> out(g.nodes.size());
    for (std::size_t i = 1; i < g.nodes.size(); ++i) {
      out[i] = out[g.nodes[i].parent];
      if (g.nodes[i].frame >= 0) out[i].push_back(g.frames[g.nodes[i].frame].function);
    }
    return out;
  }

  static std::vector<flame_values> children_sums(const flame_graph& g) {
    std::vector<flame_values> sums(g.nodes.size(), flame_values{});
    for (std::size_t i = 1; i < g.nodes.size(); ++i) add(sums[g.nodes[i].parent], g.nodes[i].total);
    return sums;
  }

  std::vector<stack_case> stacks_;
  std::map<path, flame_values> total_;
  std::map<path, flame_values> own_;
  flame_values all_{};
};

TEST_F(FlameTreeSums, EveryNodeHoldsItsOwnValuePlusItsChildren) {
  const flame_graph g = build(stacks_, {.min_share = 0});
  expect_pre_order(g);
  EXPECT_EQ(g.nodes.size(), total_.size() + 1);
  EXPECT_EQ(g.nodes[0].total, all_);
  const auto node_paths = paths(g);
  const auto sums = children_sums(g);
  for (std::size_t i = 1; i < g.nodes.size(); ++i) {
    ASSERT_GE(g.nodes[i].frame, 0);
    const path& p = node_paths[i];
    EXPECT_EQ(g.nodes[i].total, total_.at(p));
    flame_values expected = own_.count(p) ? own_.at(p) : flame_values{};
    add(expected, sums[i]);
    EXPECT_EQ(g.nodes[i].total, expected) << "node " << i;
  }
}

TEST_F(FlameTreeSums, PruningKeepsEveryValue) {
  const double share = 0.02;
  const flame_graph g = build(stacks_, {.min_share = share});
  expect_pre_order(g);
  ASSERT_LT(g.nodes.size(), total_.size() / 2);
  EXPECT_EQ(g.nodes[0].total, all_);
  const auto node_paths = paths(g);
  const auto sums = children_sums(g);
  for (std::size_t i = 1; i < g.nodes.size(); ++i) {
    const flame_node& n = g.nodes[i];
    for (std::size_t m = 0; m < flame_measure_count; ++m) EXPECT_GE(n.total[m], sums[i][m]);
    if (n.frame >= 0) {
      EXPECT_EQ(n.total, total_.at(node_paths[i]));
      bool large = false;
      for (std::size_t m = 0; m < flame_measure_count; ++m)
        large = large || static_cast<double>(n.total[m]) >= share * static_cast<double>(all_[m]);
      EXPECT_TRUE(large) << "node " << i << " is below the share in every measure";
      continue;
    }
    // "other": no children, last of its parent's, and the sum of the paths
    // one frame below its parent that no kept node stands for.
    EXPECT_TRUE(i + 1 == g.nodes.size() || g.nodes[i + 1].parent < n.parent);
    flame_values left_out{};
    const path& parent = node_paths[i];
    for (const auto& [p, v] : total_)
      if (p.size() == parent.size() + 1 && std::equal(parent.begin(), parent.end(), p.begin()))
        add(left_out, v);
    for (std::size_t s = 1; s < g.nodes.size(); ++s)
      if (g.nodes[s].parent == n.parent && g.nodes[s].frame >= 0)
        for (std::size_t m = 0; m < flame_measure_count; ++m) left_out[m] -= g.nodes[s].total[m];
    EXPECT_EQ(n.total, left_out) << "node " << i;
  }
}

TEST(FrameTable, EachFrameOnceByEveryField) {
  frame_table table;
  const auto f = at("main", "main.c", 5);
  EXPECT_EQ(table.intern(f), 0u);
  EXPECT_EQ(table.intern(at("main", "main.c", 6)), 1u);
  EXPECT_EQ(table.intern(at("main", "main.h", 5)), 2u);
  EXPECT_EQ(table.intern(at("main", "main.c", 5, "lib")), 3u);
  EXPECT_EQ(table.intern(at("mainx", "main.c", 5)), 4u);
  EXPECT_EQ(table.intern(f), 0u);
  EXPECT_EQ(table.intern(f, 6), 1u);  // the line given replaces the frame's
  // Past the index's first doublings every frame is still found.
  for (std::uint32_t line = 100; line < 1100; ++line) EXPECT_EQ(table.intern(f, line), line - 95);
  for (std::uint32_t line = 100; line < 1100; ++line) EXPECT_EQ(table.intern(f, line), line - 95);
  EXPECT_EQ(table.intern(at("main", "main.h", 5)), 2u);
  EXPECT_EQ(table.size(), 1005u);
  EXPECT_EQ(table[3].object, "lib");
}

// The page's data: the graph's nodes as five numbers each and the lists'
// stacks as indices into one table of frames that both share.
TEST(FlamePage, GraphAndListStacksShareOneFrameTable) {
  report_data d;
  d.summary.run_id = "1";
  flame_tree_builder builder;
  builder.add(std::vector{at("leak", "a.c", 3), at("main", "m.c", 7)}, {10, 20, 1});
  d.flame = builder.build();
  top_list list{"leaks_by_location", "Leaks", {"name"}, {"bytes"}, {}};
  std::vector<std::uint32_t> stack;
  for (const stack_frame& f : {at("leak", "a.c", 3), at("main", "m.c", 7), at("<start>", "", 0, "libc.so.6")})
    stack.push_back(d.frames.intern(f));
  list.rows.push_back({{"leak"}, {10}, stack});
  list.rows.push_back({{"plain"}, {5}});
  d.lists = {list};
  std::ostringstream out;
  write_html(out, d, 10);
  const std::string page = out.str();
  EXPECT_NE(page.find(R"("rows":[[["leak"],[10],[2,3,4]],[["plain"],[5]]])"), std::string::npos);
  EXPECT_NE(page.find(R"("flame":[-1,-1,10,20,1,0,0,10,20,1,1,1,10,20,1])"), std::string::npos);
  EXPECT_NE(page.find(R"("frames":[["main","m.c",0,"prog"],["leak","a.c",0,"prog"],)"
                      R"(["leak","a.c",3,"prog"],["main","m.c",7,"prog"],["\u003cstart>","",0,"libc.so.6"]]})"),
            std::string::npos)
      << page.substr(page.find("\"frames\""), 300);
  // A run without stacks carries an empty graph.
  d = report_data{};
  std::ostringstream plain;
  write_html(plain, d, 10);
  EXPECT_NE(plain.str().find(R"("flame":[],"frames":[]})"), std::string::npos);
}

}  // namespace
}  // namespace kivdb::report
