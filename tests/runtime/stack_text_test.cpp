#include "runtime/stack_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kivstack::format_stack;
using kivstack::frame;
using kivstack::parse_stack;

TEST(StackText, ReadsAsADebuggerShowsTheStack) {
  const std::vector<frame> frames = {{"dup_name", "/src/leaky.c", 6, "leaky"},
                                     {"main", "/src/leaky.c", 10, "leaky"},
                                     {"sqlite3Malloc", "", 0, "libsqlite3.so.0"},
                                     kivstack::unnamed_frame("libc.so.6", 0x271ca)};
  EXPECT_EQ(format_stack(frames),
            "dup_name (/src/leaky.c:6) [leaky] < main (/src/leaky.c:10) [leaky] < "
            "sqlite3Malloc [libsqlite3.so.0] < libc.so.6+0x271ca");
  EXPECT_EQ(format_stack({}), "");
}

// Whatever the names hold, the parser gives back exactly the frames.
TEST(StackText, RoundTripKeepsEveryFrameExactly) {
  const std::vector<std::vector<frame>> stacks = {
      {{"bool operator< <int>(Box<int> const&, Box<int> const&)", "/src/box.h", 12, "app"},
       {"operator<", "/src/a < b.cpp", 3, "app"},
       {"x < y", "", 0, "lib < odd.so"}},
      {{"std::vector<std::pair<int, int>, std::allocator<std::pair<int, int> > >::_M_realloc_insert", "", 0,
        "libstdc++.so.6"},
       {"(anonymous namespace)::run(void (*)(int), int)", "/home/u/my dir (copy)/run.cc", 40, "run [1]"},
       {"call [x] (y)", "/tmp/a;b;c.c", 7, "o"}},
      {{"percent%literal", "/tmp/%41.c", 1, "obj;x"},
       {"line\nbreak\tand\x7f", "file\rname", 9, "o\x01"},
       {"ends with blank ", "/a/b.c:12", 2, "o"},
       {"< starts", "", 0, "o"}},
      {kivstack::unnamed_frame("libfoo.so", 0x1234), kivstack::unnamed_frame("odd [x].so", 0),
       kivstack::unnamed_frame("", 0xffffffffffffffffULL), {"libbar.so+0x10", "/b.c", 4, "libbar.so"}},
  };
  for (const auto& frames : stacks) {
    const std::string text = format_stack(frames);
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    EXPECT_EQ(text.find(';'), std::string::npos) << text;
    const auto parsed = parse_stack(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ(*parsed, frames) << text;
  }
}

TEST(StackText, LongStacksAndNamesAreCutDeterministically) {
  std::vector<frame> frames;
  for (int depth = 0; depth < 2000; ++depth)
    frames.push_back({"function_" + std::to_string(depth), "/src/deep.c", 100u + depth, "deep"});
  const std::string text = format_stack(frames);
  EXPECT_LE(text.size(), kivstack::max_text_bytes);
  const auto parsed = parse_stack(text);
  ASSERT_TRUE(parsed.has_value());
  ASSERT_GT(parsed->size(), 100u);
  ASSERT_LT(parsed->size(), frames.size());
  // The frames kept are those nearest the allocation, in order.
  for (std::size_t i = 0; i < parsed->size(); ++i) EXPECT_EQ((*parsed)[i], frames[i]);
  EXPECT_EQ(format_stack(frames, 40), "function_0 (/src/deep.c:100) [deep]");

  const frame huge{std::string(5000, 'f'), std::string(5000, 'p'), 1, std::string(5000, 'o')};
  const auto cut = parse_stack(format_stack(std::vector<frame>{huge}));
  ASSERT_TRUE(cut.has_value());
  ASSERT_EQ(cut->size(), 1u);
  EXPECT_EQ((*cut)[0].function, std::string(kivstack::max_name_bytes, 'f'));
  EXPECT_EQ((*cut)[0].file, std::string(kivstack::max_name_bytes, 'p'));
  EXPECT_EQ((*cut)[0].object, std::string(kivstack::max_name_bytes, 'o'));
}

TEST(StackText, TextsThatAreNoStackAreRejected) {
  for (const char* text : {"main [app", "main", "f (a.c) [o]", "f (a.c:0) [o]", "f (a.c:x) [o]", "f [o] < ",
                           " < f [o]", "%4", "%zz [o]", "lib+0xg", " [o]", "f (a.c:99999999999) [o]"})
    EXPECT_FALSE(parse_stack(text).has_value()) << text;
  const auto empty = parse_stack("");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
}

}  // namespace
