#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "output/out_stream.h"
#include "runtime/settings.h"

// Counter blocks of memory accounting. The same block type is kept at every
// level (run, malloc id, id colour, process, process id, process id colour);
// only the counter width differs.
//
// The counters are updated on every memory record of a trace, so the update
// verbs below are plain inline arithmetic on fields; the virtual interface of
// the pieces (Clear, dump) is only used when a row is written.
//
// Arithmetic wraps modulo 2^N for signed widths too: a hostile or simply very
// long trace can push a 32-bit process colour counter past its range, and that
// must neither trap nor be undefined.

namespace kiv_stat_detail {

template <typename T>
constexpr T wrap_add(T a, T b) {
  using U = std::make_unsigned_t<T>;
  return static_cast<T>(static_cast<U>(a) + static_cast<U>(b));
}

template <typename T>
constexpr T wrap_sub(T a, T b) {
  using U = std::make_unsigned_t<T>;
  return static_cast<T>(static_cast<U>(a) - static_cast<U>(b));
}

}  // namespace kiv_stat_detail

template <typename T>
class KivStatBase {
 public:
  KivStatBase() = default;
  KivStatBase(const KivStatBase&) = default;
  KivStatBase& operator=(const KivStatBase&) = default;
  virtual ~KivStatBase() = default;

  // Zeroes the counting fields of the piece.
  virtual void Clear() {}
  // Writes the piece's fields as CSV columns separated by data_sep.
  virtual void dump(out_stream& os) const = 0;
};

// A current or cumulative amount: bytes requested, bytes including the
// allocator's overhead, number of blocks.
template <typename T>
class KivStatSize final : public KivStatBase<T> {
 public:
  T size{};
  T tot_size{};
  T count{};

  void Clear() override { size = tot_size = count = T{}; }
  void dump(out_stream& os) const override { os << size << data_sep << tot_size << data_sep << count; }

  void add(T s, T t) {
    size = kiv_stat_detail::wrap_add(size, s);
    tot_size = kiv_stat_detail::wrap_add(tot_size, t);
  }
  void sub(T s, T t) {
    size = kiv_stat_detail::wrap_sub(size, s);
    tot_size = kiv_stat_detail::wrap_sub(tot_size, t);
  }
  void add_counted(T s, T t) {
    add(s, t);
    count = kiv_stat_detail::wrap_add(count, T{1});
  }
  void sub_counted(T s, T t) {
    sub(s, t);
    count = kiv_stat_detail::wrap_sub(count, T{1});
  }
};

// A pair of amounts without a count: used for maxima and for running sums
// (the owner decides which; the piece never compares by itself).
template <typename T>
class KivStatPeak final : public KivStatBase<T> {
 public:
  T size{};
  T tot_size{};

  void Clear() override { size = tot_size = T{}; }
  void dump(out_stream& os) const override { os << size << data_sep << tot_size; }

  void add(T s, T t) {
    size = kiv_stat_detail::wrap_add(size, s);
    tot_size = kiv_stat_detail::wrap_add(tot_size, t);
  }
  void sub(T s, T t) {
    size = kiv_stat_detail::wrap_sub(size, s);
    tot_size = kiv_stat_detail::wrap_sub(tot_size, t);
  }
  // Each field is raised on its own, compared in the counter's own type.
  void raise_to(const KivStatSize<T>& cur) {
    if (cur.size > size) size = cur.size;
    if (cur.tot_size > tot_size) tot_size = cur.tot_size;
  }
};

// Number of records counted, written together with the count scaled down by
// a fixed divisor (a coarse column that is cheap to group by).
template <typename T>
class KivStatRec final : public KivStatBase<T> {
 public:
  T count{};
  T divisor;

  explicit KivStatRec(T div) : divisor(div) {}

  void Clear() override { count = T{}; }
  // Owners always pass a non-zero divisor; a zero one writes 0 instead of
  // trapping on the division.
  void dump(out_stream& os) const override { os << count << data_sep << scaled(); }
  T scaled() const { return divisor == T{} ? T{} : static_cast<T>(count / divisor); }

  T next() { return count = kiv_stat_detail::wrap_add(count, T{1}); }
};

template <typename T>
out_stream& operator<<(out_stream& os, const KivStatBase<T>& piece) {
  piece.dump(os);
  return os;
}

// The statistics block of one level. Each update verb also counts the record
// in recs and returns the new record count.
template <typename T>
class KivStat {
 public:
  KivStatSize<T> cur_wf;   // with-free memory currently allocated
  KivStatSize<T> tot_wf;   // every with-free allocation ever counted
  KivStatSize<T> freed;    // every free counted
  KivStatSize<T> cur_nf;   // no-free memory currently allocated
  KivStatPeak<T> peak_wf;  // highest cur_wf size and tot_size, each on its own
  KivStatPeak<T> sum_nf;   // no-free bytes allocated since the start or the last reset
  KivStatRec<T> recs;      // memory records that touched this block
  KivStatPeak<T> in_use;   // with-free and no-free bytes in use together

  explicit KivStat(T recs_divisor) : recs(recs_divisor) {}

  void clearstats() {
    cur_wf.Clear();
    cur_nf.Clear();
  }
  void clearstats_all() {
    cur_wf.Clear();
    cur_nf.Clear();
    peak_wf.Clear();
    sum_nf.Clear();
  }
  void clearstats_peak() { in_use.Clear(); }

  // Allocation with free.
  T allocate_wf(T size, T tot_size) {
    cur_wf.add_counted(size, tot_size);
    tot_wf.add_counted(size, tot_size);
    peak_wf.raise_to(cur_wf);
    in_use.add(size, tot_size);
    return recs.next();
  }

  // Allocation without free.
  T allocate_nf(T size, T tot_size) {
    cur_nf.add_counted(size, tot_size);
    sum_nf.add(size, tot_size);
    in_use.add(size, tot_size);
    return recs.next();
  }

  // Free of a with-free block.
  T free(T size, T tot_size) {
    cur_wf.sub_counted(size, tot_size);
    freed.add_counted(size, tot_size);
    in_use.sub(size, tot_size);
    return recs.next();
  }

  // Free that leaves the block counts alone: used at the colour levels, and
  // for the bytes given back by a realloc that shrinks a block in place.
  T free_no_count(T size, T tot_size) {
    cur_wf.sub(size, tot_size);
    freed.add(size, tot_size);
    in_use.sub(size, tot_size);
    return recs.next();
  }

  // In-place shrink of a block by the given differences (block stays alive).
  T realloc_shrink(T size_diff, T tot_size_diff) { return free_no_count(size_diff, tot_size_diff); }

  // Release of a whole malloc id's current memory: amounts only, no counts,
  // no record.
  void release_wf(T size, T tot_size) {
    cur_wf.sub(size, tot_size);
    in_use.sub(size, tot_size);
  }
  void release_nf(T size, T tot_size) {
    cur_nf.sub(size, tot_size);
    in_use.sub(size, tot_size);
  }
};

// Counters of one malloc id as a whole plus one owned block per colour. A
// colour entry stays null until its colour exists.
template <typename T, typename U>
class KivMalidStat {
 public:
  int nr_colors = 0;
  KivStat<T> stat;
  std::vector<KivStat<U>*> colors;

  explicit KivMalidStat(T stat_divisor) : stat(stat_divisor) {}

  // With every colour block created at once.
  KivMalidStat(T stat_divisor, int colours, U color_divisor) : stat(stat_divisor) {
    set_colors(colours);
    for (auto& c : colors) c = new KivStat<U>(color_divisor);
  }

  KivMalidStat(const KivMalidStat&) = delete;
  KivMalidStat& operator=(const KivMalidStat&) = delete;

  ~KivMalidStat() { delete_colors(); }

  // Resizes to n colours with null entries (a negative n means none); blocks
  // created before are deleted.
  void set_colors(int n) {
    delete_colors();
    nr_colors = n < 0 ? 0 : n;
    colors.assign(static_cast<std::size_t>(nr_colors), nullptr);
  }

  // The block of colour c, or null when c has no block.
  KivStat<U>* color(long long c) const {
    if (c < 0 || c >= nr_colors || static_cast<std::size_t>(c) >= colors.size()) return nullptr;
    return colors[static_cast<std::size_t>(c)];
  }

  // Sets the number of colours without creating any storage: the colour
  // vector grows as colours get their blocks (add_color).
  void set_color_count(int n) {
    delete_colors();
    nr_colors = n < 0 ? 0 : n;
  }

  // Creates the block of colour c when it is in range and not there yet;
  // returns the colour's block (null when c is out of range).
  KivStat<U>* add_color(long long c, U divisor) {
    if (c < 0 || c >= nr_colors) return nullptr;
    if (static_cast<std::size_t>(c) >= colors.size()) colors.resize(static_cast<std::size_t>(c) + 1, nullptr);
    auto& slot = colors[static_cast<std::size_t>(c)];
    if (slot == nullptr) slot = new KivStat<U>(divisor);
    return slot;
  }

  // Applies one clearing operation to every colour block, first to last.
  void clear_colors(void (KivStat<U>::*op)()) {
    for (KivStat<U>* c : colors) {
      if (c != nullptr) (c->*op)();
    }
  }

 private:
  void delete_colors() {
    const std::size_t owned = std::min(colors.size(), static_cast<std::size_t>(nr_colors < 0 ? 0 : nr_colors));
    for (std::size_t i = 0; i < owned; ++i) delete colors[i];
    colors.clear();
  }
};
