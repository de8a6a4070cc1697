#pragma once

#include <cstddef>
#include <cstdint>

namespace kivrec {

// What the recorder keeps of an interned stack.
struct stack_entry {
  std::uint32_t key = 0;  // location key: 1, 2, 3 ... in the order of first sight
  std::uint16_t malloc_id = 0;
};

// Multiply-rotate over the frames and generation; never 0.
std::uint64_t stack_hash(const std::uint64_t* frames, std::uint32_t count, std::uint32_t generation);

// Distinct call stacks, each under a key of its own. A stack is its frames
// and the object generation it was captured in; lookups hash the whole
// stack and compare it frame by frame, so two different stacks never share
// a key. Slots and frames live in memory mapped from the system (the
// frames in one region that grows by remapping, addressed by offset).
class stack_table {
 public:
  using hash_function = std::uint64_t (*)(const std::uint64_t*, std::uint32_t, std::uint32_t);

  // Any hash works (a poor one only makes lookups slower).
  constexpr explicit stack_table(hash_function hash = stack_hash) : hash_(hash) {}
  stack_table(const stack_table&) = delete;
  stack_table& operator=(const stack_table&) = delete;

  // The entry of the stack; `added` tells whether it was new (its
  // malloc id is then for the caller to fill in). Null when no memory
  // could be mapped.
  // The entry of the stack when it is known, else null.
  stack_entry* find(const std::uint64_t* frames, std::uint32_t count, std::uint32_t generation) const;
  stack_entry* intern(const std::uint64_t* frames, std::uint32_t count, std::uint32_t generation, bool* added);
  std::size_t size() const { return count_; }
  // Forgets every stack; keys start at 1 again.
  void clear();

 private:
  // A stored stack: its header, then its frames.
  struct stored {
    std::uint32_t count;
    std::uint32_t generation;
    stack_entry entry;
  };
  struct slot {
    std::uint64_t hash;    // 0: empty
    std::uint64_t offset;  // of its stored stack in the frame region, in words
  };
  static constexpr std::size_t first_slots = 1 << 12;
  static constexpr std::size_t first_words = 1 << 16;

  stored* at(std::uint64_t offset) const { return reinterpret_cast<stored*>(words_ + offset); }
  bool equal(const slot& s, std::uint64_t hash, const std::uint64_t* frames, std::uint32_t count,
             std::uint32_t generation) const;
  bool grow_slots();
  bool reserve_words(std::size_t words);

  hash_function hash_;
  slot* slots_ = nullptr;
  std::size_t slot_capacity_ = 0;  // a power of two
  std::size_t count_ = 0;
  std::uint64_t* words_ = nullptr;
  std::size_t word_capacity_ = 0;
  std::size_t words_used_ = 0;
};

}  // namespace kivrec
