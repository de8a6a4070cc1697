#include "output/row_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "output/out_stream.h"
#include "output/output_test_support.h"

namespace {

using kiv_test::read_file;

class RowWriterTest : public kiv_test::TempDirTest {};

// One row of every kind of field: numbers of every width and sign, texts of
// growing length, single characters.
template <typename W>
void write_row(W& w, std::uint64_t i) {
  const std::string text(i % 131, static_cast<char>('a' + i % 26));
  w << static_cast<std::int64_t>(i * 7919) << ';' << -static_cast<std::int64_t>(i) << ';'
    << std::numeric_limits<std::uint64_t>::max() - i << ';' << static_cast<int>(i % 100) << ';' << text << ';'
    << "lit" << ';' << std::numeric_limits<std::int64_t>::min() << '\n';
}

// Rows through the row writer give the bytes the stream's own operators
// give, across every growth of the buffer and many flushes, with rows of a
// single writer and rows of one writer each.
TEST_F(RowWriterTest, WritesTheSameBytesAsTheStreamAcrossGrowthAndFlushes) {
  const auto plain = dir_ / "plain.csv";
  const auto per_row = dir_ / "per_row.csv";
  const auto one_writer = dir_ / "one_writer.csv";
  constexpr std::uint64_t rows = 40000;
  {
    out_stream a, b, c;
    ASSERT_TRUE(a.open(plain.string(), true));
    ASSERT_TRUE(b.open(per_row.string(), true));
    ASSERT_TRUE(c.open(one_writer.string(), true));
    row_writer all(c, ';');
    for (std::uint64_t i = 0; i < rows; ++i) {
      write_row(a, i);
      row_writer w(b, ';', 64);
      write_row(w, i);
      write_row(all, i);
    }
  }
  const std::string expected = read_file(plain);
  ASSERT_GT(expected.size(), 3 * out_stream::buffer_size);
  EXPECT_EQ(read_file(per_row), expected);
  EXPECT_EQ(read_file(one_writer), expected);
}

// fields() and text_field() put the separator after every field: the same
// bytes as the stream's operators with the separator written out, for
// every width and sign, across refills of the buffer.
TEST_F(RowWriterTest, FieldRunsEndEachFieldWithTheSeparator) {
  const auto plain = dir_ / "plain.csv";
  const auto runs = dir_ / "runs.csv";
  {
    out_stream a, b;
    ASSERT_TRUE(a.open(plain.string(), true));
    ASSERT_TRUE(b.open(runs.string(), true));
    row_writer w(b, '|');
    for (std::uint64_t i = 0; a.tellp() < 2 * out_stream::buffer_size; ++i) {
      const auto big = std::numeric_limits<std::uint64_t>::max() - i;
      const auto low = std::numeric_limits<std::int64_t>::min() + static_cast<std::int64_t>(i);
      const std::string text(i % 37, 't');
      const std::int64_t run[] = {low, -1, 0, static_cast<std::int64_t>(i)};
      a << big << '|' << low << '|' << static_cast<short>(-i) << '|' << text << '|' << i << '|';
      for (const std::int64_t v : run) a << v << '|';
      a << '\n';
      w.fields(big, low, static_cast<short>(-i)).text_field(text).fields(i);
      w.fields(std::span<const std::int64_t>(run)) << '\n';
    }
  }
  EXPECT_EQ(read_file(runs), read_file(plain));
}

// A text longer than the whole buffer still goes out in one piece, between
// the fields around it, as a plain text and as a text field, and the
// stream's position counts every byte.
TEST_F(RowWriterTest, TextLongerThanTheBufferIsWrittenWhole) {
  const auto path = dir_ / "long.csv";
  const std::string text(2 * out_stream::buffer_size + 3, 'x');
  std::uint64_t position = 0;
  {
    out_stream os;
    ASSERT_TRUE(os.open(path.string(), true));
    os << "before;";
    {
      row_writer w(os, ';');
      w << 1 << ';' << text << ';' << 2 << '\n';
      w.text_field(text) << 3 << '\n';
    }
    os << "after\n";
    position = os.tellp();
  }
  const std::string expected = "before;1;" + text + ";2\n" + text + ";3\nafter\n";
  EXPECT_EQ(position, expected.size());
  EXPECT_EQ(read_file(path), expected);
}

TEST_F(RowWriterTest, StreamThatCouldNotBeOpenedSwallowsRows) {
  out_stream os;
  ASSERT_FALSE(os.open((dir_ / "missing" / "x.csv").string(), true));
  for (int i = 0; i < 100000; ++i) {
    row_writer w(os, ';');
    w << i << ';' << std::string(100, 'y') << '\n';
  }
  EXPECT_FALSE(os.good());
}

}  // namespace
