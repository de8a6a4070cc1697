#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/kivgen/seeded_random.h"
#include "writer/trace_session.h"

namespace kivgen {

struct generator_options {
  std::string dir = ".";
  std::string runid = "kivgen";
  std::string base = "kiv";
  std::uint64_t seed = 1;
  std::uint64_t records = 100000;     // stop once the trace holds this many records
  std::uint64_t size_kb = kivw::default_size_limit_kb;
  std::int32_t pid = 4242;            // pid of the traced program (file names, header)
  std::uint32_t processes = 4;        // 3GL processes started during the run
  // When not 0: processes run side by side, each ends after this many
  // records and a new one takes its place, as sessions of a server do.
  std::uint64_t session_records = 0;
  bool big_endian = false;
  bool leaky = false;                 // never free: no frees, moving reallocs or id releases
};

// Writes one plausible traced run: objects with 3GL and Vorex functions,
// processes that start, get scheduled and end (the last one keeps running;
// with session_records they come and go all through the run),
// nested call flow, malloc ids of every naming family with colours,
// allocations, frees, reallocs, id releases, queries, symbols, markers and
// heap growth. Everything is drawn from the seed and a fake clock, so the
// same options give the same bytes.
class run_generator {
 public:
  explicit run_generator(const generator_options& options);
  ~run_generator();

  // Writes the whole run and closes it. Returns false when the trace could
  // not be written.
  bool run();
  const kivw::trace_session& session() const { return *session_; }

 private:
  struct block {
    std::uint64_t addr;
    std::uint32_t size;
    std::uint32_t tot_size;
    std::int32_t color;
  };
  struct malloc_id {
    std::uint32_t id = 0;
    std::string name;
    std::int32_t colors = 1;
    std::vector<block> live;
    std::int64_t tot_wf = 0;
    std::int64_t tot_nf = 0;
  };
  struct frame {
    std::uint32_t obj;
    std::int32_t funnr;
  };
  struct process {
    std::int32_t pid;
    std::string session_name;
    bool running = false;
    std::vector<std::uint32_t> objects;  // linked objects
    std::vector<frame> stack;            // 3GL call stack
    std::vector<frame> vorex;            // open Vorex calls: object, function
    std::uint32_t symbols = 0;
    std::uint64_t started_at = 0;        // record count when it started
  };
  struct object {
    std::uint32_t id;
    std::uint32_t functions;  // 3GL functions 1..functions
    std::uint32_t globals;    // Vorex functions 0..globals-1
  };
  struct location {
    std::uint64_t key;
    std::string text;
  };

  void setup_objects();
  void start_process(std::size_t index);
  void end_process(std::size_t index);
  void reserve(const std::string& name, std::uint32_t colors);
  void step();
  void lifecycle();
  void turnover();
  std::size_t add_process();

  void allocate_wf();
  void allocate_nf();
  void free_block();
  void free_unknown();
  void realloc_in_place();
  void realloc_moving();
  void release_id();
  void give_back(malloc_id& m, bool reset);
  void drop_id(std::size_t index);
  void free_process_ids(std::int32_t pid);
  void call_in();
  void call_out();
  void vorex_call();
  void query();
  void symbol();
  void schedule();
  void heap_grow(std::uint32_t bytes);

  malloc_id* id_with_blocks();
  void release_block(const block& b);
  process& current();
  const object& linked_object(const process& p);
  malloc_id& pick_id();
  const location& pick_location();
  std::uint64_t new_address(std::uint32_t tot_size);
  std::uint32_t pick_size();
  kivw::mallinfo_values figures() const;

  generator_options opt_;
  seeded_random rng_;
  std::shared_ptr<kivw::fake_clock> clock_;
  std::unique_ptr<kivw::trace_session> session_;
  std::vector<object> objects_;
  std::vector<process> processes_;
  std::size_t current_ = 0;
  std::vector<malloc_id> ids_;  // the open ids
  std::uint32_t next_id_ = 1000;
  std::vector<location> locations_;
  std::vector<std::string> function_names_;
  std::vector<std::string> vorex_names_;
  std::vector<std::string> sql_texts_;
  std::vector<std::vector<std::uint64_t>> free_lists_;  // reusable addresses by block size
  std::uint64_t heap_top_;
  std::uint64_t brk_;
  std::uint64_t live_bytes_ = 0;
  std::uint64_t unknown_frees_ = 0;
  std::uint32_t next_qid_ = 1;
  std::uint32_t open_query_ = 0;        // qid of the operation in progress, 0 when none
  std::vector<std::uint32_t> prepared_;  // qids of prepared queries
  std::uint64_t actions_ = 0;
  std::size_t started_ = 0;
  std::size_t ended_ = 0;
};

}  // namespace kivgen
