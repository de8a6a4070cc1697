#include "report/series_reducer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>

namespace kivdb::report {
namespace {

using value_of = std::function<std::int64_t(std::uint64_t)>;

// Feeds x = first..last with column c's value f[c](x) and a time text made
// from x, and reduces into `buckets` buckets.
series_table reduce(std::uint64_t first, std::uint64_t last, std::size_t buckets,
                    const std::vector<value_of>& f) {
  std::vector<std::string> names;
  for (std::size_t c = 0; c < f.size(); ++c) names.push_back("c" + std::to_string(c));
  series_reducer reducer(names, first, last, buckets);
  std::vector<std::int64_t> row(f.size());
  for (std::uint64_t x = first; x <= last; ++x) {
    for (std::size_t c = 0; c < f.size(); ++c) row[c] = f[c](x);
    reducer.add(x, "t" + std::to_string(x), row);
  }
  return reducer.finish();
}

// Every kept point is a real input point: its values and time are those of
// its x, and x ascends strictly.
void expect_real_points(const series_table& t, const std::vector<value_of>& f) {
  ASSERT_EQ(t.values.size(), f.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(t.x[i - 1], t.x[i]);
    }
    EXPECT_EQ(t.time[i], "t" + std::to_string(t.x[i]));
    for (std::size_t c = 0; c < f.size(); ++c) EXPECT_EQ(t.values[c][i], f[c](t.x[i])) << i;
  }
}

TEST(SeriesReducer, ShortSeriesIsKeptWhole) {
  const std::vector<value_of> f{[](std::uint64_t x) { return static_cast<std::int64_t>(x * 3); }};
  const auto t = reduce(1, 50, 1000, f);
  ASSERT_EQ(t.size(), 50u);
  EXPECT_EQ(t.x.front(), 1u);
  EXPECT_EQ(t.x.back(), 50u);
  expect_real_points(t, f);
}

TEST(SeriesReducer, LongSeriesKeepsEverySpikeDipAndBothEnds) {
  // A sawtooth with one spike and one dip hidden in the middle of buckets.
  const std::uint64_t spike = 612'345;
  const std::uint64_t dip = 377'777;
  const std::vector<value_of> f{
      [&](std::uint64_t x) -> std::int64_t {
        if (x == spike) return 1'000'000;
        if (x == dip) return -5;
        return static_cast<std::int64_t>(x % 97);
      },
      [](std::uint64_t x) { return static_cast<std::int64_t>(x / 10); }};
  const std::size_t buckets = 500;
  const auto t = reduce(1, 1'000'000, buckets, f);
  EXPECT_LE(t.size(), buckets * (2 * f.size() + 2));
  EXPECT_GE(t.size(), buckets);
  expect_real_points(t, f);
  EXPECT_NE(std::find(t.x.begin(), t.x.end(), spike), t.x.end());
  EXPECT_NE(std::find(t.x.begin(), t.x.end(), dip), t.x.end());
  EXPECT_EQ(*std::max_element(t.values[0].begin(), t.values[0].end()), 1'000'000);
  EXPECT_EQ(*std::min_element(t.values[0].begin(), t.values[0].end()), -5);
  EXPECT_EQ(t.x.front(), 1u);
  EXPECT_EQ(t.x.back(), 1'000'000u);
  EXPECT_EQ(t.values[1].back(), 100'000);
}

TEST(SeriesReducer, SparseAndGappedInputStaysInItsBuckets) {
  // Points only every 1,000th x, with a long gap: x keeps ascending and a
  // bucket without points produces nothing.
  std::vector<std::string> names{"v"};
  series_reducer reducer(names, 0, 1'000'000, 100);
  std::vector<std::uint64_t> xs;
  for (std::uint64_t x = 0; x <= 1'000'000; x += 1000)
    if (x < 200'000 || x > 800'000) xs.push_back(x);
  for (auto x : xs) {
    const std::int64_t v = static_cast<std::int64_t>(x % 7000);
    reducer.add(x, "", std::vector<std::int64_t>{v});
  }
  const auto t = reducer.finish();
  for (std::size_t i = 1; i < t.size(); ++i) {
    EXPECT_LT(t.x[i - 1], t.x[i]);
  }
  for (auto x : t.x) EXPECT_NE(std::find(xs.begin(), xs.end(), x), xs.end());
  EXPECT_EQ(t.x.back(), 1'000'000u);
}

TEST(SeriesReducer, NoPointsGiveAnEmptyTableWithItsNames) {
  series_reducer reducer({"a", "b"}, 0, 0, 10);
  const auto t = reducer.finish();
  EXPECT_EQ(t.size(), 0u);
  EXPECT_EQ(t.names.size(), 2u);
  EXPECT_EQ(t.values.size(), 2u);
}

TEST(SeriesReducer, OnePointAndZeroBuckets) {
  series_reducer reducer({"a"}, 7, 7, 0);
  reducer.add(7, "t7", std::vector<std::int64_t>{42});
  const auto t = reducer.finish();
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t.x[0], 7u);
  EXPECT_EQ(t.values[0][0], 42);
  EXPECT_EQ(t.time[0], "t7");
}

}  // namespace
}  // namespace kivdb::report

namespace kivdb::report {
namespace {

series_table one(const std::string& name, std::vector<std::uint64_t> x,
                 std::vector<std::int64_t> v) {
  series_table t;
  t.names = {name};
  t.x = std::move(x);
  t.values = {std::move(v)};
  return t;
}

TEST(MergeHeld, UnionOfXWithLastValuesHeldAndZeroBefore) {
  const auto merged = merge_held({one("a", {2, 5, 9}, {10, 20, 5}), one("b", {1, 5, 7}, {1, 2, 3}),
                                  one("empty", {}, {})});
  EXPECT_EQ(merged.names, (std::vector<std::string>{"a", "b", "empty"}));
  EXPECT_EQ(merged.x, (std::vector<std::uint64_t>{1, 2, 5, 7, 9}));
  EXPECT_EQ(merged.values[0], (std::vector<std::int64_t>{0, 10, 20, 20, 5}));
  EXPECT_EQ(merged.values[1], (std::vector<std::int64_t>{1, 1, 2, 3, 3}));
  EXPECT_EQ(merged.values[2], (std::vector<std::int64_t>{0, 0, 0, 0, 0}));
  EXPECT_TRUE(merge_held({}).x.empty());
}

TEST(SeriesReducer, WithoutTimesKeepsNoTexts) {
  series_reducer reducer({"a"}, 1, 100, 10, false);
  for (std::uint64_t x = 1; x <= 100; ++x)
    reducer.add(x, "2024-01-01 00:00:00.000", std::vector<std::int64_t>{static_cast<std::int64_t>(x)});
  const auto t = reducer.finish();
  EXPECT_GT(t.size(), 10u);
  EXPECT_TRUE(t.time.empty());
}

}  // namespace
}  // namespace kivdb::report
