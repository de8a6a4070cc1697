// The layering of the source folders: every include runs from a folder to
// itself or to a folder its row in README.md's Layout section names, and
// every top-level folder has a row. tools/include_graph is the one judge of
// that; these tests run it on the tree and on small trees made to break it.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

const std::string include_graph = std::string(KIV_SOURCE_DIR) + "/tools/include_graph";

kivtest::program_result include_graph_on(const fs::path& root, bool check) {
  kivtest::program_run run;
  if (check) run.args.push_back("--check");
  run.args.insert(run.args.end(), {"--root", root.string()});
  return kivtest::run_program(include_graph, run);
}

TEST(Layout, EveryIncludeOfTheTreePointsDownAndEveryFolderHasItsRow) {
  const auto r = include_graph_on(KIV_SOURCE_DIR, true);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "") << "includes against the layering, or folders without a row";
}

// A small tree with two layers: top/ may include low/, low/ nothing.
class LayoutOfAScratchTree : public ::testing::Test {
 protected:
  kivtest::scratch_dir tree_{"kiv_layout"};

  void SetUp() override {
    write("README.md",
          "# t\n\n## Layout\n\n| Folder | Holds | May include |\n|---|---|---|\n"
          "| `tests/` | suites | any |\n"
          "| `top/` | the program; `low/` below it | `low/` |\n"
          "| `low/` | the base | none, not any other |\n\n"
          "## After\n\n| `extra/` | a row outside the section | `top/` |\n");
    write("top/main.cpp", "#include \"low/base.h\"\n#include \"top/main.h\"\n");
    write("top/main.h", "#pragma once\n");
    write("low/base.h", "#pragma once\n#include \"base_detail.h\"\n");
    write("low/base_detail.h", "#pragma once\n");
    // Found in tests/ as the tests' own include folder: not an include of
    // another folder.
    write("tests/low/base_test.cpp", "#include \"support/help.h\"\n#include \"low/base.h\"\n");
    write("tests/support/help.h", "#pragma once\n");
  }

  void write(const std::string& name, const std::string& text) {
    fs::create_directories((tree_.path() / name).parent_path());
    kivtest::write_file(tree_.path() / name, text);
  }
};

TEST_F(LayoutOfAScratchTree, CountsTheIncludesBetweenFolders) {
  const auto r = include_graph_on(tree_.path(), false);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "tests      -> low            1\n"
            "top        -> low            1\n");
}

TEST_F(LayoutOfAScratchTree, AcceptsIncludesThatPointDown) {
  const auto r = include_graph_on(tree_.path(), true);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(LayoutOfAScratchTree, NamesEveryIncludeThatPointsUpAndEveryFolderWithoutARow) {
  write("low/base.cpp", "#include \"low/base.h\"\n\n  #  include \"top/main.h\"\n");
  write("extra/more.cpp", "#include \"top/main.h\"\n");
  const auto r = include_graph_on(tree_.path(), true);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "extra/ has no row in README.md's Layout section\n"
            "extra/more.cpp:1: extra/ may not include top/main.h (a header of top/)\n"
            "low/base.cpp:3: low/ may not include top/main.h (a header of top/)\n");
}

}  // namespace
