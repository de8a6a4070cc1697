#include "report/series_reducer.h"

#include <algorithm>

namespace kivdb::report {

series_reducer::series_reducer(std::vector<std::string> names, std::uint64_t first_x,
                               std::uint64_t last_x, std::size_t buckets, bool keep_time)
    : first_x_(first_x), keep_time_(keep_time) {
  const std::uint64_t span = last_x >= first_x ? last_x - first_x + 1 : 1;
  const std::uint64_t count = std::max<std::uint64_t>(buckets, 1);
  width_ = std::max<std::uint64_t>((span + count - 1) / count, 1);
  out_.values.resize(names.size());
  out_.names = std::move(names);
  slots_.resize(column_slots + 2 * out_.names.size());
}

void series_reducer::take(point& slot, std::uint64_t x, std::string_view time,
                          std::span<const std::int64_t> values) {
  slot.x = x;
  slot.time.assign(time);
  slot.values.assign(values.begin(), values.end());
}

void series_reducer::add(std::uint64_t x, std::string_view time,
                         std::span<const std::int64_t> values) {
  const std::uint64_t bucket = x > first_x_ ? (x - first_x_) / width_ : 0;
  if (open_ && bucket != bucket_) flush_bucket();
  if (!keep_time_) time = {};
  if (!open_) {
    open_ = true;
    bucket_ = bucket;
    for (auto& slot : slots_) take(slot, x, time, values);
    return;
  }
  take(slots_[last_slot], x, time, values);
  const std::size_t columns = std::min(values.size(), out_.names.size());
  for (std::size_t c = 0; c < columns; ++c) {
    if (values[c] < slots_[min_slot(c)].values[c]) take(slots_[min_slot(c)], x, time, values);
    if (values[c] > slots_[max_slot(c)].values[c]) take(slots_[max_slot(c)], x, time, values);
  }
}

void series_reducer::flush_bucket() {
  std::vector<const point*> kept;
  kept.reserve(slots_.size());
  for (const auto& slot : slots_) kept.push_back(&slot);
  std::sort(kept.begin(), kept.end(), [](const point* a, const point* b) { return a->x < b->x; });
  std::uint64_t previous = 0;
  bool any = false;
  for (const point* p : kept) {
    if (any && p->x == previous) continue;
    any = true;
    previous = p->x;
    out_.x.push_back(p->x);
    if (keep_time_) out_.time.push_back(p->time);
    for (std::size_t c = 0; c < out_.values.size(); ++c)
      out_.values[c].push_back(c < p->values.size() ? p->values[c] : 0);
  }
  open_ = false;
}

series_table series_reducer::finish() {
  if (open_) flush_bucket();
  return std::move(out_);
}

}  // namespace kivdb::report

namespace kivdb::report {

series_table merge_held(const std::vector<series_table>& parts) {
  series_table out;
  for (const auto& part : parts) {
    out.names.push_back(part.names.empty() ? std::string() : part.names.front());
    out.x.insert(out.x.end(), part.x.begin(), part.x.end());
  }
  std::sort(out.x.begin(), out.x.end());
  out.x.erase(std::unique(out.x.begin(), out.x.end()), out.x.end());
  out.values.resize(parts.size());
  for (std::size_t p = 0; p < parts.size(); ++p) {
    const series_table& part = parts[p];
    std::vector<std::int64_t>& column = out.values[p];
    column.reserve(out.x.size());
    std::size_t next = 0;
    std::int64_t held = 0;
    for (const std::uint64_t x : out.x) {
      while (next < part.x.size() && part.x[next] <= x) {
        if (!part.values.empty()) held = part.values.front()[next];
        ++next;
      }
      column.push_back(held);
    }
  }
  return out;
}

}  // namespace kivdb::report
