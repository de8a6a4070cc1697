#include "report/peak_holdings.h"

#include <algorithm>
#include <utility>

namespace kivdb::report {

namespace {

// The record number of an empty slot: memory records count from 1 and
// never reach it.
constexpr std::uint64_t empty = UINT64_MAX;
constexpr std::size_t first_capacity = 1024;
// Blocks freed within this many records of their allocation (a power of
// two) never reach the hash table.
constexpr std::size_t ring_size = std::size_t{1} << 16;

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
  if (!lasting && rec != empty) keep_recent({rec, p, size});
}

void peak_holdings::keep_recent(const pending_block& block) {
  if (ring_.empty()) ring_.assign(ring_size, {empty, 0, 0});
  pending_block& slot = ring_[block.rec & (ring_size - 1)];
  if (slot.rec != empty) keep(slot);
  slot = block;
}

std::size_t peak_holdings::slot_of(std::uint64_t rec) const {
  const std::size_t mask = pending_.size() - 1;
  std::size_t i = hash_index::mix(rec) & mask;
  while (pending_[i].rec != empty && pending_[i].rec != rec) i = (i + 1) & mask;
  return i;
}

void peak_holdings::keep(const pending_block& block) {
  if (2 * (pending_count_ + 1) > pending_.size()) grow();
  pending_block& slot = pending_[slot_of(block.rec)];
  if (slot.rec == empty) ++pending_count_;
  slot = block;
}

void peak_holdings::grow() {
  std::vector<pending_block> old = std::exchange(
      pending_, std::vector<pending_block>(pending_.empty() ? first_capacity : 2 * pending_.size(), {empty, 0, 0}));
  for (const pending_block& b : old)
    if (b.rec != empty) pending_[slot_of(b.rec)] = b;
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
  if (pending_count_ == 0) return;
  std::size_t i = slot_of(rec);
  if (pending_[i].rec == empty) return;
  take_off(pending_[i]);
  --pending_count_;
  // Entries after the hole that could sit in it move back, so that every
  // entry stays reachable from its home slot without tombstones.
  const std::size_t mask = pending_.size() - 1;
  for (std::size_t j = (i + 1) & mask; pending_[j].rec != empty; j = (j + 1) & mask) {
    const std::size_t home = hash_index::mix(pending_[j].rec) & mask;
    // It may fill the hole unless its home lies after the hole, up to it.
    const bool movable = i <= j ? (home <= i || home > j) : (home <= i && home > j);
    if (!movable) continue;
    pending_[i] = pending_[j];
    i = j;
  }
  pending_[i].rec = empty;
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
  std::fill(ring.begin(), ring.end(), pending_block{empty, 0, 0});
  ring_ = std::move(ring);
  return out;
}

}  // namespace kivdb::report
