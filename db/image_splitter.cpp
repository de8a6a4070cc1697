#include "db/image_splitter.h"

#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

namespace kivdb {

namespace {

// A memory row that frees blocks, as the freemem rows it causes name it:
// the kind in the top bits, the freed block's record number below.
constexpr int kind_shift = 61;
constexpr std::uint64_t other_mask = (std::uint64_t{1} << kind_shift) - 1;
enum free_kind : std::uint64_t { frees_none, frees_one, moves_one, frees_id, resets_id };

free_kind kind_of_tag(std::string_view tag) {
  if (tag == "f") return frees_one;
  if (tag == "r") return moves_one;
  if (tag == "F") return frees_id;
  if (tag == "Z") return resets_id;
  return frees_none;
}

constexpr std::string_view no_object = "(no object)";
constexpr std::string_view no_function = "(no function)";

std::uint64_t u64(const field& f) { return static_cast<std::uint64_t>(f.number); }
std::uint32_t u32(const field& f) { return static_cast<std::uint32_t>(f.number); }

}  // namespace

// What the rows of one image labelled so far tell the labels of other
// tables; gathered only for images of a pid with several headers.
struct image_evidence {
  std::vector<std::uint64_t> frees;  // by record number
  std::unordered_set<std::int64_t> locations;
  std::unordered_set<std::uint32_t> malids;
  std::unordered_map<std::uint32_t, std::uint32_t> arc_groups_seen;
};

struct image_splitter::state {
  const image_plan& plan;
  std::vector<std::optional<std::uint64_t>> last_rec;
  std::vector<image_evidence> evidence;
  // Per pid: its images of each kind, in order.
  std::unordered_map<std::int32_t, std::vector<std::size_t>> all_by_pid, read_by_pid, dumped_by_pid, memory_by_pid;

  explicit state(const image_plan& p) : plan(p), last_rec(p.images().size()), evidence(p.images().size()) {
    for (std::size_t n = 1; n <= p.images().size(); ++n) {
      const process_image& image = p.image(n);
      all_by_pid[image.pid].push_back(n);
      if (image.read) read_by_pid[image.pid].push_back(n);
      if (image.dumped) dumped_by_pid[image.pid].push_back(n);
      if (image.read && (!image.ended || image.end_rec != 0)) memory_by_pid[image.pid].push_back(n);
    }
  }
  bool shared_pid(std::int32_t pid) const {
    const auto it = all_by_pid.find(pid);
    return it != all_by_pid.end() && it->second.size() > 1;
  }
  image_evidence& of(std::size_t image) { return evidence[image - 1]; }
};

namespace {

using images_of_pid = std::unordered_map<std::int32_t, std::vector<std::size_t>>;

// Where the rows of one pid are among that pid's images.
struct cursor {
  const std::vector<std::size_t>* images = nullptr;
  std::size_t at = 0;
  bool started = false;
  std::uint64_t last = 0;  // the table's order key of the previous row
  std::size_t rows = 0;    // rows given the current image
  bool done = false;       // the current image has all its rows

  std::size_t image() const { return (*images)[at]; }
  bool single() const { return images->size() == 1; }
  void advance() {
    if (at + 1 < images->size()) {
      ++at;
      rows = 0;
      done = false;
    }
  }
};

// The labeller of a table whose rows follow their pid: one cursor per pid,
// the last one cached.
class pid_labeller : public row_labeller {
 public:
  pid_labeller(const table_def& table, const images_of_pid& images)
      : images_(images), pid_(stored_index(table, "pid")), image_(table.stored_count()) {}

  void label(std::span<field> row) final {
    field& out = row[image_];
    out = {{}, 0, false};
    cursor* c = cursor_of(static_cast<std::int32_t>(row[pid_].number));
    if (c == nullptr) return;  // a pid no header of the run has: image 0
    out.number = static_cast<std::int64_t>(place(*c, row));
    c->started = true;
  }

 protected:
  // The image of the row; moves the cursor when the row starts another.
  virtual std::size_t place(cursor& c, std::span<const field> row) = 0;

  // Keeps the cursor when the row is in order and fits the current image;
  // else moves it to the first later image it fits; else keeps it when in
  // order, or moves it one image on.
  template <typename Fits>
  static void walk(cursor& c, bool in_order, Fits fits) {
    if (in_order && fits(c.image())) return;
    for (std::size_t j = c.at + 1; j < c.images->size(); ++j) {
      if (!fits((*c.images)[j])) continue;
      c.at = j;
      return;
    }
    if (!in_order) c.advance();
  }

 private:
  cursor* cursor_of(std::int32_t pid) {
    if (cached_ != nullptr && pid == cached_pid_) return cached_;
    auto it = cursors_.find(pid);
    if (it == cursors_.end()) {
      const auto images = images_.find(pid);
      if (images == images_.end() || images->second.empty()) return nullptr;
      it = cursors_.try_emplace(pid).first;
      it->second.images = &images->second;
    }
    cached_pid_ = pid;
    cached_ = &it->second;
    return cached_;
  }

  const images_of_pid& images_;
  std::size_t pid_;
  std::size_t image_;
  std::unordered_map<std::int32_t, cursor> cursors_;
  std::int32_t cached_pid_ = 0;
  cursor* cached_ = nullptr;
};

class memory_labeller final : public pid_labeller {
 public:
  memory_labeller(const table_def& t, image_splitter::state& s)
      : pid_labeller(t, s.memory_by_pid), s_(s), tag_(stored_index(t, "tag")), rec_(stored_index(t, "rec")),
        other_(stored_index(t, "other_rec")), location_(stored_index(t, "location")) {}

 private:
  // A header's rows end with the record its End marker names; a row of
  // record 1 starts a header too (the rows of the one before are cut).
  std::size_t place(cursor& c, std::span<const field> row) override {
    const std::uint64_t rec = u64(row[rec_]);
    if (c.rows != 0 && (c.done || rec == 1)) c.advance();
    const std::size_t image = c.image();
    ++c.rows;
    const process_image& p = s_.plan.image(image);
    if (p.ended && rec == p.end_rec) c.done = true;
    auto& last = s_.last_rec[image - 1];
    if (!last || rec > *last) last = rec;
    if (s_.shared_pid(p.pid)) remember(image, rec, row);
    return image;
  }

  void remember(std::size_t image, std::uint64_t rec, std::span<const field> row) {
    image_evidence& e = s_.of(image);
    if (row[location_].number != 0) e.locations.insert(row[location_].number);
    const free_kind kind = kind_of_tag(row[tag_].text);
    if (kind == frees_none || rec == 0) return;
    if (e.frees.size() <= rec) e.frees.resize(rec + 1);
    e.frees[rec] = (static_cast<std::uint64_t>(kind) << kind_shift) | (u64(row[other_]) & other_mask);
  }

  image_splitter::state& s_;
  std::size_t tag_, rec_, other_, location_;
};

class freemem_labeller final : public pid_labeller {
 public:
  freemem_labeller(const table_def& t, image_splitter::state& s)
      : pid_labeller(t, s.read_by_pid), s_(s), rec_(stored_index(t, "rec")), freed_by_(stored_index(t, "freed_by")),
        tag_(stored_index(t, "tag")) {}

 private:
  // Rows come in freeing order within a header; a row fits the header
  // whose memory row at freed_by made it.
  std::size_t place(cursor& c, std::span<const field> row) override {
    if (c.single()) return c.image();
    const std::uint64_t freed_by = u64(row[freed_by_]);
    const std::uint64_t block = u64(row[rec_]);
    const free_kind kind = kind_of_tag(row[tag_].text);
    walk(c, !c.started || freed_by >= c.last, [&](std::size_t image) {
      const std::vector<std::uint64_t>& frees = s_.of(image).frees;
      if (freed_by >= frees.size()) return false;
      const std::uint64_t code = frees[freed_by];
      if ((code >> kind_shift) != kind) return false;
      return kind == frees_id || kind == resets_id || (code & other_mask) == (block & other_mask);
    });
    c.last = freed_by;
    return c.image();
  }

  image_splitter::state& s_;
  std::size_t rec_, freed_by_, tag_;
};

// Keys ascending within a header, and the image that knows the key.
class ordered_labeller : public pid_labeller {
 public:
  ordered_labeller(const table_def& t, image_splitter::state& s) : pid_labeller(t, s.dumped_by_pid), s_(s) {}

 protected:
  virtual std::uint64_t key(std::span<const field> row) const = 0;
  virtual bool knows(std::size_t image, std::span<const field> row) const = 0;
  virtual void note(std::size_t, std::span<const field>) {}

  image_splitter::state& s_;

 private:
  std::size_t place(cursor& c, std::span<const field> row) override {
    if (c.single()) return c.image();
    const std::uint64_t k = key(row);
    walk(c, !c.started || k > c.last, [&](std::size_t image) { return knows(image, row); });
    c.last = k;
    note(c.image(), row);
    return c.image();
  }
};

class malid_labeller final : public ordered_labeller {
 public:
  malid_labeller(const table_def& t, image_splitter::state& s)
      : ordered_labeller(t, s), malid_(stored_index(t, "malid")), location_(stored_index(t, "location")) {}

 private:
  std::uint64_t key(std::span<const field> row) const override { return u32(row[malid_]); }
  bool knows(std::size_t image, std::span<const field> row) const override {
    return s_.plan.image(image).reserved_ids.contains(u32(row[malid_]));
  }
  void note(std::size_t image, std::span<const field> row) override {
    image_evidence& e = s_.of(image);
    e.malids.insert(u32(row[malid_]));
    if (row[location_].number != 0) e.locations.insert(row[location_].number);
  }
  std::size_t malid_, location_;
};

class color_labeller final : public ordered_labeller {
 public:
  color_labeller(const table_def& t, image_splitter::state& s)
      : ordered_labeller(t, s), malid_(stored_index(t, "malid")), color_(stored_index(t, "color")) {}

 private:
  static constexpr int id_shift = 32;
  std::uint64_t key(std::span<const field> row) const override {
    return (std::uint64_t{u32(row[malid_])} << id_shift) | u32(row[color_]);
  }
  bool knows(std::size_t image, std::span<const field> row) const override {
    return s_.evidence[image - 1].malids.contains(u32(row[malid_]));
  }
  std::size_t malid_, color_;
};

class hashloc_labeller final : public ordered_labeller {
 public:
  hashloc_labeller(const table_def& t, image_splitter::state& s)
      : ordered_labeller(t, s), location_(stored_index(t, "location")) {}

 private:
  // Location keys are signed: ordered as signed numbers, shifted into the
  // unsigned range.
  static constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;
  std::uint64_t key(std::span<const field> row) const override { return u64(row[location_]) ^ sign_bit; }
  bool knows(std::size_t image, std::span<const field> row) const override {
    return s_.evidence[image - 1].locations.contains(row[location_].number);
  }
  std::size_t location_;
};

class arcs_labeller final : public pid_labeller {
 public:
  arcs_labeller(const table_def& t, image_splitter::state& s)
      : pid_labeller(t, s.read_by_pid), s_(s), process_(stored_index(t, "process_id")), arc_(stored_index(t, "arc")) {}

 private:
  static constexpr int process_shift = 32;
  // A group is one process's arcs from the lowest up; a group goes to the
  // first image that still expects a group of that process.
  std::size_t place(cursor& c, std::span<const field> row) override {
    if (c.single()) return c.image();
    const std::uint32_t process = u32(row[process_]);
    const std::uint32_t arc = u32(row[arc_]);
    const std::uint64_t k = (std::uint64_t{process} << process_shift) | arc;
    const bool new_group = !c.started || (c.last >> process_shift) != process || arc <= (c.last & 0xffffffffu);
    c.last = k;
    if (!new_group) return c.image();
    auto expects = [&](std::size_t image) {
      const auto& groups = s_.plan.image(image).arc_groups;
      const auto it = groups.find(process);
      const auto& seen = s_.of(image).arc_groups_seen;
      const auto taken = seen.find(process);
      return it != groups.end() && (taken == seen.end() ? 0 : taken->second) < it->second;
    };
    if (!expects(c.image())) {
      const bool had_one = s_.of(c.image()).arc_groups_seen.contains(process);
      const std::size_t before = c.at;
      walk(c, true, expects);
      if (c.at == before && had_one) c.advance();
    }
    ++s_.of(c.image()).arc_groups_seen[process];
    return c.image();
  }

  image_splitter::state& s_;
  std::size_t process_, arc_;
};

// Tables that mark the first row of each header's block: the blocks are
// the images of `images`, in order.
class block_labeller : public row_labeller {
 public:
  using starts_block = bool (*)(std::span<const field> row, const std::vector<std::size_t>& at);
  block_labeller(const table_def& t, const std::vector<std::size_t>& images, std::vector<std::size_t> at,
                 starts_block starts)
      : images_(images), at_(std::move(at)), starts_(starts), image_(t.stored_count()) {}

  void label(std::span<field> row) override {
    if (starts_(row, at_) && (block_ < 0 || static_cast<std::size_t>(block_) + 1 < images_.size())) ++block_;
    const std::size_t b = block_ < 0 ? 0 : static_cast<std::size_t>(block_);
    row[image_] = {{}, images_.empty() ? 0 : static_cast<std::int64_t>(images_[b]), false};
  }

 private:
  const std::vector<std::size_t>& images_;
  std::vector<std::size_t> at_;
  starts_block starts_;
  std::size_t image_;
  int block_ = -1;
};

std::unique_ptr<row_labeller> block_labeller_for(const table_def& t, const image_plan& plan) {
  auto make = [&](const std::vector<std::size_t>& images, std::vector<std::string_view> names,
                  block_labeller::starts_block starts) {
    std::vector<std::size_t> at;
    for (std::string_view n : names) at.push_back(stored_index(t, n));
    return std::make_unique<block_labeller>(t, images, std::move(at), starts);
  };
  if (t.name == "runs") return make(plan.dumped_images(), {}, [](auto, const auto&) { return true; });
  if (t.name == "marker")
    return make(plan.read_images(), {"grp", "kind"},
                [](std::span<const field> r, const std::vector<std::size_t>& at) {
                  return r[at[0]].text == "Record" && r[at[1]].text == "Begin";
                });
  if (t.name == "process")
    return make(plan.dumped_images(), {"process_id"},
                [](std::span<const field> r, const std::vector<std::size_t>& at) { return r[at[0]].number == 0; });
  if (t.name == "objects")
    return make(plan.dumped_images(), {"objid", "object"},
                [](std::span<const field> r, const std::vector<std::size_t>& at) {
                  return r[at[0]].number == 0 && r[at[1]].text == no_object;
                });
  if (t.name == "functions")
    return make(plan.dumped_images(), {"object", "objid", "funnr", "function"},
                [](std::span<const field> r, const std::vector<std::size_t>& at) {
                  return r[at[0]].text == no_object && r[at[1]].number == 0 && r[at[2]].number == 0 &&
                         r[at[3]].text == no_function;
                });
  return nullptr;
}

}  // namespace

image_splitter::image_splitter(const image_plan& plan) : state_(std::make_unique<state>(plan)) {}

image_splitter::~image_splitter() = default;

std::span<const std::string_view> image_splitter::label_order() {
  static constexpr std::string_view order[] = {"memory", "freemem", "malid", "color", "hashloc", "arcs"};
  return order;
}

std::span<const std::string_view> image_splitter::label_columns() {
  static constexpr std::string_view columns[] = {"pid",   "tag",   "rec",        "other_rec", "location", "freed_by",
                                                 "malid", "color", "process_id", "arc",       "grp",      "kind",
                                                 "objid", "object", "funnr",     "function"};
  return columns;
}

row_labeller* image_splitter::labeller(const table_def& t) {
  if (!t.per_image) return nullptr;
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (names_[i] == t.name) return labellers_[i].get();
  std::unique_ptr<row_labeller> made;
  state& s = *state_;
  if (t.name == "memory") made = std::make_unique<memory_labeller>(t, s);
  else if (t.name == "freemem") made = std::make_unique<freemem_labeller>(t, s);
  else if (t.name == "malid") made = std::make_unique<malid_labeller>(t, s);
  else if (t.name == "color") made = std::make_unique<color_labeller>(t, s);
  else if (t.name == "hashloc") made = std::make_unique<hashloc_labeller>(t, s);
  else if (t.name == "arcs") made = std::make_unique<arcs_labeller>(t, s);
  else made = block_labeller_for(t, s.plan);
  if (!made) throw std::logic_error("no labels for table " + t.name);
  names_.push_back(t.name);
  labellers_.push_back(std::move(made));
  return labellers_.back().get();
}

void image_splitter::restart(const table_def& t) {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (names_[i] != t.name) continue;
    names_.erase(names_.begin() + static_cast<std::ptrdiff_t>(i));
    labellers_.erase(labellers_.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

const std::vector<std::optional<std::uint64_t>>& image_splitter::last_memory_recs() const {
  return state_->last_rec;
}

}  // namespace kivdb
