#include "report/memory_scan.h"

#include <algorithm>
#include <array>
#include <bit>

namespace kivdb::report {

// The columns of the one ordered pass over a run's memory rows.
const char* const memory_scan::sql =
    "SELECT tag, rec, time, process_id, location, malid, size, new_size, other_rec, "
    "global_cur_wf_size, global_cur_wf_count, global_cur_nf_size, "
    "process_cur_wf_size, process_in_use_size, malid_cur_wf_size, malid_in_use_size "
    "FROM memory WHERE run_id = ? ORDER BY row_nr";

namespace {

enum scan_column : int {
  c_tag, c_rec, c_time, c_process, c_location, c_malid, c_size, c_new_size, c_other_rec,
  c_global_wf, c_global_wf_count, c_global_nf,
  c_process_wf, c_process_in_use, c_malid_wf, c_malid_in_use
};

std::uint64_t as_unsigned(std::int64_t v) { return static_cast<std::uint64_t>(v); }

// Bucket of an allocation size: the smallest i with size <= 2^i.
std::size_t size_bucket(std::uint64_t size) {
  return size <= 1 ? 0 : static_cast<std::size_t>(std::bit_width(size - 1));
}

}  // namespace

std::uint64_t memory_scan::axis(std::uint64_t rec) {
  if (rec < previous_rec_) offset_ += previous_rec_;
  previous_rec_ = rec;
  return rec + offset_;
}

void memory_scan::add(const row_view& row) {
  const std::uint64_t rec = as_unsigned(row.integer(c_rec));
  const std::uint64_t x = axis(rec);
  summarise(row, x);
  const std::string_view tag = row.text(c_tag);
  const std::int64_t location = row.integer(c_location);
  if (tag == "a" || tag == "n") count_allocation(tag, rec, location, row.integer(c_size));
  if (tag == "f" && !row.is_null(c_other_rec))
    count_temporary(rec, as_unsigned(row.integer(c_other_rec)), row.integer(c_new_size));
  follow_malid(row, x);
  follow_process(row, x);
}

void memory_scan::summarise(const row_view& row, std::uint64_t x) {
  run_summary& s = summary_;
  ++s.memory_records;
  const auto wf = as_unsigned(row.integer(c_global_wf));
  const std::array<std::int64_t, 2> values{row.integer(c_global_wf), row.integer(c_global_nf)};
  memory_.add(x, row.text(c_time), values);
  if (s.memory_records == 1 || wf > s.peak_bytes) {
    s.peak_bytes = wf;
    s.peak_blocks = as_unsigned(row.integer(c_global_wf_count));
    s.peak_record = as_unsigned(row.integer(c_rec));
    s.peak_time = row.text(c_time);
  }
  s.live_bytes_at_end = wf;
  s.live_blocks_at_end = as_unsigned(row.integer(c_global_wf_count));
  s.nofree_bytes_at_end = as_unsigned(row.integer(c_global_nf));
}

void memory_scan::count_allocation(std::string_view tag, std::uint64_t rec,
                                   std::int64_t location, std::int64_t size) {
  location_figures& f = allocations_[location];
  ++f.count;
  f.bytes += size;
  const std::size_t bucket = size_bucket(as_unsigned(size));
  if (sizes_.counts.size() <= bucket) {
    sizes_.counts.resize(bucket + 1);
    sizes_.bytes.resize(bucket + 1);
  }
  ++sizes_.counts[bucket];
  sizes_.bytes[bucket] += as_unsigned(size);
  if (tag == "a") recent_.add(rec, location);
}

void memory_scan::count_temporary(std::uint64_t rec, std::uint64_t freed_rec, std::int64_t size) {
  if (freed_rec == 0 || freed_rec > rec || rec - freed_rec > settings_.temporary_distance) return;
  const auto location = recent_.find(freed_rec);
  if (!location) return;
  location_figures& f = temporaries_[*location];
  ++f.count;
  f.bytes += size;
}

void memory_scan::follow_malid(const row_view& row, std::uint64_t x) {
  const std::int64_t id = row.integer(c_malid);
  const std::int64_t in_use = row.integer(c_malid_in_use);
  malid_figures& f = malid_peaks_[id];
  f.peak_in_use = std::max(f.peak_in_use, in_use);
  f.peak_wf = std::max(f.peak_wf, row.integer(c_malid_wf));
  auto it = malid_series_.find(id);
  if (it == malid_series_.end())
    it = malid_series_
             .try_emplace(id, std::vector<std::string>{std::to_string(id)}, first_, last_ + offset_,
                          settings_.detail_buckets, false)
             .first;
  it->second.add(x, {}, std::array<std::int64_t, 1>{in_use});
}

void memory_scan::follow_process(const row_view& row, std::uint64_t x) {
  const std::int64_t process = row.integer(c_process);
  const std::int64_t wf = row.integer(c_process_wf);
  const std::int64_t in_use = row.integer(c_process_in_use);
  auto& peak = process_peaks_[process];
  peak = std::max(peak, in_use);
  auto it = process_series_.find(process);
  if (it == process_series_.end())
    it = process_series_
             .try_emplace(process, std::vector<std::string>{"with free", "no free"}, first_,
                          last_ + offset_, settings_.detail_buckets, false)
             .first;
  it->second.add(x, {}, std::array<std::int64_t, 2>{wf, in_use - wf});
}

}  // namespace kivdb::report
