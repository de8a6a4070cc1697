#include "output/out_stream.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class OutStreamTest : public ::testing::Test {
 protected:
  std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                               ("kiv_out_stream_" + std::to_string(::getpid()));
  void SetUp() override { std::filesystem::create_directories(dir_); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
};

TEST_F(OutStreamTest, WritesIntegersOfEveryWidthAsPlainDecimal) {
  const auto path = dir_ / "ints.csv";
  {
    out_stream os;
    ASSERT_TRUE(os.open(path.string(), true));
    os << std::numeric_limits<long long>::min() << ';' << std::numeric_limits<unsigned long long>::max()
       << ';' << -1 << ';' << 0u << ';' << std::string("abc") << ';' << "def" << '\n';
  }
  EXPECT_EQ(read_file(path), "-9223372036854775808;18446744073709551615;-1;0;abc;def\n");
}

// The writer's own formatting against the standard library's, for every
// digit count and sign of each integer width the tables use: the powers of
// ten and their neighbours, the limits, and random values.
template <typename T>
void expect_same_text_as_to_chars(const std::filesystem::path& path, std::vector<T> values, std::mt19937_64& rng) {
  for (int i = 0; i < 20000; ++i) values.push_back(static_cast<T>(rng() >> (rng() % 64)));
  for (int i = 0; i < 2000; ++i) values.push_back(static_cast<T>(rng()));
  std::string expected;
  {
    out_stream os;
    ASSERT_TRUE(os.open(path.string(), true));
    for (T v : values) {
      char text[32];
      expected.append(text, std::to_chars(text, text + sizeof text, v).ptr);
      expected += ';';
      os << v << ';';
    }
  }
  EXPECT_EQ(read_file(path), expected);
}

template <typename T>
std::vector<T> boundary_values() {
  std::vector<T> values{std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), T{0}, T{1}};
  for (unsigned long long p = 1; p <= static_cast<unsigned long long>(std::numeric_limits<T>::max()) / 10; p *= 10) {
    for (unsigned long long q : {p * 10 - 1, p * 10, p * 10 + 1, p * 10 * 4}) {
      values.push_back(static_cast<T>(q));
      if constexpr (std::is_signed_v<T>) values.push_back(static_cast<T>(-static_cast<long long>(q)));
    }
  }
  for (unsigned long long q : {0xFFFFFFFFull, 0x100000000ull, 99999999ull, 100000000ull, 4294967296000ull})
    values.push_back(static_cast<T>(q));
  return values;
}

TEST_F(OutStreamTest, FormatsEveryDigitCountLikeTheStandardLibrary) {
  std::mt19937_64 rng(20260);
  const auto path = dir_ / "numbers.csv";
  expect_same_text_as_to_chars(path, boundary_values<long long>(), rng);
  expect_same_text_as_to_chars(path, boundary_values<unsigned long long>(), rng);
  expect_same_text_as_to_chars(path, boundary_values<int>(), rng);
  expect_same_text_as_to_chars(path, boundary_values<unsigned>(), rng);
  expect_same_text_as_to_chars(path, boundary_values<short>(), rng);
}

TEST_F(OutStreamTest, PositionCountsBufferedBytesAndAppendStartsAtFileLength) {
  const auto path = dir_ / "pos.csv";
  {
    out_stream os;
    ASSERT_TRUE(os.open(path.string(), true));
    os << "12345";
    EXPECT_EQ(os.tellp(), 5u);
  }
  out_stream os;
  ASSERT_TRUE(os.open(path.string(), false));
  EXPECT_EQ(os.tellp(), 5u);
  os << "678";
  EXPECT_EQ(os.tellp(), 8u);
  os.close();
  EXPECT_EQ(read_file(path), "12345678");
}

TEST_F(OutStreamTest, LargeWritesCrossTheBufferWithoutLoss) {
  const auto path = dir_ / "big.csv";
  std::string chunk(out_stream::buffer_size + 17, 'x');
  {
    out_stream os;
    ASSERT_TRUE(os.open(path.string(), true));
    os << 'a' << chunk;
    for (int i = 0; i < 100000; ++i) os << i << '\n';
  }
  const std::string text = read_file(path);
  ASSERT_EQ(text.substr(0, 1 + chunk.size()), "a" + chunk);
  EXPECT_EQ(text.substr(text.size() - 6), "99999\n");
}

TEST_F(OutStreamTest, UnopenableFileReportsErrorAndSwallowsRows) {
  out_stream os;
  EXPECT_FALSE(os.open((dir_ / "missing" / "x.csv").string(), true));
  EXPECT_FALSE(os.good());
  EXPECT_NE(os.error().find("No such file"), std::string::npos);
  os << "lost" << 42 << '\n';
  os.close();
}

// A device that never takes a byte: the file is reported once however
// often the stream flushes, it keeps counting its position (a size limit
// still starts the next file where it would) and the program knows that
// output was lost.
TEST_F(OutStreamTest, FailedWriteIsReportedOnceAndCountsAsLostOutput) {
  out_stream os;
  ASSERT_TRUE(os.open("/dev/full", true));
  ::testing::internal::CaptureStderr();
  os << "row" << 1 << '\n';
  os.flush();
  os << "row" << 2 << '\n';
  os.flush();
  os.close();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "kiv: cannot write /dev/full (No space left on device); the file is incomplete\n");
  EXPECT_FALSE(os.good());
  EXPECT_EQ(os.tellp(), 10U);
  EXPECT_TRUE(out_stream::lost_output());
}

// The buffer grows from a small start while rows arrive: characters,
// numbers and texts of every length cross each growth step and the final
// flushes in order.
TEST_F(OutStreamTest, RowsCrossEveryBufferGrowthInOrder) {
  const auto path = dir_ / "grow.csv";
  std::string expected;
  {
    out_stream os;
    ASSERT_TRUE(os.open(path.string(), true));
    for (std::uint64_t i = 0; expected.size() < 3 * out_stream::buffer_size; ++i) {
      const std::string text(i % 97, static_cast<char>('a' + i % 26));
      os << i << ';' << text << '\n';
      expected += std::to_string(i) + ';' + text + '\n';
      ASSERT_EQ(os.tellp(), expected.size());
    }
  }
  EXPECT_EQ(read_file(path), expected);
}

TEST_F(OutStreamTest, FlushAllPutsBufferedRowsOnDisk) {
  const auto path = dir_ / "flush.csv";
  out_stream os;
  ASSERT_TRUE(os.open(path.string(), true));
  os << "row\n";
  EXPECT_EQ(read_file(path), "");
  out_stream::flush_all();
  EXPECT_EQ(read_file(path), "row\n");
}

// What the terminate handler relies on: every open stream, however many,
// ends up on disk and closed, and writing to a closed one loses nothing else.
TEST_F(OutStreamTest, CloseAllPutsEveryStreamOnDiskAndClosesIt) {
  out_stream a, b, c;
  ASSERT_TRUE(a.open((dir_ / "a.csv").string(), true));
  ASSERT_TRUE(b.open((dir_ / "b.csv").string(), true));
  ASSERT_TRUE(c.open((dir_ / "c.csv").string(), true));
  b.close();
  a << "a1\n";
  c << "c1\n";
  out_stream::close_all();
  EXPECT_FALSE(a.is_open());
  EXPECT_FALSE(c.is_open());
  EXPECT_EQ(read_file(dir_ / "a.csv"), "a1\n");
  EXPECT_EQ(read_file(dir_ / "c.csv"), "c1\n");
  a << "dropped\n";
  out_stream::flush_all();
  EXPECT_EQ(read_file(dir_ / "a.csv"), "a1\n");
}

}  // namespace
