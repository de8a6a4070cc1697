#include "report/block_count.h"

namespace kivdb::report {

namespace {

constexpr std::size_t initial_slots = 1024;
// Grown at half full: short probe runs, and the table doubles at most
// log2(blocks) times.
constexpr std::size_t max_load_den = 2;
// Record numbers of one image stay far below 2^48.
constexpr int image_shift = 48;

std::size_t hash(std::uint64_t id) {
  // Fibonacci hashing spreads consecutive record numbers.
  constexpr std::uint64_t golden = 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>((id * golden) >> 16);
}

}  // namespace

std::uint64_t block_count::id_of(std::size_t image, std::uint64_t rec) {
  return (static_cast<std::uint64_t>(image) << image_shift) | rec;
}

block_count::image_counts& block_count::counts(std::size_t image) {
  if (images_.size() < image) images_.resize(image);
  return images_[image - 1];
}

std::size_t block_count::find(std::uint64_t id) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash(id) & mask;; i = (i + 1) & mask)
    if (slots_[i].id == id || slots_[i].id == 0) return i;
}

void block_count::grow() {
  std::vector<slot> old = std::move(slots_);
  slots_.assign(old.empty() ? initial_slots : old.size() * 2, slot{});
  used_ = 0;
  for (const slot& s : old)
    if (s.id != 0) insert(s.id, s.b);
}

void block_count::insert(std::uint64_t id, block b) {
  if ((used_ + 1) * max_load_den > slots_.size()) grow();
  slot& s = slots_[find(id)];
  if (s.id == 0) ++used_;
  s = {id, b};
}

bool block_count::erase(std::uint64_t id) {
  if (slots_.empty()) return false;
  const std::size_t mask = slots_.size() - 1;
  std::size_t hole = find(id);
  if (slots_[hole].id == 0) return false;
  // Moves back each later entry of the probe run that may fill the hole.
  for (std::size_t next = (hole + 1) & mask; slots_[next].id != 0; next = (next + 1) & mask) {
    const std::size_t home = hash(slots_[next].id) & mask;
    const bool between = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
    if (between) continue;
    slots_[hole] = slots_[next];
    hole = next;
  }
  slots_[hole] = slot{};
  --used_;
  return true;
}

void block_count::made(std::size_t image, std::uint64_t rec, block b) {
  insert(id_of(image, rec), b);
  ++counts(image).alive;
}

void block_count::moved(std::size_t image, std::uint64_t from_rec, std::uint64_t rec, block b) {
  image_counts& c = counts(image);
  if (erase(id_of(image, from_rec))) --c.alive;
  insert(id_of(image, rec), b);
  ++c.alive;
}

void block_count::freed(std::size_t image, std::uint64_t rec) {
  if (erase(id_of(image, rec))) --counts(image).alive;
}

std::uint64_t block_count::alive(std::size_t image) const {
  return image <= images_.size() ? images_[image - 1].alive : 0;
}

void block_count::set_peak(std::size_t image, std::uint64_t rec) { counts(image).peak_rec = rec; }

void block_count::dropped(std::size_t image, std::uint64_t rec, std::uint64_t freed_by) {
  if (!erase(id_of(image, rec))) return;
  image_counts& c = counts(image);
  --c.alive;
  if (freed_by <= c.peak_rec) ++c.dropped_before_peak;
}

std::uint64_t block_count::dropped_before_peak(std::size_t image) const {
  return image <= images_.size() ? images_[image - 1].dropped_before_peak : 0;
}

void block_count::for_each(const std::function<void(const block&)>& each) const {
  for (const slot& s : slots_)
    if (s.id != 0) each(s.b);
}

}  // namespace kivdb::report
