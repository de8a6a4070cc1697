#include "report/memory_scan.h"

#include <algorithm>
#include <array>
#include <bit>

namespace kivdb::report {

namespace {

constexpr std::string_view memory_column_names[] = {
    "image", "pid", "tag", "rec", "time", "process_id", "arc", "location", "malid", "size", "new_size", "other_rec",
    "global_cur_wf_size", "global_cur_nf_size", "process_cur_wf_size", "process_in_use_size", "malid_cur_wf_size",
    "malid_in_use_size"};

enum memory_column : int {
  c_image, c_pid, c_tag, c_rec, c_time, c_process, c_arc, c_location, c_malid, c_size, c_new_size, c_other_rec,
  c_global_wf, c_global_nf, c_process_wf, c_process_in_use, c_malid_wf, c_malid_in_use
};

constexpr std::string_view freemem_column_names[] = {"image", "rec", "freed_by", "tag"};
enum freemem_column : int { f_image, f_rec, f_freed_by, f_tag };

std::uint64_t as_unsigned(std::int64_t v) { return static_cast<std::uint64_t>(v); }

// Bucket of an allocation size: the smallest i with size <= 2^i.
std::size_t size_bucket(std::uint64_t size) {
  return size <= 1 ? 0 : static_cast<std::size_t>(std::bit_width(size - 1));
}

}  // namespace

std::size_t memory_scan::place_hash::operator()(const block_place& p) const {
  constexpr std::uint64_t mix = 0x9E3779B97F4A7C15ull;
  std::uint64_t h = as_unsigned(p.image);
  for (const std::int64_t v : {p.location, p.process, p.arc}) h = (h ^ as_unsigned(v)) * mix;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

memory_scan::memory_scan(const report_settings& settings, std::vector<std::uint64_t> offsets,
                         std::uint64_t first_x, std::uint64_t last_x)
    : settings_(settings),
      offsets_(std::move(offsets)),
      first_(first_x),
      last_(last_x),
      memory_({"with free", "no free"}, first_x, last_x, settings.memory_buckets),
      recent_(settings.temporary_distance) {}

std::span<const std::string_view> memory_scan::memory_columns() { return memory_column_names; }
std::span<const std::string_view> memory_scan::freemem_columns() { return freemem_column_names; }

std::uint64_t memory_scan::offset(std::size_t image) const {
  return image >= 1 && image <= offsets_.size() ? offsets_[image - 1] : 0;
}

// Rows of an image follow one another: a new image folds the one before
// into the figures at the end.
void memory_scan::begin_image(std::size_t image, std::int64_t pid) {
  if (current_.seen) {
    before_.live_bytes += current_.live_bytes;
    before_.nofree_bytes += current_.nofree_bytes;
    finished_.push_back(current_);
  }
  image_ = image;
  current_ = image_figures{};
  current_.pid = pid;
  current_.image = image;
  recent_.clear();
}

void memory_scan::add(const row_view& row) {
  const auto image = static_cast<std::size_t>(row.integer(c_image));
  if (!current_.seen || image != image_) begin_image(image, row.integer(c_pid));
  const std::uint64_t rec = as_unsigned(row.integer(c_rec));
  const std::uint64_t x = rec + offset(image);
  const std::string_view tag = row.text(c_tag);
  count_blocks(row, tag, rec);
  summarise(row, x);
  const image_key location{static_cast<std::int64_t>(image), row.integer(c_location)};
  if (tag == "a" || tag == "n") count_allocation(tag, rec, location, row.integer(c_size));
  if (tag == "f" && !row.is_null(c_other_rec))
    count_temporary(rec, as_unsigned(row.integer(c_other_rec)), row.integer(c_new_size));
  follow_malid(row, x);
  follow_process(row, x);
}

std::uint32_t memory_scan::place_of(const row_view& row) {
  const block_place place{static_cast<std::int64_t>(image_), row.integer(c_location), row.integer(c_process),
                          row.integer(c_arc)};
  if (place.arc != 0) call_arcs_ = true;
  const auto [it, fresh] = place_index_.try_emplace(place, static_cast<std::uint32_t>(places_.size()));
  if (fresh) places_.push_back(place);
  return it->second;
}

// An 'f' or 'r' row names the block it frees or moves; a free id or reset
// id drops blocks that only its "freemem" rows name.
void memory_scan::count_blocks(const row_view& row, std::string_view tag, std::uint64_t rec) {
  const std::uint64_t other = row.is_null(c_other_rec) ? 0 : as_unsigned(row.integer(c_other_rec));
  if (tag == "a") {
    blocks_.made(image_, rec, {place_of(row), as_unsigned(row.integer(c_new_size))});
  } else if (tag == "r" && other != 0) {
    blocks_.moved(image_, other, rec, {place_of(row), as_unsigned(row.integer(c_new_size))});
  } else if (tag == "f" && other != 0) {
    blocks_.freed(image_, other);
  }
}

void memory_scan::add_freemem(const row_view& row) {
  const std::string_view tag = row.text(f_tag);
  // Frees and reallocs were counted with their memory rows.
  if (tag == "f" || tag == "r") return;
  blocks_.dropped(static_cast<std::size_t>(row.integer(f_image)), as_unsigned(row.integer(f_rec)),
                  as_unsigned(row.integer(f_freed_by)));
}

void memory_scan::summarise(const row_view& row, std::uint64_t x) {
  ++memory_records_;
  image_figures& h = current_;
  h.live_bytes = as_unsigned(row.integer(c_global_wf));
  h.nofree_bytes = as_unsigned(row.integer(c_global_nf));
  if (!h.seen || h.live_bytes > h.peak_bytes) {
    h.seen = true;
    h.peak_bytes = h.live_bytes;
    h.peak_blocks = blocks_.alive(image_);
    h.peak_record = as_unsigned(row.integer(c_rec));
    h.peak_time = row.text(c_time);
    blocks_.set_peak(image_, h.peak_record);
  }
  const std::array<std::int64_t, 2> values{static_cast<std::int64_t>(before_.live_bytes + h.live_bytes),
                                           static_cast<std::int64_t>(before_.nofree_bytes + h.nofree_bytes)};
  memory_.add(x, row.text(c_time), values);
}

run_summary memory_scan::summary() const {
  run_summary s;
  s.memory_records = memory_records_;
  if (!current_.seen) return s;
  s.live_bytes_at_end = before_.live_bytes + current_.live_bytes;
  s.nofree_bytes_at_end = before_.nofree_bytes + current_.nofree_bytes;
  // The largest peak; an earlier image keeps it on a tie.
  const image_figures* peak = nullptr;
  for (const image_figures& f : finished_)
    if (peak == nullptr || f.peak_bytes > peak->peak_bytes) peak = &f;
  if (peak == nullptr || current_.peak_bytes > peak->peak_bytes) peak = &current_;
  s.peak_bytes = peak->peak_bytes;
  s.peak_blocks = peak->peak_blocks - blocks_.dropped_before_peak(peak->image);
  s.peak_record = peak->peak_record;
  s.peak_time = peak->peak_time;
  s.peak_pid = peak->pid;
  s.peak_image = peak->image;
  for (const image_figures& f : finished_) s.live_blocks_at_end += blocks_.alive(f.image);
  s.live_blocks_at_end += blocks_.alive(current_.image);
  return s;
}

std::vector<std::pair<block_place, location_figures>> memory_scan::live_by_place() const {
  std::vector<location_figures> sums(places_.size());
  blocks_.for_each([&](const block_count::block& b) {
    sums[b.place].count += 1;
    sums[b.place].bytes += static_cast<std::int64_t>(b.size);
  });
  std::vector<std::pair<block_place, location_figures>> out;
  for (std::size_t i = 0; i < places_.size(); ++i)
    if (sums[i].count != 0) out.emplace_back(places_[i], sums[i]);
  return out;
}

void memory_scan::count_allocation(std::string_view tag, std::uint64_t rec, image_key location, std::int64_t size) {
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
  location_figures& f = temporaries_[{static_cast<std::int64_t>(image_), *location}];
  ++f.count;
  f.bytes += size;
}

void memory_scan::follow_malid(const row_view& row, std::uint64_t x) {
  const image_key id{static_cast<std::int64_t>(image_), row.integer(c_malid)};
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
  const image_key process{static_cast<std::int64_t>(image_), row.integer(c_process)};
  const std::int64_t wf = row.integer(c_process_wf);
  const std::int64_t in_use = row.integer(c_process_in_use);
  auto& peak = process_peaks_[process];
  peak = std::max(peak, in_use);
  auto it = process_series_.find(process);
  if (it == process_series_.end())
    it = process_series_
             .try_emplace(process, std::vector<std::string>{"with free", "no free"}, first_, last_,
                          settings_.detail_buckets, false)
             .first;
  it->second.add(x, {}, std::array<std::int64_t, 2>{wf, in_use - wf});
}

}  // namespace kivdb::report
