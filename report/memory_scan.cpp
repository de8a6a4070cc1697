#include "report/memory_scan.h"

#include <algorithm>
#include <array>
#include <bit>

namespace kivdb::report {

// The columns of the one ordered pass over a run's memory rows.
const char* const memory_scan::sql =
    "SELECT pid, tag, rec, time, process_id, location, malid, size, new_size, other_rec, "
    "global_cur_wf_size, global_cur_wf_count, global_cur_nf_size, "
    "process_cur_wf_size, process_in_use_size, malid_cur_wf_size, malid_in_use_size "
    "FROM memory WHERE run_id = ? ORDER BY row_nr";

namespace {

enum scan_column : int {
  c_pid, c_tag, c_rec, c_time, c_process, c_location, c_malid, c_size, c_new_size, c_other_rec,
  c_global_wf, c_global_wf_count, c_global_nf,
  c_process_wf, c_process_in_use, c_malid_wf, c_malid_in_use
};

std::uint64_t as_unsigned(std::int64_t v) { return static_cast<std::uint64_t>(v); }

// Bucket of an allocation size: the smallest i with size <= 2^i.
std::size_t size_bucket(std::uint64_t size) {
  return size <= 1 ? 0 : static_cast<std::size_t>(std::bit_width(size - 1));
}

}  // namespace

// A header starts at a new pid, or where record numbers start again (a
// program that exec'd goes on under the same pid in a new header).
void memory_scan::begin_header(std::int64_t pid, std::uint64_t rec) {
  if (headers_ != 0) {
    offset_ += previous_rec_;
    before_.live_bytes += current_.live_bytes;
    before_.live_blocks += current_.live_blocks;
    before_.nofree_bytes += current_.nofree_bytes;
    if (headers_ == 1 || current_.peak_bytes > best_peak_.peak_bytes) best_peak_ = current_;
  }
  ++headers_;
  offsets_[pid].push_back(offset_);
  pid_ = pid;
  previous_rec_ = rec;
  current_ = header_figures{};
  current_.pid = pid;
  recent_.clear();
}

std::uint64_t memory_scan::axis(std::int64_t pid, std::uint64_t rec) {
  if (headers_ == 0 || pid != pid_ || rec < previous_rec_) begin_header(pid, rec);
  previous_rec_ = rec;
  return rec + offset_;
}

void memory_scan::add(const row_view& row) {
  const std::uint64_t rec = as_unsigned(row.integer(c_rec));
  const std::uint64_t x = axis(row.integer(c_pid), rec);
  summarise(row, x);
  const std::string_view tag = row.text(c_tag);
  const header_key location{pid_, row.integer(c_location)};
  if (tag == "a" || tag == "n") count_allocation(tag, rec, location, row.integer(c_size));
  if (tag == "f" && !row.is_null(c_other_rec))
    count_temporary(rec, as_unsigned(row.integer(c_other_rec)), row.integer(c_new_size));
  follow_malid(row, x);
  follow_process(row, x);
}

void memory_scan::summarise(const row_view& row, std::uint64_t x) {
  ++memory_records_;
  header_figures& h = current_;
  h.live_bytes = as_unsigned(row.integer(c_global_wf));
  h.live_blocks = as_unsigned(row.integer(c_global_wf_count));
  h.nofree_bytes = as_unsigned(row.integer(c_global_nf));
  if (!h.seen || h.live_bytes > h.peak_bytes) {
    h.seen = true;
    h.peak_bytes = h.live_bytes;
    h.peak_blocks = h.live_blocks;
    h.peak_record = as_unsigned(row.integer(c_rec));
    h.peak_time = row.text(c_time);
  }
  const std::array<std::int64_t, 2> values{
      static_cast<std::int64_t>(before_.live_bytes + h.live_bytes),
      static_cast<std::int64_t>(before_.nofree_bytes + h.nofree_bytes)};
  memory_.add(x, row.text(c_time), values);
}

const std::vector<std::uint64_t>& memory_scan::header_offsets(std::int64_t pid) const {
  static const std::vector<std::uint64_t> none;
  const auto it = offsets_.find(pid);
  return it == offsets_.end() ? none : it->second;
}

run_summary memory_scan::summary() const {
  run_summary s;
  s.memory_records = memory_records_;
  s.headers = headers_;
  if (headers_ == 0) return s;
  s.live_bytes_at_end = before_.live_bytes + current_.live_bytes;
  s.live_blocks_at_end = before_.live_blocks + current_.live_blocks;
  s.nofree_bytes_at_end = before_.nofree_bytes + current_.nofree_bytes;
  // An earlier header keeps the peak on a tie.
  const bool earlier = headers_ > 1 && best_peak_.peak_bytes >= current_.peak_bytes;
  const header_figures& peak = earlier ? best_peak_ : current_;
  s.peak_bytes = peak.peak_bytes;
  s.peak_blocks = peak.peak_blocks;
  s.peak_record = peak.peak_record;
  s.peak_time = peak.peak_time;
  s.peak_pid = peak.pid;
  return s;
}

void memory_scan::count_allocation(std::string_view tag, std::uint64_t rec,
                                   header_key location, std::int64_t size) {
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
  if (tag == "a") recent_.add(rec, location.second);
}

void memory_scan::count_temporary(std::uint64_t rec, std::uint64_t freed_rec, std::int64_t size) {
  if (freed_rec == 0 || freed_rec > rec || rec - freed_rec > settings_.temporary_distance) return;
  const auto location = recent_.find(freed_rec);
  if (!location) return;
  location_figures& f = temporaries_[{pid_, *location}];
  ++f.count;
  f.bytes += size;
}

void memory_scan::follow_malid(const row_view& row, std::uint64_t x) {
  const header_key id{pid_, row.integer(c_malid)};
  const std::int64_t in_use = row.integer(c_malid_in_use);
  malid_figures& f = malid_peaks_[id];
  f.peak_in_use = std::max(f.peak_in_use, in_use);
  f.peak_wf = std::max(f.peak_wf, row.integer(c_malid_wf));
  auto it = malid_series_.find(id);
  if (it == malid_series_.end())
    it = malid_series_
             .try_emplace(id, std::vector<std::string>{std::to_string(id_number(id.second))}, first_, last_,
                          settings_.detail_buckets, false)
             .first;
  it->second.add(x, {}, std::array<std::int64_t, 1>{in_use});
}

void memory_scan::follow_process(const row_view& row, std::uint64_t x) {
  const header_key process{pid_, row.integer(c_process)};
  const std::int64_t wf = row.integer(c_process_wf);
  const std::int64_t in_use = row.integer(c_process_in_use);
  auto& peak = process_peaks_[process];
  peak = std::max(peak, in_use);
  auto it = process_series_.find(process);
  if (it == process_series_.end())
    it = process_series_
             .try_emplace(process, std::vector<std::string>{"with free", "no free"}, first_,
                          last_, settings_.detail_buckets, false)
             .first;
  it->second.add(x, {}, std::array<std::int64_t, 2>{wf, in_use - wf});
}

}  // namespace kivdb::report
