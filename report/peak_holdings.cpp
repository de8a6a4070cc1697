#include "report/peak_holdings.h"

#include <algorithm>
#include <utility>

namespace kivdb::report {

namespace {

// The record number of an empty slot: memory records count from 1 and
// never reach it.
constexpr std::uint64_t empty = UINT64_MAX;
// Blocks freed within this many records of their allocation (a power of
// two) never leave the ring.
constexpr std::size_t ring_size = std::size_t{1} << 14;
// The sorted list is compacted once its ended entries are more than its
// pending ones (and more than this).
constexpr std::size_t min_compaction = 1024;

}  // namespace

std::uint32_t peak_holdings::place_of(std::int64_t location) {
  if (last_place_ != hash_index::none && location == last_location_) return last_place_;
  const std::uint64_t hash = hash_index::mix(static_cast<std::uint64_t>(location));
  std::uint32_t p = place_index_.find(hash, [&](std::uint32_t i) { return places_[i].location == location; });
  if (p == hash_index::none) {
    p = static_cast<std::uint32_t>(places_.size());
    places_.push_back({location, {}, {}, 0});
    place_index_.insert(hash, p);
  }
  last_location_ = location;
  last_place_ = p;
  return p;
}

void peak_holdings::change(std::uint32_t p, std::int64_t bytes, std::int64_t blocks) {
  place& at = places_[p];
  at.now.bytes += bytes;
  at.now.blocks += blocks;
  if (at.changed_in == interval_) return;
  at.changed_in = interval_;
  changed_.push_back(p);
}

void peak_holdings::made(std::uint64_t rec, std::int64_t location, std::int64_t size, bool lasting) {
  const std::uint32_t p = place_of(location);
  change(p, size, 1);
  if (!lasting && rec != empty) keep_recent({rec, p, false, size});
}

// Blocks ring_size records older than the new one leave the ring for the
// sorted list, oldest first, so the list stays in record order and the
// new block's slot is free.
void peak_holdings::keep_recent(const pending_block& block) {
  if (ring_.empty()) ring_.assign(ring_size, {empty, 0, false, 0});
  const std::uint64_t older = block.rec >= ring_size ? block.rec - ring_size : 0;
  // Memory records are numbered without gaps; after a leap (a damaged
  // trace) the sweep goes once round the ring.
  if (older > swept_ && older - swept_ > ring_size) swept_ = older - ring_size;
  for (; swept_ < older; ++swept_) {
    pending_block& slot = ring_[(swept_ + 1) & (ring_size - 1)];
    if (slot.rec == swept_ + 1) keep_older(std::exchange(slot, {empty, 0, false, 0}));
  }
  pending_block& slot = ring_[block.rec & (ring_size - 1)];
  // Blocks the sweep passed over (before a leap, or of record numbers
  // that do not rise) leave their slot when it is taken; the list keeps
  // them in order all the same.
  if (slot.rec != empty) keep_older(slot);
  slot = block;
}

void peak_holdings::keep_older(const pending_block& block) {
  if (older_ended_ > min_compaction && 2 * older_ended_ > older_.size()) {
    std::erase_if(older_, [](const pending_block& b) { return b.ended; });
    older_ended_ = 0;
    finger_ = 0;
  }
  if (older_.empty() || older_.back().rec < block.rec) {
    older_.push_back(block);
    return;
  }
  const auto at = std::upper_bound(older_.begin(), older_.end(), block.rec,
                                   [](std::uint64_t r, const pending_block& b) { return r < b.rec; });
  older_.insert(at, block);
}

void peak_holdings::ended(std::uint64_t rec) {
  if (ring_.empty() || rec == empty) return;
  pending_block& recent = ring_[rec & (ring_size - 1)];
  if (recent.rec == rec) {
    take_off(recent);
    recent.rec = empty;
    return;
  }
  end_older(rec);
}

void peak_holdings::end_older(std::uint64_t rec) {
  const std::size_t i = find_older(rec);
  if (i == older_.size() || older_[i].ended) return;
  take_off(older_[i]);
  older_[i].ended = true;
  ++older_ended_;
}

std::pair<std::size_t, std::size_t> peak_holdings::bracket(std::uint64_t rec) const {
  const std::size_t n = older_.size();
  const std::size_t at = std::min(finger_, n - 1);
  if (older_[at].rec < rec) {
    std::size_t lo = at + 1;
    for (std::size_t step = 1; lo < n; step *= 2) {
      const std::size_t probe = std::min(at + step, n - 1);
      if (older_[probe].rec >= rec) return {lo, probe + 1};
      lo = probe + 1;
    }
    return {n, n};
  }
  std::size_t hi = at + 1;
  for (std::size_t step = 1; step <= at; step *= 2) {
    const std::size_t probe = at - step;
    if (older_[probe].rec < rec) return {probe + 1, hi};
    hi = probe + 1;
  }
  return {0, hi};
}

std::size_t peak_holdings::find_older(std::uint64_t rec) const {
  if (older_.empty()) return 0;
  const auto [lo, hi] = bracket(rec);
  const auto it = std::lower_bound(older_.begin() + static_cast<std::ptrdiff_t>(lo),
                                   older_.begin() + static_cast<std::ptrdiff_t>(hi), rec,
                                   [](const pending_block& b, std::uint64_t r) { return b.rec < r; });
  const auto i = static_cast<std::size_t>(it - older_.begin());
  if (i == older_.size() || it->rec != rec) return older_.size();
  finger_ = i;
  return i;
}

void peak_holdings::at_peak() {
  for (const std::uint32_t p : changed_) places_[p].peak = places_[p].now;
  changed_.clear();
  ++interval_;
}

std::map<std::int64_t, held_figures> peak_holdings::finish() {
  std::map<std::int64_t, held_figures> out;
  for (const place& p : places_)
    if (p.peak.blocks != 0 || p.peak.bytes != 0) out[p.location] = p.peak;
  // The ring is kept for the next image, emptied.
  std::vector<pending_block> ring = std::move(ring_);
  *this = peak_holdings{};
  std::fill(ring.begin(), ring.end(), pending_block{empty, 0, false, 0});
  ring_ = std::move(ring);
  return out;
}

}  // namespace kivdb::report
