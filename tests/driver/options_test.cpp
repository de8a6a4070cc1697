#include "driver/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using action = kiv_options::action;

kiv_options parse(std::vector<const char*> words) {
  words.insert(words.begin(), "kiv");
  return parse_options(static_cast<int>(words.size()), words.data());
}

TEST(Options, MaxSizeUnitsAndMargin) {
  EXPECT_EQ(parse({"-M", "512M"}).max_size, 536868864);
  EXPECT_EQ(parse({"-M", "1G"}).max_size, 1073739776);
  EXPECT_EQ(parse({"-M", "100"}).max_size, -1948);
  EXPECT_EQ(parse({"-M", "64K"}).max_size, 65536 - 2048);
  EXPECT_EQ(parse({"-d"}).max_size, 1073741824);
  // Sizes of 2G and more are computed in 64 bits.
  EXPECT_EQ(parse({"-M", "4G"}).max_size, 4294967296 - 2048);
  // The unit letter counts wherever it stands; G beats M beats K.
  EXPECT_EQ(parse({"-M", "1KMG"}).max_size, 1073739776);
  EXPECT_EQ(parse({"-M", "abcM"}).max_size, -2048);
  EXPECT_EQ(parse({"-M", "-1K"}).max_size, -1024 - 2048);
  EXPECT_EQ(parse({"-M", "99999999999999999999G"}).max_size, INT64_MAX);
  EXPECT_EQ(parse({"-M", "-99999999999999999999G"}).max_size, INT64_MIN);
}

TEST(Options, ValuedOptionsAsLastWordKeepTheirValue) {
  const kiv_options o = parse({"-R", "dir", "-H", "h.kivhdr", "-T", "text", "-M", "1K", "-R"});
  EXPECT_EQ(o.what, action::run);
  EXPECT_EQ(o.trace_dir, "dir");
  EXPECT_EQ(o.header_file, "h.kivhdr");
  EXPECT_EQ(o.description, "text");
  EXPECT_EQ(parse({"-M", "1K", "-M"}).max_size, 1024 - 2048);
  EXPECT_FALSE(parse({"-H"}).header_file);
  EXPECT_FALSE(parse({"-T"}).description);
  EXPECT_EQ(parse({"-sd", "x", "-sd"}).data_sep, 'x');
  EXPECT_EQ(parse({"-sf"}).fun_sep, ';');
}

TEST(Options, SeparatorsTakeTheFirstCharacter) {
  const kiv_options o = parse({"-sd", ",x", "-sf", "@"});
  EXPECT_EQ(o.data_sep, ',');
  EXPECT_EQ(o.fun_sep, '@');
  EXPECT_EQ(parse({"-sd", ""}).data_sep, ';');
  // -sx and a bare -s take one word: the next word is read as an option.
  const kiv_options skipped = parse({"-sx", "-D", "-s", "-sdd", "|"});
  EXPECT_EQ(skipped.what, action::run);
  EXPECT_EQ(skipped.debug_level, 2);
  EXPECT_EQ(skipped.data_sep, '|');
  EXPECT_EQ(parse({"-sx", "word"}).what, action::usage_and_version);
}

TEST(Options, OnlyTheLetterAfterTheDashCounts) {
  const kiv_options o = parse({"-Rdirectory", "d1", "-Hx", "h", "-debug", "-Tt", "t", "-Rx", "d2"});
  EXPECT_EQ(o.trace_dir, "d2");
  EXPECT_EQ(o.header_file, "h");
  EXPECT_EQ(o.description, "t");
  EXPECT_EQ(o.debug_level, 1);
  EXPECT_EQ(parse({"-D", "-d"}).debug_level, 1);
}

TEST(Options, OutcomesThatEndParsing) {
  EXPECT_EQ(parse({}).what, action::start_only);
  EXPECT_EQ(parse({"-x"}).what, action::usage);
  EXPECT_EQ(parse({"-a"}).what, action::usage);
  EXPECT_EQ(parse({"-"}).what, action::usage);
  EXPECT_EQ(parse({"dir"}).what, action::usage_and_version);
  EXPECT_EQ(parse({"-d", "dir"}).what, action::usage_and_version);
  EXPECT_EQ(parse({"-R", "dir", "-v", "-x"}).what, action::version);
  EXPECT_EQ(parse({"-V"}).what, action::version);
  EXPECT_EQ(parse({"-d", "-E"}).what, action::no_error_file);
  EXPECT_EQ(parse({"-E", "err.txt", "-d"}).what, action::run);
  // Parsing stops at the first decisive word.
  EXPECT_EQ(parse({"-x", "-E"}).what, action::usage);
  EXPECT_EQ(parse({"-v", "-E"}).what, action::version);
}

}  // namespace
