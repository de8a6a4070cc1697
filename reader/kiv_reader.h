#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "reader/KivTimeStamp.h"
#include "reader/data_cursor.h"
#include "reader/kiv_type.h"

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
class KivEvent;

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

  // ---- data files ------------------------------------------------------
  bool rd_open();
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
  KivProcess* cc_curr_proc();
  std::string& cc_curr_bcall();
  std::int64_t cc_curr_bcall_sym();
  std::string& cc_curr_bcall_arg();
  unsigned cc_curr_arc();
  std::uint32_t current_pid() const { return curr_pid_; }
  const KivTimeStamp& current_time() const { return now_; }

  // ---- what the run model reads ----------------------------------------
  const kiv_hdr& header() const { return *hdr_; }
  KivHashLoc_db& hashloc_db() { return *hashloc_db_; }
  KivReserveId_db& malid_db() { return *malid_db_; }
  KivProcess_db& proc_db() { return *proc_db_; }
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

  bool little_endian_ = true;
  std::unique_ptr<kiv_hdr> hdr_;
  std::unique_ptr<data_cursor::byte[]> buffer_;
  data_cursor cursor_;
  std::size_t record_start_ = 0;
  std::uint32_t eventnr_ = 0;
  file_pos max_ = 0;
  std::size_t current_file_ = 0;
  std::unique_ptr<std::ifstream> input_;
  bool short_file_reported_ = false;
  bool stopped_ = false;
  std::unique_ptr<KivProcess> defproc_;
  std::unique_ptr<KivHashLoc_db> hashloc_db_;
  std::unique_ptr<KivReserveId_db> malid_db_;
  // The object and query databases join here with their record handlers.
  std::unique_ptr<KivProcess_db> proc_db_;
  KivTimeStamp start_time_;
  KivTimeStamp end_time_;
  KivTimeStamp now_;
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
  std::array<std::array<int, cached_elems>, cached_types> widths_{};
};
