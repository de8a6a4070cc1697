// The report of runs written with our trace writer, converted by kiv and
// loaded by kivdb into SQLite and PostgreSQL: every figure of the summary
// and of the top lists is checked against sums computed straight from the
// CSV rows kiv wrote (these runs give each header a pid of its own).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <tuple>

#include "db/database.h"
#include "db/schema.h"
#include "report/renderers.h"
#include "report/directory_rows.h"
#include "report/report_builder.h"
#include "csv_rows.h"
#include "support/pg_cluster.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"
#include "writer/trace_session.h"

namespace kivdb::report {
namespace {

namespace fs = std::filesystem;
using kivtest::csv_table;
using kivtest::read_table;

constexpr std::uint64_t temporary_distance = 10;
constexpr int churn_steps = 1500;
constexpr std::uint32_t leak_blocks = 7;
constexpr std::uint32_t leak_size = 1000;
constexpr std::uint32_t temp_blocks = 20;
constexpr std::uint32_t temp_size = 50;
constexpr std::uint32_t child_leak_blocks = 2;
// Runs whose headers each have a pid of their own: checked against the CSV
// sums. 4715 holds 4714's images under one pid; 4716 counts blocks as it
// writes them; 4717 has no locations, malloc ids or call flow; 4718 is
// kivgen's, with every record type.
const std::vector<std::string> csv_runs = {"4711", "4712", "4713", "4714", "4718"};
const std::vector<std::string> all_runs = {"4711", "4712", "4713", "4714", "4715", "4716", "4717", "4718"};
constexpr std::uint32_t big_block = 50'000'000;

// ---- runs written with the trace writer --------------------------------

class run_writer {
 public:
  run_writer(const std::string& dir, const std::string& runid, std::int32_t pid = 1234,
             const std::string& base = "kiv")
      : s_(options(dir, runid, pid, base)) {}

  static kivw::trace_options options(const std::string& dir, const std::string& runid, std::int32_t pid,
                                     const std::string& base) {
    kivw::trace_options o = kivw::deterministic_options(dir, runid, pid);
    o.base = base;
    return o;
  }

  kivw::trace_session& session() { return s_; }

  std::uint64_t alloc_at(std::uint32_t id, std::uint32_t size, std::uint64_t loc) {
    const std::uint64_t addr = next_addr_;
    next_addr_ += 0x1000;
    s_.malloc_wf(id, 0, addr, size, size + 16, loc, "");
    return addr;
  }

  std::uint64_t alloc(std::uint32_t id, std::uint32_t size, std::uint64_t loc, const std::string& text) {
    const std::uint64_t addr = next_addr_;
    next_addr_ += 0x1000;
    s_.malloc_wf(id, 0, addr, size, size + 16, loc, text);
    return addr;
  }

  // Known leaks, temporaries and peaks, random churn among them, a second
  // process, user markers and a call arc.
  void rich() {
    s_.process_start(7, 1234, "main");
    s_.schedule(0, 7);
    s_.object_load(1);
    s_.object_function_load(1, 1, "main_loop");
    s_.object_function_load(1, 2, "build_cache");
    s_.object_link(7, 1);
    s_.reserve_id(10, 64, 0x4000, "ids.c:1", 1, "general heap");
    s_.reserve_id(20, 64, 0x4001, "ids.c:2", 1, "string pool");
    s_.marker("start of work");
    s_.flow_in(1, 1, 1, 2);
    for (std::uint32_t i = 0; i < leak_blocks; ++i) alloc(20, leak_size, 0x5001, "leak.c:99");
    s_.flow_out();
    for (std::uint32_t i = 0; i < temp_blocks; ++i) s_.free(10, 0, alloc(10, temp_size, 0x5002, "temp.c:5"), 0x5003, "temp.c:6");
    churn(7);
    s_.marker("half way");
    s_.process_start(8, 7, "worker");
    s_.schedule(7, 8);
    churn(8);
    s_.process_end(8);
    s_.schedule(8, 7);
    s_.process_end(7);
    s_.close();
  }

  // Another process image of a run: its own numbering of locations and
  // malloc ids, the rich image's leak place under another key, and that
  // key naming another place; one big block makes its peak the run's.
  void second_image() {
    s_.process_start(7, 2001, "child");
    s_.schedule(0, 7);
    s_.reserve_id(30, 64, 0x4000, "ids.c:1", 1, "general heap");
    s_.reserve_id(10, 64, 0x4001, "ids.c:3", 1, "child pool");
    for (std::uint32_t i = 0; i < child_leak_blocks; ++i) alloc(30, leak_size, 0x7001, "leak.c:99");
    alloc(10, leak_size, 0x5001, "other.c:1");
    s_.free(30, 0, alloc(30, big_block, 0x7002, "big.c:1"), 0x7002, "big.c:1");
    churn(9);
    s_.process_end(7);
    s_.close();
  }

  void empty() {
    s_.process_start(7, 1234, "idle");
    s_.schedule(0, 7);
    s_.marker("nothing happens");
    s_.process_end(7);
    s_.close();
  }

  // Allocations under an id never reserved, at no location and outside any
  // call flow: every list's entries fall into a placeholder.
  void bare() {
    s_.process_start(7, 1234, "bare");
    s_.schedule(0, 7);
    for (int i = 0; i < 4; ++i) s_.free(5, 0, alloc_at(5, 64, 0), 0, "");
    alloc_at(5, 128, 0);
    s_.close();
  }

  void one_record() {
    s_.process_start(7, 1234, "single");
    s_.schedule(0, 7);
    s_.reserve_id(10, 64, 0x4000, "ids.c:1", 1, "general heap");
    alloc(10, 123, 0x5001, "one.c:1");
    s_.close();
  }

 private:
  void churn(std::uint32_t seed) {
    std::mt19937 random(seed);
    const std::vector<std::pair<std::uint64_t, std::string>> places = {
        {0x6001, "a.c:1"}, {0x6002, "b.c:2"}, {0x6003, "c.c:3"}, {0x6004, "d.c:4"}, {0x6005, "e.c:5"}};
    std::vector<std::pair<std::uint32_t, std::uint64_t>> live;  // id, address
    for (int step = 0; step < churn_steps; ++step) {
      const auto& place = places[random() % places.size()];
      const std::uint32_t id = random() % 2 == 0 ? 10 : 20;
      const unsigned action = random() % 10;
      if (action < 5 || live.empty()) {
        live.emplace_back(id, alloc(id, 1 + random() % 5000, place.first, place.second));
      } else if (action < 8) {
        // Mostly recent blocks, so that some are temporary.
        const std::size_t back = std::min<std::size_t>(live.size() - 1, random() % 16);
        const auto block = live[live.size() - 1 - back];
        live.erase(live.end() - 1 - static_cast<std::ptrdiff_t>(back));
        s_.free(block.first, 0, block.second, place.first, place.second);
      } else if (action == 8) {
        s_.malloc_nf(id, 0, next_addr_, 64 + random() % 512, 600, place.first, place.second);
        next_addr_ += 0x1000;
      } else {
        const auto block = live[random() % live.size()];
        s_.free_realloc(block.first, 0, block.second, 0, 1 + random() % 6000, 6100, place.first, place.second);
      }
    }
  }

  kivw::trace_session s_;
  std::uint64_t next_addr_ = 0x100000;
};

// Writes allocations, frees, reallocs in place that grow and shrink, free
// ids and reset ids, and counts the blocks alive record by record as it
// writes them: what the report must say.
class counting_writer {
 public:
  counting_writer(const std::string& dir, const std::string& runid) : s_(kivw::deterministic_options(dir, runid)) {
    s_.process_start(7, 1234, "blocks");
    s_.schedule(0, 7);
  }

  void reserve(std::uint32_t id) { s_.reserve_id(id, 64, 0x4000 + id, "ids.c:" + std::to_string(id), 1, "id " + std::to_string(id)); }

  std::uint64_t alloc(std::uint32_t id, std::uint32_t size) {
    const std::uint64_t addr = next_addr_;
    next_addr_ += 0x1000;
    s_.malloc_wf(id, 0, addr, size, size + 16, 0x5001, "make.c:1");
    blocks_[addr] = {id, size};
    recorded();
    return addr;
  }
  void nofree(std::uint32_t id, std::uint32_t size) {
    s_.malloc_nf(id, 0, next_addr_, size, size + 16, 0x5002, "keep.c:2");
    next_addr_ += 0x1000;
    nofree_tot_[id] += size + 16;
    recorded();
  }
  void free(std::uint64_t addr) {
    s_.free(blocks_.at(addr).id, 0, addr, 0x5003, "drop.c:3");
    blocks_.erase(addr);
    recorded();
  }
  void realloc_in_place(std::uint64_t addr, std::uint32_t size) {
    block& b = blocks_.at(addr);
    s_.free_realloc(b.id, 0, addr, 0, size, size + 16, 0x5004, "grow.c:4");
    b.size = size;
    recorded();
  }
  void free_id(std::uint32_t id) {
    s_.free_id(static_cast<std::int32_t>(id), 0x5005, "ids.c:9", tot_of(id), nofree_tot_[id]);
    drop(id);
  }
  void reset_id(std::uint32_t id) {
    s_.reset_id(static_cast<std::int32_t>(id), 0x5006, "ids.c:10", tot_of(id), nofree_tot_[id]);
    drop(id);
  }
  void close() {
    s_.process_end(7);
    s_.close();
  }

  std::uint64_t alive() const { return blocks_.size(); }
  std::uint64_t peak_bytes() const { return peak_bytes_; }
  std::uint64_t peak_rec() const { return peak_rec_; }
  std::uint64_t peak_blocks() const { return peak_blocks_; }

  // Blocks of three ids: some grow and shrink in place, one id is freed
  // whole before the peak (its blocks leave the count then), one reset
  // after it, and a big block makes the peak.
  void run() {
    for (std::uint32_t id : {10u, 20u, 30u}) reserve(id);
    std::vector<std::uint64_t> general;
    for (std::uint32_t i = 1; i <= 5; ++i) general.push_back(alloc(10, 100 * i));
    realloc_in_place(general[0], 1000);  // grows: kiv's count takes it as one more block
    realloc_in_place(general[1], 50);
    realloc_in_place(general[0], 2000);
    for (int i = 0; i < 3; ++i) alloc(30, 64);
    nofree(30, 32);
    free_id(30);
    std::vector<std::uint64_t> pool;
    for (std::uint32_t i = 0; i < 4; ++i) pool.push_back(alloc(20, 300));
    free(general[2]);
    free(alloc(20, 1'000'000));  // the peak
    reset_id(20);
    alloc(20, 77);
    realloc_in_place(general[3], 4000);
    close();
  }

 private:
  struct block {
    std::uint32_t id;
    std::uint32_t size;
  };
  std::int32_t tot_of(std::uint32_t id) const {
    std::int32_t tot = 0;
    for (const auto& [addr, b] : blocks_)
      if (b.id == id) tot += static_cast<std::int32_t>(b.size + 16);
    return tot;
  }
  void drop(std::uint32_t id) {
    std::erase_if(blocks_, [id](const auto& entry) { return entry.second.id == id; });
    nofree_tot_[id] = 0;
    recorded();
  }
  // After each memory record: the with-free bytes, and the first record
  // that reached their highest.
  void recorded() {
    ++rec_;
    std::uint64_t bytes = 0;
    for (const auto& [addr, b] : blocks_) bytes += b.size;
    if (bytes <= peak_bytes_) return;
    peak_bytes_ = bytes;
    peak_rec_ = rec_;
    peak_blocks_ = blocks_.size();
  }

  kivw::trace_session s_;
  std::map<std::uint64_t, block> blocks_;
  std::map<std::uint32_t, std::int32_t> nofree_tot_;
  std::uint64_t next_addr_ = 0x100000;
  std::uint64_t rec_ = 0;
  std::uint64_t peak_bytes_ = 0;
  std::uint64_t peak_rec_ = 0;
  std::uint64_t peak_blocks_ = 0;
};

// ---- the figures straight from the CSV rows -----------------------------

using figures = std::map<std::string, std::vector<std::int64_t>>;

struct expected_report {
  run_summary summary;
  std::map<std::string, figures> lists;
  std::uint64_t allocations = 0;
  std::uint64_t allocated_bytes = 0;
};

// Keys that hold within one header are taken with the header's pid.
using header_key = std::pair<std::int64_t, std::int64_t>;

std::map<header_key, std::string> column_map(const csv_table& t, const std::string& key,
                                             const std::string& value) {
  std::map<header_key, std::string> out;
  for (const auto& row : t.rows) out[{t.num(row, "pid"), t.num(row, key)}] = t.get(row, value);
  return out;
}

std::string place(const std::map<header_key, std::string>& sources, header_key key) {
  if (key.second == 0) return "(no location)";
  return sources.count(key) ? sources.at(key) : "location " + std::to_string(key.second);
}

void add(figures& f, const std::string& name, std::initializer_list<std::int64_t> values) {
  auto& entry = f[name];
  entry.resize(values.size());
  std::size_t i = 0;
  for (const auto v : values) entry[i++] += v;
}

// The memory rows of each header, in the order of the table: a header's
// rows follow one another and its record numbers rise.
std::vector<std::vector<const std::vector<std::string>*>> headers_of(const csv_table& m) {
  std::vector<std::vector<const std::vector<std::string>*>> headers;
  for (const auto& row : m.rows) {
    const auto* last = headers.empty() ? nullptr : headers.back().back();
    if (last == nullptr || m.num(*last, "pid") != m.num(row, "pid") || m.num(*last, "rec") > m.num(row, "rec"))
      headers.emplace_back();
    headers.back().push_back(&row);
  }
  return headers;
}

// Blocks are made by 'a' rows and by 'r' rows naming the block they move;
// one leaves with a "freemem" row naming its record number.
bool makes_block(const csv_table& m, const std::vector<std::string>& row) {
  const std::string& tag = m.get(row, "tag");
  return tag == "a" || (tag == "r" && m.num(row, "other_rec") != 0);
}

// The blocks of a header alive after record `upto`.
std::uint64_t alive_after(const csv_table& m, const std::vector<const std::vector<std::string>*>& rows,
                          const csv_table& freemem, std::int64_t upto) {
  const std::int64_t pid = m.num(*rows.front(), "pid");
  std::set<std::int64_t> alive;
  for (const auto* row : rows)
    if (m.num(*row, "rec") <= upto && makes_block(m, *row)) alive.insert(m.num(*row, "rec"));
  for (const auto& row : freemem.rows)
    if (freemem.num(row, "pid") == pid && freemem.num(row, "freed_by") <= upto) alive.erase(freemem.num(row, "rec"));
  return alive.size();
}

// What each location held at its header's peak (the first record that
// reached the header's highest with-free bytes): the blocks made by then
// and not freed by then, summed by the location's text over the headers.
void expect_peak_holdings(const csv_table& m, const csv_table& freemem,
                          const std::map<header_key, std::string>& sources, figures& held) {
  for (const auto& rows : headers_of(m)) {
    const std::int64_t pid = m.num(*rows.front(), "pid");
    std::int64_t top = -1;
    std::int64_t peak = 0;
    for (const auto* row : rows) {
      if (m.num(*row, "global_cur_wf_size") <= top) continue;
      top = m.num(*row, "global_cur_wf_size");
      peak = m.num(*row, "rec");
    }
    std::set<std::int64_t> gone;
    for (const auto& row : freemem.rows)
      if (freemem.num(row, "pid") == pid && freemem.num(row, "freed_by") <= peak) gone.insert(freemem.num(row, "rec"));
    for (const auto* row : rows) {
      const std::int64_t rec = m.num(*row, "rec");
      if (rec > peak || !makes_block(m, *row) || gone.count(rec)) continue;
      add(held, place(sources, {pid, m.num(*row, "location")}), {m.num(*row, "new_size"), 1});
    }
  }
}

// Alive and no-free at the end: each header's last row, added up; blocks
// alive: those made and not freed. Peak: the largest header peak, the
// earlier header on a tie, with the blocks alive at its record.
void expect_summary_from(const csv_table& m, const csv_table& freemem, expected_report& e) {
  run_summary& s = e.summary;
  s.memory_records = m.rows.size();
  const auto headers = headers_of(m);
  bool have_peak = false;
  for (const auto& rows : headers) {
    const auto& last = *rows.back();
    s.live_bytes_at_end += static_cast<std::uint64_t>(m.num(last, "global_cur_wf_size"));
    s.live_blocks_at_end += alive_after(m, rows, freemem, m.num(last, "rec"));
    s.nofree_bytes_at_end += static_cast<std::uint64_t>(m.num(last, "global_cur_nf_size"));
    const auto peak = static_cast<std::uint64_t>(m.num(last, "global_peak_wf_size"));
    if (have_peak && peak <= s.peak_bytes) continue;
    have_peak = true;
    s.peak_bytes = peak;
    for (const auto* row : rows) {
      if (static_cast<std::uint64_t>(m.num(*row, "global_cur_wf_size")) != peak) continue;
      s.peak_record = static_cast<std::uint64_t>(m.num(*row, "rec"));
      s.peak_blocks = alive_after(m, rows, freemem, m.num(*row, "rec"));
      s.peak_time = m.get(*row, "time");
      s.peak_pid = m.num(*row, "pid");
      break;
    }
  }
}

expected_report expect_from_csv(const fs::path& dir, const std::string& runid) {
  const csv_table m = read_table(dir, runid, "memory");
  const csv_table freemem = read_table(dir, runid, "freemem");
  const csv_table arcs = read_table(dir, runid, "arcs");
  const csv_table malid = read_table(dir, runid, "malid");
  const auto sources = column_map(read_table(dir, runid, "hashloc"), "location", "source");
  const auto malid_names = column_map(malid, "malid", "name");
  expected_report e;
  expect_summary_from(m, freemem, e);
  expect_peak_holdings(m, freemem, sources, e.lists["peak_by_location"]);
  e.summary.headers = read_table(dir, runid, "runs").rows.size();

  std::set<header_key> left;  // blocks that left the model, by pid and record number
  for (const auto& row : freemem.rows) left.insert({freemem.num(row, "pid"), freemem.num(row, "rec")});
  std::map<std::tuple<std::int64_t, std::int64_t, std::int64_t>, std::string> arc_names;
  for (const auto& row : arcs.rows)
    arc_names[{arcs.num(row, "pid"), arcs.num(row, "process_id"), arcs.num(row, "arc")}] =
        arcs.get(row, "caller_function") + " -> " + arcs.get(row, "callee_function");
  std::map<header_key, std::int64_t> allocation_place;  // with-free allocations by pid, record
  std::map<header_key, std::pair<std::int64_t, std::int64_t>> malid_peaks;
  for (const auto& row : m.rows) {
    const std::string tag = m.get(row, "tag");
    const std::int64_t pid = m.num(row, "pid");
    const std::int64_t rec = m.num(row, "rec");
    const header_key location{pid, m.num(row, "location")};
    auto& peak = malid_peaks[{pid, m.num(row, "malid")}];
    peak.first = std::max(peak.first, m.num(row, "malid_in_use_size"));
    peak.second = std::max(peak.second, m.num(row, "malid_cur_wf_size"));
    if (tag == "a" || tag == "n") {
      add(e.lists["allocations_by_location"], place(sources, location), {1, m.num(row, "size")});
      ++e.allocations;
      e.allocated_bytes += static_cast<std::uint64_t>(m.num(row, "size"));
    }
    if (tag == "a") allocation_place[{pid, rec}] = location.second;
    if (tag == "f") {
      const header_key made{pid, m.num(row, "other_rec")};
      if (allocation_place.count(made) && rec - made.second <= static_cast<std::int64_t>(temporary_distance))
        add(e.lists["temporary_by_location"], place(sources, {pid, allocation_place[made]}),
            {1, m.num(row, "new_size")});
    }
    if (makes_block(m, row) && !left.count({pid, rec})) {
      const std::int64_t size = m.num(row, "new_size");
      add(e.lists["leaks_by_location"], place(sources, location), {size, 1});
      const auto arc = arc_names.find({pid, m.num(row, "process_id"), m.num(row, "arc")});
      add(e.lists["leaks_by_arc"], arc == arc_names.end() ? "? -> ?" : arc->second, {size, 1});
    }
  }
  // Malloc ids of one name: the largest of their peaks, and the id of the
  // largest peak in use.
  for (const auto& [id, peak] : malid_peaks) {
    const std::string name = malid_names.count(id) ? malid_names.at(id) : "malloc id " + std::to_string(id.second);
    auto [entry, fresh] = e.lists["peak_by_malid"].try_emplace(name, std::vector<std::int64_t>{peak.first, peak.second, id.second});
    if (fresh) continue;
    auto& numbers = entry->second;
    if (peak.first > numbers[0]) numbers[2] = id.second;
    numbers[0] = std::max(numbers[0], peak.first);
    numbers[1] = std::max(numbers[1], peak.second);
  }
  return e;
}

figures as_figures(const top_list& list) {
  figures f;
  for (const auto& row : list.rows) {
    EXPECT_EQ(f.count(row.texts.front()), 0u) << list.key << ": " << row.texts.front() << " twice";
    f[row.texts.front()] = row.numbers;
  }
  return f;
}

// ---- the fixture: three runs in one database of each engine -------------

class ReportQuery : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<kivtest::scratch_dir>("kiv_report_query");
    write("4711", &run_writer::rich);
    write("4712", &run_writer::empty);
    write("4713", &run_writer::one_record);
    write_images("4714", {{1000, &run_writer::rich}, {2001, &run_writer::second_image},
                          {3001, &run_writer::one_record}});
    // The same three images under one pid, as a program that executes
    // another leaves them.
    write_images("4715", {{1234, &run_writer::rich}, {1234, &run_writer::second_image},
                          {1234, &run_writer::one_record}});
    counting_ = std::make_unique<counting_writer>(dir_->path().string(), "4716");
    counting_->run();
    convert("4716");
    write("4717", &run_writer::bare);
    const auto gen = kivtest::run_program(
        KIVGEN_BINARY, {{"--dir", dir_->path().string(), "--runid", "4718", "--records", "8000", "--seed", "5"}, "", {}});
    ASSERT_EQ(gen.status, 0) << gen.err;
    convert("4718");
  }
  static void TearDownTestSuite() {
    counting_.reset();
    dir_.reset();
  }

  static void write(const std::string& runid, void (run_writer::*fill)()) {
    write_images(runid, {{1234, fill}});
  }

  // One trace header per image, all converted into one run; headers of one
  // pid are told apart by their file names, as an exec leaves them.
  static void write_images(const std::string& runid,
                           const std::vector<std::pair<std::int32_t, void (run_writer::*)()>>& images) {
    std::map<std::int32_t, int> of_pid;
    for (const auto& [pid, fill] : images) {
      const int nth = of_pid[pid]++;
      run_writer w(dir_->path().string(), runid, pid, nth == 0 ? "kiv" : "kiv-" + std::to_string(nth));
      (w.*fill)();
    }
    convert(runid);
  }

  static void convert(const std::string& runid) {
    const auto kiv = kivtest::run_program(KIV_BINARY, {{"-R", runid}, dir_->path().string(), {}});
    ASSERT_EQ(kiv.status, 0) << kiv.err;
  }

  static void load(const std::vector<std::string>& target) {
    for (const std::string& runid : all_runs) {
      std::vector<std::string> args{"load", runid};
      args.insert(args.end(), target.begin(), target.end());
      const auto run = kivtest::run_program(KIVDB_BINARY, {args, dir_->path().string(), {}});
      ASSERT_EQ(run.status, 0) << run.err;
    }
  }

  static fs::path run_dir(const std::string& runid) { return dir_->path() / runid; }

 public:
  static fs::path root() { return dir_->path(); }
  static void check_against_csv(database& db, const std::string& runid);

 protected:
  static std::unique_ptr<kivtest::scratch_dir> dir_;

 public:
  static std::unique_ptr<counting_writer> counting_;
};

std::unique_ptr<kivtest::scratch_dir> ReportQuery::dir_;
std::unique_ptr<counting_writer> ReportQuery::counting_;

void ReportQuery::check_against_csv(database& db, const std::string& runid) {
  const expected_report e = expect_from_csv(run_dir(runid), runid);
  const report_data r = build_report(db, runid);
  EXPECT_EQ(r.summary.run_id, runid);
  EXPECT_EQ(r.summary.memory_records, e.summary.memory_records);
  EXPECT_EQ(r.summary.headers, e.summary.headers);
  EXPECT_EQ(r.summary.peak_pid, e.summary.peak_pid);
  EXPECT_EQ(r.summary.peak_bytes, e.summary.peak_bytes);
  EXPECT_EQ(r.summary.peak_blocks, e.summary.peak_blocks);
  EXPECT_EQ(r.summary.peak_record, e.summary.peak_record);
  EXPECT_EQ(r.summary.peak_time, e.summary.peak_time);
  EXPECT_EQ(r.summary.live_bytes_at_end, e.summary.live_bytes_at_end);
  EXPECT_EQ(r.summary.live_blocks_at_end, e.summary.live_blocks_at_end);
  EXPECT_EQ(r.summary.nofree_bytes_at_end, e.summary.nofree_bytes_at_end);
  const std::vector<std::string> keys = {"leaks_by_location",       "leaks_by_arc",      "peak_by_malid",
                                         "allocations_by_location", "temporary_by_location", "peak_by_location",
                                         "leaks_by_function",       "allocations_by_function"};
  ASSERT_EQ(r.lists.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(r.lists[i].key, keys[i]);
    EXPECT_EQ(as_figures(r.lists[i]), e.lists.count(keys[i]) ? e.lists.at(keys[i]) : figures{}) << keys[i];
  }
  std::uint64_t counted = 0;
  std::uint64_t bytes = 0;
  for (std::size_t b = 0; b < r.sizes.counts.size(); ++b) {
    counted += r.sizes.counts[b];
    bytes += r.sizes.bytes[b];
  }
  EXPECT_EQ(counted, e.allocations);
  EXPECT_EQ(bytes, e.allocated_bytes);
}

// The designed parts of the rich run, so that the CSV sums above cannot
// agree with the report by both being empty.
void check_designed_figures(const report_data& r) {
  const figures leaks = as_figures(r.lists[0]);
  ASSERT_TRUE(leaks.count("leak.c:99"));
  EXPECT_EQ(leaks.at("leak.c:99"), (std::vector<std::int64_t>{leak_blocks * leak_size, leak_blocks}));
  const figures arcs = as_figures(r.lists[1]);
  ASSERT_TRUE(arcs.count("main_loop -> build_cache"));
  EXPECT_EQ(arcs.at("main_loop -> build_cache"), (std::vector<std::int64_t>{leak_blocks * leak_size, leak_blocks}));
  const figures temporaries = as_figures(r.lists[4]);
  ASSERT_TRUE(temporaries.count("temp.c:5"));
  EXPECT_EQ(temporaries.at("temp.c:5"), (std::vector<std::int64_t>{temp_blocks, temp_blocks * temp_size}));
  EXPECT_EQ(r.summary.processes, 2u);
  EXPECT_EQ(r.summary.program.empty(), false);
  // The memory chart keeps the peak and ends at the last record; the
  // markers hold both user markers and both processes' starts and ends.
  ASSERT_EQ(r.memory.series.values.size(), 2u);
  EXPECT_EQ(static_cast<std::uint64_t>(*std::max_element(r.memory.series.values[0].begin(),
                                                         r.memory.series.values[0].end())),
            r.summary.peak_bytes);
  EXPECT_EQ(r.memory.series.x.back(), r.summary.memory_records);
  std::multiset<std::string> markers;
  for (const auto& m : r.markers) markers.insert(m.text);
  EXPECT_TRUE(markers.count("start of work") && markers.count("half way"));
  EXPECT_EQ(r.markers.size(), 6u);
  EXPECT_EQ(r.processes.size(), 2u);
  EXPECT_EQ(r.top_malids.series.names.size(), 2u);
}

// The run of three images: a place in the code is one entry over every
// header, whatever its key in each; figures at the end add up the headers;
// the peak is the child's big block; the memory chart ends at what is
// alive at the end.
void check_images(const report_data& r) {
  EXPECT_EQ(r.summary.headers, 3u);
  EXPECT_EQ(r.summary.peak_pid, 2001);
  EXPECT_GE(r.summary.peak_bytes, big_block);
  const figures leaks = as_figures(r.lists[0]);
  ASSERT_TRUE(leaks.count("leak.c:99"));
  const std::int64_t blocks = leak_blocks + child_leak_blocks;
  EXPECT_EQ(leaks.at("leak.c:99"), (std::vector<std::int64_t>{blocks * leak_size, blocks}));
  ASSERT_TRUE(leaks.count("other.c:1"));
  EXPECT_EQ(leaks.at("other.c:1"), (std::vector<std::int64_t>{leak_size, 1}));
  EXPECT_EQ(as_figures(r.lists[2]).count("general heap"), 1u);
  ASSERT_EQ(r.memory.series.values.size(), 2u);
  EXPECT_EQ(static_cast<std::uint64_t>(r.memory.series.values[0].back()), r.summary.live_bytes_at_end);
  EXPECT_EQ(static_cast<std::uint64_t>(r.memory.series.values[1].back()), r.summary.nofree_bytes_at_end);
  EXPECT_TRUE(std::is_sorted(r.memory.series.x.begin(), r.memory.series.x.end()));
  EXPECT_EQ(r.processes.size(), 4u);  // the rich image's two, the child, the single one
  // Each header's markers lie in its own stretch of the axis.
  ASSERT_FALSE(r.markers.empty());
  EXPECT_TRUE(std::is_sorted(r.markers.begin(), r.markers.end(),
                             [](const chart_marker& a, const chart_marker& b) { return a.record < b.record; }));
  EXPECT_LE(r.markers.back().record, r.memory.series.x.back());
  EXPECT_GT(r.markers.back().record, r.memory.series.x.front() + r.summary.memory_records / 2);
}

// Headers of one pid give the figures they give under pids of their own.
void check_shared_pid(database& db) {
  const report_data own = build_report(db, "4714");
  const report_data shared = build_report(db, "4715");
  EXPECT_EQ(shared.summary.headers, 3u);
  EXPECT_EQ(shared.summary.peak_pid, 1234);
  for (const auto* s : {&own.summary, &shared.summary}) EXPECT_TRUE(s->cut_short.empty());
  EXPECT_EQ(shared.summary.memory_records, own.summary.memory_records);
  EXPECT_EQ(shared.summary.processes, own.summary.processes);
  EXPECT_EQ(shared.summary.peak_bytes, own.summary.peak_bytes);
  EXPECT_EQ(shared.summary.peak_blocks, own.summary.peak_blocks);
  EXPECT_EQ(shared.summary.peak_record, own.summary.peak_record);
  EXPECT_EQ(shared.summary.live_bytes_at_end, own.summary.live_bytes_at_end);
  EXPECT_EQ(shared.summary.live_blocks_at_end, own.summary.live_blocks_at_end);
  EXPECT_EQ(shared.summary.nofree_bytes_at_end, own.summary.nofree_bytes_at_end);
  ASSERT_EQ(shared.lists.size(), own.lists.size());
  for (std::size_t i = 0; i < own.lists.size(); ++i)
    EXPECT_EQ(as_figures(shared.lists[i]), as_figures(own.lists[i])) << own.lists[i].key;
  EXPECT_EQ(shared.processes.size(), own.processes.size());
  EXPECT_EQ(shared.markers.size(), own.markers.size());
}

// Blocks are the blocks alive, as the writer counted them: at the end and
// at the peak's record; kiv's own with-free count is something else.
void check_blocks(database& db, const counting_writer& w) {
  const report_data r = build_report(db, "4716");
  EXPECT_EQ(r.summary.live_blocks_at_end, w.alive());
  EXPECT_EQ(r.summary.peak_bytes, w.peak_bytes());
  EXPECT_EQ(r.summary.peak_record, w.peak_rec());
  EXPECT_EQ(r.summary.peak_blocks, w.peak_blocks());
  const std::string run = " WHERE run_id = '4716'";
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM live_blocks" + run).rows.at(0).at(0), std::to_string(w.alive()));
  const auto counter = db.query("SELECT global_cur_wf_count FROM memory" + run + " ORDER BY row_nr DESC LIMIT 1");
  EXPECT_NE(counter.rows.at(0).at(0), std::to_string(w.alive()));
}

// Lists whose entries all fall into a placeholder carry a note instead of
// an answer; lists with answers carry none.
void check_notes(database& db) {
  const report_data bare = build_report(db, "4717");
  ASSERT_EQ(bare.lists.size(), 8u);
  EXPECT_EQ(bare.lists[0].note, no_locations_note);
  EXPECT_EQ(bare.lists[1].note, no_call_arcs_note);
  EXPECT_EQ(bare.lists[2].note, no_malids_note);
  EXPECT_EQ(bare.lists[3].note, no_locations_note);
  EXPECT_EQ(bare.lists[4].note, no_locations_note);
  EXPECT_EQ(bare.lists[5].note, no_locations_note);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_FALSE(bare.lists[i].rows.empty()) << bare.lists[i].key;
  // Locations that are not call stacks have no functions to sum by.
  for (std::size_t i = 6; i < 8; ++i) {
    EXPECT_EQ(bare.lists[i].note, no_stacks_note) << bare.lists[i].key;
    EXPECT_TRUE(bare.lists[i].rows.empty()) << bare.lists[i].key;
  }
  for (const auto& list : build_report(db, "4711").lists)
    EXPECT_EQ(list.note, list.key.ends_with("_by_function") ? no_stacks_note : "") << list.key;
  EXPECT_TRUE(build_report(db, "4711").flame.nodes.empty());
  const report_data one = build_report(db, "4713");
  EXPECT_EQ(one.lists[1].note, no_call_arcs_note);
  EXPECT_EQ(one.lists[0].note, "");
}

// The report of a converted directory, read from its table files, is the
// report of the database loaded from it: its JSON and its page, byte for
// byte.
void check_directory_reports(database& db, const fs::path& root) {
  constexpr std::size_t every_entry = 1000000;
  for (const std::string& runid : all_runs) {
    const auto rows = directory_rows(root / runid);
    const report_data from_files = build_report(*rows);
    const report_data from_db = build_report(db, runid);
    std::ostringstream files_json, db_json, files_page, db_page;
    write_json(files_json, from_files, every_entry);
    write_json(db_json, from_db, every_entry);
    EXPECT_EQ(files_json.str(), db_json.str()) << runid;
    write_html(files_page, from_files, every_entry);
    write_html(db_page, from_db, every_entry);
    EXPECT_TRUE(files_page.str() == db_page.str()) << runid;
  }
}

void check_all_runs(database& db) {
  for (const std::string& runid : csv_runs) {
    SCOPED_TRACE(runid);
    ReportQuery::check_against_csv(db, runid);
  }
  for (const std::string& runid : all_runs) {
    const auto live = db.query("SELECT COUNT(*) FROM live_blocks WHERE run_id = '" + runid + "'");
    EXPECT_EQ(live.rows.at(0).at(0), std::to_string(build_report(db, runid).summary.live_blocks_at_end)) << runid;
  }
  check_designed_figures(build_report(db, "4711"));
  check_images(build_report(db, "4714"));
  check_shared_pid(db);
  check_blocks(db, *ReportQuery::counting_);
  check_notes(db);
  check_directory_reports(db, ReportQuery::root());
}

TEST_F(ReportQuery, SqliteFiguresEqualTheCsvSums) {
  const std::string file = dir_->path() / "sqlite.db";
  load({"--db", file});
  auto db = open_sqlite(file);
  check_all_runs(*db);
  EXPECT_EQ(loaded_runs(*db), all_runs);
}

TEST_F(ReportQuery, PostgresFiguresEqualTheCsvSums) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("report");
  load({"--pg", conninfo});
  auto db = open_postgres(conninfo);
  check_all_runs(*db);
}

TEST_F(ReportQuery, EmptyAndOneRecordRunsGiveSensibleReports) {
  const std::string file = dir_->path() / "small.db";
  load({"--db", file});
  auto db = open_sqlite(file);
  const report_data empty = build_report(*db, "4712");
  EXPECT_EQ(empty.summary.memory_records, 0u);
  EXPECT_EQ(empty.summary.peak_record, 0u);
  EXPECT_EQ(empty.memory.series.size(), 0u);
  EXPECT_EQ(empty.summary.processes, 1u);
  for (const auto& list : empty.lists) EXPECT_TRUE(list.rows.empty()) << list.key;

  const report_data one = build_report(*db, "4713");
  EXPECT_EQ(one.summary.memory_records, 1u);
  EXPECT_EQ(one.summary.peak_bytes, 123u);
  EXPECT_EQ(one.summary.peak_record, 1u);
  EXPECT_EQ(one.summary.live_blocks_at_end, 1u);
  EXPECT_EQ(one.memory.series.size(), 1u);
  ASSERT_FALSE(one.lists[0].rows.empty());
  EXPECT_EQ(one.lists[0].rows[0].texts[0], "one.c:1");
}

// The program: terminal summary on standard output, JSON and page files,
// and clear messages for a missing database, run or option value.
TEST_F(ReportQuery, CommandWritesSummaryJsonAndPage) {
  const std::string file = dir_->path() / "cmd.db";
  load({"--db", file});
  const expected_report e = expect_from_csv(run_dir("4711"), "4711");
  const std::string json = dir_->path() / "r.json";
  const std::string html = dir_->path() / "r.html";
  const auto run = kivtest::run_program(
      KIVDB_BINARY, {{"report", "--db", file, "--run", "4711", "--json", json, "-o", html, "--top", "100"}, "", {}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("memory records:     " + grouped(static_cast<std::int64_t>(e.summary.memory_records))),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Report: " + html), std::string::npos);
  const std::string text = kivtest::read_file(json);
  EXPECT_NE(text.find("\"live_bytes_at_end\": " + std::to_string(e.summary.live_bytes_at_end) + ",\n"),
            std::string::npos);
  EXPECT_NE(text.find("\"peak_bytes\": " + std::to_string(e.summary.peak_bytes) + ",\n"), std::string::npos);
  EXPECT_NE(text.find("{\"name\": \"leak.c:99\", \"bytes\": 7000, \"blocks\": 7}"), std::string::npos);
  EXPECT_TRUE(kivtest::read_file(html).starts_with("<!DOCTYPE html>"));

  const auto several = kivtest::run_program(KIVDB_BINARY, {{"report", "--db", file}, "", {}});
  EXPECT_EQ(several.status, 1);
  EXPECT_EQ(several.err, "kivdb report: the database holds several runs (4711, 4712, 4713, 4714, 4715, 4716, 4717, 4718); "
                        "choose one with --run\n");
  const auto unknown = kivtest::run_program(KIVDB_BINARY, {{"report", "--db", file, "--run", "9"}, "", {}});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, "kivdb report: run 9 is not in the database (runs: 4711, 4712, 4713, 4714, 4715, 4716, 4717, 4718)\n");
  const auto missing = kivtest::run_program(KIVDB_BINARY, {{"report", "--db", file + ".none"}, "", {}});
  EXPECT_EQ(missing.status, 1);
  EXPECT_FALSE(fs::exists(file + ".none"));
  // A converted directory, named or through its script, reports without a
  // database; its run id must be the one asked for.
  const std::string dir_json = dir_->path() / "dir.json";
  const auto from_dir = kivtest::run_program(
      KIVDB_BINARY, {{"report", run_dir("4711").string(), "--json", dir_json, "--top", "100", "--run", "4711"}, "", {}});
  ASSERT_EQ(from_dir.status, 0) << from_dir.err;
  EXPECT_EQ(from_dir.out, run.out.substr(0, run.out.find("\nReport: ")));
  EXPECT_EQ(kivtest::read_file(dir_json), text);
  const auto by_script = kivtest::run_program(KIVDB_BINARY, {{"report", (run_dir("4711") / "kiv.4711.sql").string()}, "", {}});
  EXPECT_EQ(by_script.status, 0) << by_script.err;
  const auto other_run = kivtest::run_program(KIVDB_BINARY, {{"report", run_dir("4711").string(), "--run", "9"}, "", {}});
  EXPECT_EQ(other_run.status, 1);
  EXPECT_EQ(other_run.err, "kivdb report: run 9 is not the run of " + run_dir("4711").string() + " (run 4711)\n");
  const auto both = kivtest::run_program(KIVDB_BINARY, {{"report", run_dir("4711").string(), "--db", file}, "", {}});
  EXPECT_EQ(both.status, 2);
  const auto no_script = kivtest::run_program(KIVDB_BINARY, {{"report", dir_->path().string()}, "", {}});
  EXPECT_EQ(no_script.status, 1);
  EXPECT_NE(no_script.err.find("no kiv.<runid>.sql import script"), std::string::npos) << no_script.err;
  const auto bad_top = kivtest::run_program(KIVDB_BINARY, {{"report", "--db", file, "--top", "x"}, "", {}});
  EXPECT_EQ(bad_top.status, 2);
  EXPECT_EQ(bad_top.err, "kivdb report: --top needs a positive number, not \"x\"\n");
  // The page would replace the JSON: one file for both is refused before
  // anything is read or written, also through a link to it.
  const std::string page = (dir_->path() / "both.out").string();
  const std::string link = (dir_->path() / "both.link").string();
  std::ofstream{page};
  fs::create_symlink(page, link);
  for (const std::string& json : {page, link}) {
    const auto one_file =
        kivtest::run_program(KIVDB_BINARY, {{"report", "--db", file, "--json", json, "-o", page}, "", {}});
    EXPECT_EQ(one_file.status, 2);
    EXPECT_EQ(one_file.err, "kivdb report: -o and --json name the same file " + json + "\n");
    EXPECT_EQ(fs::file_size(page), 0u);
  }
}

}  // namespace
}  // namespace kivdb::report
