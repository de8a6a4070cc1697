#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "header/kiv_type.h"
#include "header/time_text.h"
#include "reader/KivTimeStamp.h"
#include "reader/data_cursor.h"

class XmlParser;
class csv_file;
class csv_file_sequence;
class sql_script;
class kiv_hdr;
class kivfile;
class KivHashLoc_db;
class KivReserveId_db;
class KivProcess_db;
class KivProcess;
class KivObject_db;
class KivEvent;
class KivQuery;
class KivQueryEvent;
class KivQuery_db;
class read_progress;

// Counters of the whole program run: they start at 0 when the program
// starts and run on across every header file converted in it.
struct kiv_program_counters {
  std::uint32_t record_count = 0;     // memory records seen
  std::uint32_t rec_arena_count = 0;  // mallinfo records seen
  std::uint32_t rec_sbrk_count = 0;   // heap rows written
  std::uint32_t marker_cnt = 0;       // marker rows written
  std::uint64_t last_record_count = 0;  // memory record number of the previous marker row
};
extern kiv_program_counters kiv_counters;

// Converts one traced run: owns the header model, the run's databases, the
// default process and the ten tables written while reading; walks the data
// files record by record.
class kiv_reader {
 public:
  using file_pos = std::int64_t;
  static constexpr int cached_types = 128;
  static constexpr int cached_elems = 8;

  kiv_reader(XmlParser* parser, csv_file_sequence* sequence, sql_script* script, const char* dir,
             const char* path, const char* description, bool first, file_pos max);
  ~kiv_reader();
  kiv_reader(const kiv_reader&) = delete;
  kiv_reader& operator=(const kiv_reader&) = delete;

  // The data files are read one by one by the event loop.
  void read_files() {}
  // The event loop tells progress (when not null) how far it has come.
  void report_progress_to(read_progress* progress) { progress_ = progress; }
  // Replays every record; returns the program-wide memory record count.
  std::uint64_t ReadEvents();
  // True when reading stopped at a record that cannot be framed (an illegal
  // tag): nothing after it can be trusted, and the program ends with a
  // failure status once the tables are closed.
  bool stopped() const { return stopped_; }
  // "hashloc" table.
  void dump_hash_db();
  // "runs" table.
  void dump_runid_db();
  // "process" table; rec is the final memory record count.
  void dump_proc_db(std::uint64_t rec);
  // "objects" and "functions" tables.
  void dump_object_db();
  // "queries" table, with the run's end time for queries never begun or
  // closed.
  void dump_query_db();
  // "malid" and "color" tables; ids still open end with record number end.
  void dump_malid_db(unsigned long long end);

  // ---- data files ------------------------------------------------------
  bool rd_open();
  // The progress observer, when there is one: started with the header's
  // data size, told how far reading is.
  void begin_progress();
  void report_progress();
  void rd_close();
  bool eof();

  // ---- framing and element decoding --------------------------------------
  signed char read_tag();
  unsigned read_size();
  template <typename T>
  void readbytes(int size, T& value) {
    cursor_.read(size, value);
  }
  void readloc(int size, std::string& text, std::int64_t& location);
  void readloc(int size, std::string_view& text, std::int64_t& location);
  // Width of element index of record type type, cached per header.
  int elem_size(kiv_type type, int index) const {
    const auto t = static_cast<unsigned>(type);
    const auto i = static_cast<unsigned>(index);
    if (t < cached_types && i < cached_elems) return widths_[t][i];
    return uncached_elem_size(type, index);
  }

  // ---- markers -------------------------------------------------------------
  void WriteMarker(const char* group, const char* kind, const std::string& time,
                   const std::string& text);
  void record_count_marker(unsigned long long count, const KivTimeStamp& now);

  // ---- context of the record being read --------------------------------
  // The current process; the lookup is cached until the process table or
  // the current pid changes.
  KivProcess* cc_curr_proc() {
    if (curr_proc_ == nullptr || curr_proc_gen_ != proc_generation()) refresh_curr_proc();
    return curr_proc_;
  }
  const std::string& cc_curr_bcall();
  std::int64_t cc_curr_bcall_sym();
  const std::string& cc_curr_bcall_arg();
  unsigned cc_curr_arc();
  std::uint32_t current_pid() const { return curr_pid_; }
  void set_current_pid(std::uint32_t pid) {
    curr_pid_ = pid;
    curr_proc_ = nullptr;
  }
  // get_process(pid), cheap for the current pid.
  KivProcess* process_of(std::uint32_t pid);
  // Sequence number of the query operation that is open, 0 when none.
  std::uint32_t open_query_seq() const { return open_query_seq_; }
  void set_open_query_seq(std::uint32_t seq) { open_query_seq_ = seq; }
  const KivTimeStamp& current_time() const { return now_; }

  // ---- what the run model reads ----------------------------------------
  const kiv_hdr& header() const { return *hdr_; }
  KivHashLoc_db& hashloc_db() { return *hashloc_db_; }
  KivReserveId_db& malid_db() { return *malid_db_; }
  KivProcess_db& proc_db() { return *proc_db_; }
  KivObject_db& object_db() { return *object_db_; }
  KivQuery_db& query_db() { return *query_db_; }
  KivProcess& default_process() { return *defproc_; }
  const KivTimeStamp& start_time() const { return start_time_; }
  const KivTimeStamp& end_time() const { return end_time_; }
  const std::string& base_path() const { return base_path_; }
  csv_file& memory_file() { return *memory_; }
  csv_file& sbrk_file() { return *sbrk_; }
  csv_file& queryevents_file() { return *queryevents_; }
  csv_file& marker_file() { return *marker_; }
  csv_file& freemem_file() { return *freemem_; }
  csv_file& arena_file() { return *arena_; }
  csv_file& arcs_file() { return *arcs_; }
  csv_file& symbols_file() { return *symbols_; }
  csv_file& flowdata_file() { return *flowdata_; }
  csv_file& flow_file() { return *flow_; }
  std::uint32_t event_number() const { return eventnr_; }

 private:
  void cache_widths();
  int uncached_elem_size(kiv_type type, int index) const;
  std::unique_ptr<csv_file> make_table(const char* name);
  const kivfile* current_kivfile() const;
  bool frame_record(signed char& tag, unsigned& size);
  void load_current_file(const kivfile& kf);
  void end_file_data(std::size_t needed);
  bool dispatch(signed char tag);
  void illegal_event();
  void memory_record_step();
  void end_process_tables(KivProcess& proc);
  std::uint64_t proc_generation() const;
  void refresh_curr_proc();

  // One handler per record kind.
  void on_malloc_wf();
  void on_malloc_nf();
  void on_free();
  void on_free_realloc();
  void on_sbrk();
  void on_sbrk_gap();
  void on_mallinfo();
  void on_reserve_id();
  void on_reserve_id_colors();
  void on_free_id();
  void on_reset_id();
  void on_hashloc();
  void on_marker();
  void on_timestamp();
  void on_process_start();
  void on_process_end();
  void on_schedule();
  void on_process_special_load();
  void on_object_load();
  void on_object_link();
  void on_object_function_load();
  void on_object_global_load();
  void on_flow_in();
  void on_flow_out();
  void on_vorex_flow_in();
  void on_vorex_flow_out();
  void on_symbol_new();
  void on_symbol_dims();
  void on_symbol_dd_name();
  void on_symbol_alloc();
  void on_query_in();
  void on_query_out();
  void file_pending_query(std::uint32_t qid, std::uint32_t linked_qid);
  void set_query_times(std::uint32_t type);

  bool little_endian_ = true;
  std::unique_ptr<kiv_hdr> hdr_;
  std::unique_ptr<data_cursor::byte[]> buffer_;
  std::size_t buffer_capacity_ = 0;
  data_cursor cursor_;
  std::size_t record_start_ = 0;
  std::uint32_t eventnr_ = 0;
  file_pos max_ = 0;
  std::size_t current_file_ = 0;
  std::unique_ptr<std::ifstream> input_;
  bool short_file_reported_ = false;
  bool stopped_ = false;
  read_progress* progress_ = nullptr;
  // Declared first among the databases so that it is destroyed last: the
  // records other databases keep borrow function names from its objects.
  std::unique_ptr<KivObject_db> object_db_;
  std::unique_ptr<KivProcess> defproc_;
  std::unique_ptr<KivHashLoc_db> hashloc_db_;
  std::unique_ptr<KivReserveId_db> malid_db_;
  // The object and query databases join here with their record handlers.
  std::unique_ptr<KivProcess_db> proc_db_;
  KivTimeStamp start_time_;
  KivTimeStamp end_time_;
  KivTimeStamp now_;
  time_formatter time_texts_;  // the text of now_
  std::string path_;
  std::string base_path_;
  std::string dir_;
  bool first_ = false;
  csv_file_sequence* sequence_ = nullptr;
  sql_script* script_ = nullptr;
  std::unique_ptr<csv_file> memory_;
  std::unique_ptr<csv_file> sbrk_;
  std::unique_ptr<csv_file> queryevents_;
  std::unique_ptr<csv_file> marker_;
  std::unique_ptr<csv_file> freemem_;
  std::unique_ptr<csv_file> arena_;
  std::unique_ptr<csv_file> arcs_;
  std::unique_ptr<csv_file> symbols_;
  std::unique_ptr<csv_file> flowdata_;
  std::unique_ptr<csv_file> flow_;
  std::uint32_t curr_pid_ = 0;
  KivProcess* curr_proc_ = nullptr;
  std::uint64_t curr_proc_gen_ = 0;
  std::uint32_t open_query_seq_ = 0;
  // Queries: the prepared statements, the most recent prepare (owned here
  // until the query table takes it), the open operation and the number of
  // operations seen.
  std::unique_ptr<KivQuery_db> query_db_;
  std::unique_ptr<KivQuery> unfiled_query_;   // pending, not yet given its ids
  std::unique_ptr<KivQuery> rejected_query_;  // pending, its qid was taken already
  KivQuery* pending_query_ = nullptr;
  std::unique_ptr<KivQueryEvent> query_event_;
  std::uint32_t query_counter_ = 0;
  std::array<std::array<int, cached_elems>, cached_types> widths_{};
};
