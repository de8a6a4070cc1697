#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reader/data_cursor.h"

namespace {

using bytes = std::vector<unsigned char>;

data_cursor over(const bytes& data, bool little = true) {
  data_cursor c;
  c.set_little_endian(little);
  c.reset(data.data(), data.size());
  return c;
}

TEST(DataCursor, ByteOrderOfElementsAndLength) {
  const bytes one = {0x01, 0x00, 0x00, 0x00};
  std::uint32_t v = 0;
  auto little = over(one, true);
  little.read(4, v);
  EXPECT_EQ(v, 1U);
  auto big = over(one, false);
  big.read(4, v);
  EXPECT_EQ(v, 16'777'216U);

  const bytes length = {0x34, 0x12};
  EXPECT_EQ(over(length, true).take_u16(), 0x1234);
  EXPECT_EQ(over(length, false).take_u16(), 0x3412);

  const bytes wide = {1, 2, 3, 4, 5, 6, 7, 8};
  std::uint64_t w = 0;
  auto l8 = over(wide, true);
  l8.read(8, w);
  EXPECT_EQ(w, 0x0807060504030201ULL);
  auto b8 = over(wide, false);
  b8.read(8, w);
  EXPECT_EQ(w, 0x0102030405060708ULL);
}

// Every target type against every width: which widths decode, how bytes
// are extended, and that the cursor always moves by the declared width.
TEST(DataCursor, WidthTable) {
  const bytes ff(8, 0xff);
  constexpr std::uint32_t keep32 = 0xdeadbeef;
  constexpr std::uint64_t keep64 = 0x1122334455667788ULL;
  struct row {
    int width;
    std::uint32_t u32;
    std::int32_t i32;
    std::uint64_t u64;
    std::int64_t i64;
  };
  const row rows[] = {
      {1, 0xffffffffU, -1, 0xffffffffULL, 0xffffffffLL},
      {2, 0xffffU, -1, 0xffffULL, -1},
      {4, 0xffffffffU, -1, 0xffffffffULL, -1},
      {8, keep32, static_cast<std::int32_t>(keep32), 0xffffffffffffffffULL, -1},
      {3, keep32, static_cast<std::int32_t>(keep32), keep64, static_cast<std::int64_t>(keep64)},
      {0, keep32, static_cast<std::int32_t>(keep32), keep64, static_cast<std::int64_t>(keep64)},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.width);
    std::uint32_t u32 = keep32;
    std::int32_t i32 = static_cast<std::int32_t>(keep32);
    std::uint64_t u64 = keep64;
    std::int64_t i64 = static_cast<std::int64_t>(keep64);
    auto c = over(ff);
    c.read(r.width, u32);
    EXPECT_EQ(c.cursor(), static_cast<std::size_t>(r.width));
    c.seek(0);
    c.read(r.width, i32);
    c.seek(0);
    c.read(r.width, u64);
    c.seek(0);
    c.read(r.width, i64);
    EXPECT_EQ(u32, r.u32);
    EXPECT_EQ(i32, r.i32);
    EXPECT_EQ(u64, r.u64);
    EXPECT_EQ(i64, r.i64);
  }
}

TEST(DataCursor, FourByteAddressWithTopBitIsNegative) {
  const bytes loc = {0xf0, 0xff, 0xff, 0xff};
  std::int64_t v = 0;
  auto c = over(loc);
  c.read(4, v);
  EXPECT_EQ(v, -16);
  std::uint32_t u = 0;
  c.seek(0);
  c.read(4, u);
  EXPECT_EQ(u, 0xfffffff0U);
}

// Nothing is read outside the data: an element past the end keeps its
// value. A string runs to the next zero byte whatever the record end says;
// without one it ends with the data and leaves the cursor beyond it, so
// that its record shows as out of sync.
TEST(DataCursor, NeverReadsPastTheData) {
  const bytes data = {'a', 'b', 0, 'c', 'd', 'e', 1, 2};
  auto c = over(data);
  c.set_record_end(2);
  std::string_view s;
  c.read(0, s);
  EXPECT_EQ(s, "ab");
  EXPECT_EQ(c.cursor(), 3U);
  c.set_record_end(5);
  c.read(0, s);
  EXPECT_EQ(s, "cde\x01\x02");
  EXPECT_EQ(c.cursor(), 9U);
  c.read(0, s);
  EXPECT_EQ(s, "");
  EXPECT_EQ(c.cursor(), 9U);

  c.seek(6);
  std::uint32_t v = 7;
  c.read(4, v);
  EXPECT_EQ(v, 7U);
  EXPECT_EQ(c.cursor(), 10U);
  EXPECT_TRUE(c.at_end());

  std::string empty_at_end = "kept?";
  c.seek(8);
  c.read(0, empty_at_end);
  EXPECT_EQ(empty_at_end, "");
  EXPECT_EQ(c.cursor(), 9U);
  std::int64_t neg = 3;
  c.seek(0);
  c.read(-4, neg);
  EXPECT_EQ(neg, 3);
  EXPECT_EQ(c.cursor(), 0U);
}

// Strings read in any order find their own zero byte: the search that
// found one is reused only for strings that start before it and after
// where that search started, and a new data buffer forgets it.
TEST(DataCursor, StringsFindTheirOwnZeroByteInAnyOrder) {
  const bytes data = {'a', 'b', 0, 'c', 'd', 'e', 'f', 0, 'g'};
  auto c = over(data);
  std::string_view s;
  const auto string_at = [&](std::size_t offset) {
    c.seek(offset);
    c.read(0, s);
    return std::string(s) + "@" + std::to_string(c.cursor());
  };
  EXPECT_EQ(string_at(4), "def@8");
  EXPECT_EQ(string_at(5), "ef@8");
  EXPECT_EQ(string_at(7), "@8");
  EXPECT_EQ(string_at(3), "cdef@8");
  EXPECT_EQ(string_at(0), "ab@3");
  EXPECT_EQ(string_at(2), "@3");
  EXPECT_EQ(string_at(8), "g@10");
  EXPECT_EQ(string_at(1), "b@3");

  const bytes other = {'x', 'y', 'z', 0};
  c.reset(other.data(), other.size());
  EXPECT_EQ(string_at(1), "yz@4");
  const bytes none = {'n', 'o'};
  c.reset(none.data(), none.size());
  EXPECT_EQ(string_at(0), "no@3");
  EXPECT_EQ(string_at(1), "o@3");
}

}  // namespace
