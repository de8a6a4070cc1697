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

// A record kind letter, compared without a call.
bool is_tag(std::string_view tag, char letter) { return tag.size() == 1 && tag[0] == letter; }

// Bucket of an allocation size: the smallest i with size <= 2^i.
std::size_t size_bucket(std::uint64_t size) {
  return size <= 1 ? 0 : static_cast<std::size_t>(std::bit_width(size - 1));
}

}  // namespace

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
  finish_holdings();
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

memory_row memory_scan::memory_row_of(const row_view& row) {
  if (const field* f = row.fields()) return memory_row_of(f);
  memory_row r;
  r.image = static_cast<std::size_t>(row.integer(c_image));
  r.pid = row.integer(c_pid);
  r.tag = row.text(c_tag);
  r.rec = as_unsigned(row.integer(c_rec));
  r.time = row.text(c_time);
  r.process = row.integer(c_process);
  r.arc = row.integer(c_arc);
  r.location = row.integer(c_location);
  r.malid = row.integer(c_malid);
  r.size = row.integer(c_size);
  r.new_size = row.integer(c_new_size);
  r.other_rec = row.is_null(c_other_rec) ? 0 : as_unsigned(row.integer(c_other_rec));
  r.global_wf = as_unsigned(row.integer(c_global_wf));
  r.global_nf = as_unsigned(row.integer(c_global_nf));
  r.process_wf = row.integer(c_process_wf);
  r.process_in_use = row.integer(c_process_in_use);
  r.malid_wf = row.integer(c_malid_wf);
  r.malid_in_use = row.integer(c_malid_in_use);
  return r;
}

memory_row memory_scan::memory_row_of(const field* f) {
  memory_row r;
  r.image = static_cast<std::size_t>(f[c_image].number);
  r.pid = f[c_pid].number;
  r.tag = f[c_tag].text;
  r.rec = as_unsigned(f[c_rec].number);
  r.time = f[c_time].text;
  r.process = f[c_process].number;
  r.arc = f[c_arc].number;
  r.location = f[c_location].number;
  r.malid = f[c_malid].number;
  r.size = f[c_size].number;
  r.new_size = f[c_new_size].number;
  r.other_rec = f[c_other_rec].null ? 0 : as_unsigned(f[c_other_rec].number);
  r.global_wf = as_unsigned(f[c_global_wf].number);
  r.global_nf = as_unsigned(f[c_global_nf].number);
  r.process_wf = f[c_process_wf].number;
  r.process_in_use = f[c_process_in_use].number;
  r.malid_wf = f[c_malid_wf].number;
  r.malid_in_use = f[c_malid_in_use].number;
  return r;
}

void memory_scan::add(const memory_row& row) {
  if (!current_.seen || row.image != image_) begin_image(row.image, row.pid);
  const std::uint64_t x = row.rec + offset(row.image);
  count_blocks(row);
  summarise(row, x);
  if (is_tag(row.tag, 'a') || is_tag(row.tag, 'n')) count_allocation(row);
  if (is_tag(row.tag, 'f')) count_temporary(row);
  follow_malid(row, x);
  follow_process(row, x);
}

// A block alive at the end counts for the place that made it.
void memory_scan::survives(const memory_row& row) {
  location_figures& f = live_[{static_cast<std::int64_t>(image_), row.location, row.process, row.arc}];
  f.count += 1;
  f.bytes += row.new_size;
}

// An 'f' or 'r' row names the block it frees or moves; a free id or reset
// id drops the blocks its "freemem" rows name.
void memory_scan::count_blocks(const memory_row& row) {
  if (row.arc != 0) call_arcs_ = true;
  if (is_tag(row.tag, 'a')) {
    const bool lasting = blocks_.made(image_, row.rec);
    if (lasting) survives(row);
    holdings_.made(row.rec, row.location, row.new_size, lasting);
  } else if (is_tag(row.tag, 'r') && row.other_rec != 0) {
    const bool lasting = blocks_.moved(image_, row.other_rec, row.rec);
    if (lasting) survives(row);
    holdings_.ended(row.other_rec);
    holdings_.made(row.rec, row.location, row.new_size, lasting);
  } else if (is_tag(row.tag, 'f') && row.other_rec != 0) {
    blocks_.freed(image_);
    holdings_.ended(row.other_rec);
  } else if (is_tag(row.tag, 'F') || is_tag(row.tag, 'Z')) {
    dropped_.clear();
    blocks_.dropped(image_, row.rec, &dropped_);
    for (const std::uint64_t block : dropped_) holdings_.ended(block);
  }
}

// The image's figures at its peak join those of the images before.
void memory_scan::finish_holdings() {
  for (const auto& [location, held] : holdings_.finish()) {
    location_figures& f = held_at_peak_[{static_cast<std::int64_t>(image_), location}];
    f.count += held.blocks;
    f.bytes += held.bytes;
  }
}

std::map<image_key, location_figures> memory_scan::held_at_peak() {
  finish_holdings();
  return held_at_peak_;
}

void memory_scan::add_freemem(const row_view& row) {
  const std::string_view tag = row.text(f_tag);
  const auto image = static_cast<std::size_t>(row.integer(f_image));
  if (image == 0) return;
  blocks_.ended(image, as_unsigned(row.integer(f_rec)), as_unsigned(row.integer(f_freed_by)),
                !is_tag(tag, 'f') && !is_tag(tag, 'r'));
}

void memory_scan::summarise(const memory_row& row, std::uint64_t x) {
  ++memory_records_;
  image_figures& h = current_;
  h.live_bytes = row.global_wf;
  h.nofree_bytes = row.global_nf;
  if (!h.seen || h.live_bytes > h.peak_bytes) {
    holdings_.at_peak();
    h.seen = true;
    h.peak_bytes = h.live_bytes;
    h.peak_blocks = blocks_.alive(image_);
    h.peak_record = row.rec;
    h.peak_time = row.time;
  }
  const std::array<std::int64_t, 2> values{static_cast<std::int64_t>(before_.live_bytes + h.live_bytes),
                                           static_cast<std::int64_t>(before_.nofree_bytes + h.nofree_bytes)};
  memory_.add(x, row.time, values);
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
  s.peak_blocks = peak->peak_blocks;
  s.peak_record = peak->peak_record;
  s.peak_time = peak->peak_time;
  s.peak_pid = peak->pid;
  s.peak_image = peak->image;
  for (const image_figures& f : finished_) s.live_blocks_at_end += blocks_.alive(f.image);
  s.live_blocks_at_end += blocks_.alive(current_.image);
  return s;
}

std::vector<std::pair<block_place, location_figures>> memory_scan::live_by_place() const {
  return {live_.begin(), live_.end()};
}

void memory_scan::count_allocation(const memory_row& row) {
  const image_key location{static_cast<std::int64_t>(image_), row.location};
  if (last_allocation_ == nullptr || location != last_allocation_key_) {
    last_allocation_ = &allocations_[location];
    last_allocation_key_ = location;
  }
  ++last_allocation_->count;
  last_allocation_->bytes += row.size;
  const std::size_t bucket = size_bucket(as_unsigned(row.size));
  if (sizes_.counts.size() <= bucket) {
    sizes_.counts.resize(bucket + 1);
    sizes_.bytes.resize(bucket + 1);
  }
  ++sizes_.counts[bucket];
  sizes_.bytes[bucket] += as_unsigned(row.size);
  if (is_tag(row.tag, 'a')) recent_.add(row.rec, row.location);
}

void memory_scan::count_temporary(const memory_row& row) {
  const std::uint64_t freed_rec = row.other_rec;
  if (freed_rec == 0 || freed_rec > row.rec || row.rec - freed_rec > settings_.temporary_distance) return;
  const auto location = recent_.find(freed_rec);
  if (!location) return;
  location_figures& f = temporaries_[{static_cast<std::int64_t>(image_), *location}];
  ++f.count;
  f.bytes += row.new_size;
}

memory_scan::followed& memory_scan::malid_of(image_key id) {
  if (last_malid_ != nullptr && id == last_malid_key_) return *last_malid_;
  const auto [it, fresh] = malid_state_.try_emplace(id);
  if (fresh)
    it->second.series = &malid_series_
                             .try_emplace(id, std::vector<std::string>{std::to_string(id_number(id.second))}, first_,
                                          last_, settings_.detail_buckets, false)
                             .first->second;
  last_malid_key_ = id;
  last_malid_ = &it->second;
  return it->second;
}

memory_scan::followed& memory_scan::process_of(image_key id) {
  if (last_process_ != nullptr && id == last_process_key_) return *last_process_;
  const auto [it, fresh] = process_state_.try_emplace(id);
  if (fresh)
    it->second.series = &process_series_
                             .try_emplace(id, std::vector<std::string>{"with free", "no free"}, first_, last_,
                                          settings_.detail_buckets, false)
                             .first->second;
  last_process_key_ = id;
  last_process_ = &it->second;
  return it->second;
}

void memory_scan::follow_malid(const memory_row& row, std::uint64_t x) {
  followed& f = malid_of({static_cast<std::int64_t>(image_), row.malid});
  f.peak_in_use = std::max(f.peak_in_use, row.malid_in_use);
  f.peak_wf = std::max(f.peak_wf, row.malid_wf);
  f.series->add(x, {}, std::array<std::int64_t, 1>{row.malid_in_use});
}

void memory_scan::follow_process(const memory_row& row, std::uint64_t x) {
  followed& f = process_of({static_cast<std::int64_t>(image_), row.process});
  f.peak_in_use = std::max(f.peak_in_use, row.process_in_use);
  f.series->add(x, {}, std::array<std::int64_t, 2>{row.process_wf, row.process_in_use - row.process_wf});
}

std::map<image_key, malid_figures> memory_scan::malids() const {
  std::map<image_key, malid_figures> out;
  for (const auto& [id, f] : malid_state_) out[id] = {f.peak_in_use, f.peak_wf};
  return out;
}

std::map<image_key, std::int64_t> memory_scan::process_peaks() const {
  std::map<image_key, std::int64_t> out;
  for (const auto& [id, f] : process_state_) out[id] = f.peak_in_use;
  return out;
}

}  // namespace kivdb::report
