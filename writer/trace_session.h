#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "writer/data_file.h"
#include "writer/header_writer.h"
#include "writer/trace_options.h"

namespace kivw {

// One value handed to encoded(): a number (any integer conversion) or a
// string.
struct field {
  field(std::int64_t v) : number(static_cast<std::uint64_t>(v)) {}  // NOLINT: implicit on purpose
  field(std::uint64_t v) : number(v) {}                              // NOLINT
  field(int v) : number(static_cast<std::uint64_t>(static_cast<std::int64_t>(v))) {}  // NOLINT
  field(unsigned v) : number(v) {}                                   // NOLINT
  field(std::string_view s) : text(s), is_text(true) {}              // NOLINT
  field(const char* s) : text(s), is_text(true) {}                   // NOLINT
  std::uint64_t number = 0;
  std::string_view text;
  bool is_text = false;
};

// What switch_file() does with the closed file's <kivfile> block.
enum class kivfile_block { write, omit };

// A traced run of one process: creates the run directory <dir>/<runid>,
// the header <base>.<pid>.kivhdr and the data files
// <base>.<pid>.<NNN>.kivdat, and writes records following the producer's
// rules:
//  - each record is framed (tag, 2-byte length in the declared byte order,
//    payload) and written whole into one data file;
//  - before every 32nd record the current file's length is compared with
//    the size limit less 512 bytes; a longer file is closed (its <kivfile>
//    block goes into the header) and the next one starts with a time stamp;
//  - a time stamp precedes process start and end, schedule, marker, free id
//    and reserve id records (ahead of their hashloc record), and follows
//    every 1,056 records without one;
//  - a hashloc record describes each non-zero location once, before the
//    first memory, reserve id, free id or reset id record that uses it;
//  - sbrk and sbrk gap records are written only on change, each followed
//    by a mallinfo record when the allocator figures changed;
//  - addr_realloc of an allocation with free is the address announced by
//    realloc_notify() and is reset after every such record.
// close() (or the destructor) writes the last <kivfile> block and the
// trailer; crash() leaves the files as a run that died would.
//
// A session whose directory, header or first data file cannot be created
// is inactive (active() is false) and every call does nothing; failures
// are reported as the producer reports them (standard error, or <error>
// lines in the header).
class trace_session {
 public:
  explicit trace_session(trace_options options);
  ~trace_session();
  trace_session(const trace_session&) = delete;
  trace_session& operator=(const trace_session&) = delete;

  bool active() const { return active_; }

  // ---- typed records (rules applied) ---------------------------------
  void malloc_wf(std::uint32_t id, std::int32_t color, std::uint64_t addr, std::uint32_t size,
                 std::uint32_t tot_size, std::uint64_t location, std::string_view location_text);
  void malloc_nf(std::uint32_t id, std::int32_t color, std::uint64_t addr, std::uint32_t size,
                 std::uint32_t tot_size, std::uint64_t location, std::string_view location_text);
  void free(std::uint32_t id, std::int32_t color, std::uint64_t addr, std::uint64_t location,
            std::string_view location_text);
  void free_realloc(std::uint32_t id, std::int32_t color, std::uint64_t addr,
                    std::uint64_t addr_free, std::uint32_t size, std::uint32_t tot_size,
                    std::uint64_t location, std::string_view location_text);
  // The runtime's realloc notification: the next malloc_wf carries `old_addr`
  // as its addr_realloc.
  void realloc_notify(std::uint64_t old_addr) { addr_realloc_ = old_addr; }
  void flow_in(std::uint32_t parent_id, std::int32_t parent_funnr, std::uint32_t child_id,
               std::int32_t child_funnr);
  void flow_out();
  void schedule(std::int32_t curr_pid, std::int32_t new_pid);
  // Written only when `addr` differs from the last break written.
  void sbrk(std::uint64_t addr, std::uint32_t size);
  // Written only when the pair differs from the last pair written.
  void sbrk_gap(std::uint64_t l_sbrk, std::uint64_t c_sbrk);
  void reserve_id(std::uint32_t id, std::uint32_t default_size, std::uint64_t location,
                  std::string_view location_text, std::int32_t nr_colors,
                  std::string_view reserve_type);
  void reserve_id_colors(std::int32_t color, std::string_view colorname);
  void free_id(std::int32_t id, std::uint64_t location, std::string_view location_text,
               std::int32_t tot_size_wf, std::int32_t tot_size_nf);
  void reset_id(std::int32_t id, std::uint64_t location, std::string_view location_text,
                std::int32_t tot_size_wf, std::int32_t tot_size_nf);
  void process_start(std::int32_t pid, std::int32_t parent, std::string_view session_name);
  void process_end(std::int32_t pid);
  void object_load(std::uint32_t id_of_obj);
  void object_link(std::int32_t pid, std::uint32_t id_of_obj);
  void object_function_load(std::uint32_t id_of_obj, std::int32_t funnr,
                            std::string_view funcname);
  void object_global_load(std::uint32_t id_of_obj, std::int32_t funnr,
                          std::string_view funcname);
  void vorex_flow_in(std::uint32_t id_of_obj, std::int32_t fun3glnr, std::int32_t funnr,
                     std::uint64_t sym, std::string_view args);
  void vorex_flow_out(std::uint32_t id_of_obj, std::int32_t fun3glnr, std::int32_t funnr,
                      std::string_view args);
  // Describes `location` now, whether or not it was described before.
  void hashloc(std::uint64_t location, std::string_view source_line);
  void marker(std::string_view text);
  // A time stamp from the session's clock, or with the given value.
  void timestamp();
  void timestamp(time_value t);
  void query_in(std::int32_t qid, std::int32_t type, std::string_view query);
  void query_out(std::int32_t qid, std::int32_t linked_qid);
  void symbol_dims(std::uint64_t sym, std::uint32_t nrdims, std::uint32_t dim0,
                   std::uint32_t dim1, std::uint32_t dim2, std::uint32_t dim3);
  void symbol_new_sym(std::uint64_t sym, std::int32_t symnr, std::int32_t sym_type);
  void symbol_alloc(std::uint64_t sym, std::uint32_t flags, std::uint32_t size,
                    std::string_view name);
  void symbol_dd_name(std::uint64_t sym, std::string_view dd_name);
  void process_special_load(std::uint32_t pid, std::int32_t funnr, std::string_view funcname);
  // Written only when the figures differ from the last mallinfo record.
  void mallinfo(const mallinfo_values& values);

  // ---- raw layer (no rules: no file-switch check, time stamp or hashloc,
  //      and not counted as records) -------------------------------------
  // One record of type `tag` with `values` encoded by the record table and
  // the declared widths (a string field goes where the table has 's').
  // Missing values are written as 0 / empty, surplus values are dropped.
  void encoded(char tag, std::initializer_list<field> values);
  // One framed record with any tag byte; the length is the payload's size.
  void raw_record(std::uint8_t tag, std::string_view payload);
  // One framed record with any declared length, whatever the payload.
  void raw_record(std::uint8_t tag, std::uint16_t declared_length, std::string_view payload);
  // Bytes appended to the current data file as they are.
  void raw_bytes(std::string_view bytes);
  // Text appended to the header as it is (a line end is added).
  void raw_header(std::string_view xml);
  // A <kivfile> block with any file name and size text.
  void raw_kivfile(std::string_view file, std::string_view size);
  // Closes the current data file (with or without its <kivfile> block) and
  // opens the next one, whose first record is a time stamp.
  void switch_file(kivfile_block block = kivfile_block::write);

  // ---- end of the run -------------------------------------------------
  // Normal end: the last <kivfile> block, the trailer and </kiv>.
  void close();
  // A run that died: data written so far is flushed, but the last data
  // file gets no <kivfile> block and the header no trailer.
  void crash();

  // ---- where things went -----------------------------------------------
  const trace_options& options() const { return opt_; }
  const std::string& runid() const { return runid_; }
  std::string run_dir() const;
  std::string header_path() const;
  // Path of data file `seq` and its name as the header records it
  // ("./<runid>/<base>.<pid>.<NNN>.kivdat").
  std::string data_path(unsigned seq) const;
  std::string data_name(unsigned seq) const;
  // Number of data files opened so far, and the sequence number of the
  // current one.
  unsigned file_count() const { return seq_ + 1; }
  unsigned current_seq() const { return seq_; }
  std::uint64_t current_file_size() const;
  // Records written under the rules (typed calls, including the time
  // stamps and hashloc records they bring).
  std::uint64_t record_count() const { return records_; }

 private:
  void emit(char tag, const field* values, std::size_t count);
  void write_framed(char tag, const field* values, std::size_t count);
  void before_record();
  void write_time_record(time_value t);
  void describe_location(std::uint64_t location, std::string_view text);
  void check_mallinfo();
  void close_current(kivfile_block block);
  bool open_data_file(unsigned seq);
  void finish(bool normal);

  trace_options opt_;
  std::string runid_;
  bool active_ = false;
  bool finished_ = false;
  unsigned seq_ = 0;
  std::uint64_t records_ = 0;
  std::uint64_t since_time_ = 0;
  std::uint64_t switch_threshold_ = 0;
  std::uint64_t addr_realloc_ = 0;
  bool have_sbrk_ = false;
  std::uint64_t last_sbrk_ = 0;
  bool have_gap_ = false;
  std::uint64_t last_gap_l_ = 0;
  std::uint64_t last_gap_c_ = 0;
  bool have_mallinfo_ = false;
  mallinfo_values last_mallinfo_;
  std::unordered_set<std::uint64_t> seen_locations_;
  time_value started_;
  std::unique_ptr<header_writer> header_;
  std::unique_ptr<data_file> data_;
  payload_builder payload_;
};

}  // namespace kivw
