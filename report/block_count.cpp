#include "report/block_count.h"

namespace kivdb::report {

block_count::image_blocks& block_count::of(std::size_t image) {
  if (images_.size() < image) images_.resize(image);
  return images_[image - 1];
}

void block_count::set(std::vector<bool>& bits, std::uint64_t rec) {
  if (bits.size() <= rec) bits.resize(std::max<std::size_t>(rec + 1, bits.size() * 2));
  bits[rec] = true;
}

bool block_count::test(const std::vector<bool>& bits, std::uint64_t rec) { return rec < bits.size() && bits[rec]; }

void block_count::ended(std::size_t image, std::uint64_t block, std::uint64_t freed_by, bool by_id) {
  image_blocks& b = of(image);
  set(b.ends, block);
  if (by_id) b.drops.push_back({freed_by, block});
}

bool block_count::made(std::size_t image, std::uint64_t rec) {
  image_blocks& b = of(image);
  set(b.made, rec);
  ++b.alive;
  return !test(b.ends, rec);
}

// The block it had ends here (its "freemem" row says so) and goes on under
// this record.
bool block_count::moved(std::size_t image, std::uint64_t from_rec, std::uint64_t rec) {
  image_blocks& b = of(image);
  if (test(b.made, from_rec) && b.alive != 0) --b.alive;
  return made(image, rec);
}

void block_count::freed(std::size_t image) {
  image_blocks& b = of(image);
  if (b.alive != 0) --b.alive;
}

// Of the blocks the free id or reset id drops, those made by allocations
// with free count; the others were allocations without free.
void block_count::dropped(std::size_t image, std::uint64_t rec, std::vector<std::uint64_t>* blocks) {
  image_blocks& b = of(image);
  while (b.next_drop < b.drops.size() && b.drops[b.next_drop].freed_by < rec) ++b.next_drop;
  for (; b.next_drop < b.drops.size() && b.drops[b.next_drop].freed_by == rec; ++b.next_drop) {
    const std::uint64_t block = b.drops[b.next_drop].block;
    if (blocks != nullptr) blocks->push_back(block);
    if (test(b.made, block) && b.alive != 0) --b.alive;
  }
}

std::uint64_t block_count::alive(std::size_t image) const {
  return image >= 1 && image <= images_.size() ? images_[image - 1].alive : 0;
}

}  // namespace kivdb::report
