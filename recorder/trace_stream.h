#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

#include "recorder/record_encoder.h"
#include "recorder/run_id.h"
#include "recorder/trace_file.h"

namespace kivrec {

inline constexpr std::size_t runid_capacity = max_run_id_length + 1;  // and the zero byte
inline constexpr std::size_t name_capacity = 256;

// Where and how a process writes its trace.
struct stream_settings {
  char dir[path_capacity] = {};        // trace directory
  char runid[runid_capacity] = {};     // run directory below it
  std::uint64_t size_limit = 4096 * 1024;  // bytes per data file
  int address_width = 8;
};

// Identity of the traced process written into the header.
struct process_identity {
  int pid = 0;
  char progname[name_capacity] = {};
  char user[name_capacity] = {};
  char hostname[name_capacity] = {};
};

// The files of one traced process image: the header <base>.<pid>.kivhdr
// and the data files <base>.<pid>.<NNN>.kivdat in <dir>/<runid>. Records
// are framed by the caller and written whole into one data file; this
// class applies the file rules: the size check before every 32nd record
// (a longer file is closed, listed in the header, and the next one starts
// with a time stamp), and time stamps often enough that no record is more
// than a few milliseconds (one tick of the coarse clock) younger than the
// last time stamp, and at least every 1,056 records. Everything is written
// with write(2) from fixed buffers, through trace_file, which keeps the
// program from closing or overwriting the files; bytes that could not be
// written are reported on standard error when the image ends.
class trace_stream {
 public:
  constexpr trace_stream() = default;
  trace_stream(const trace_stream&) = delete;
  trace_stream& operator=(const trace_stream&) = delete;

  // Creates the run directory, a header under the first free base name
  // ("kiv", then "kiv-1", "kiv-2" ... so that a new image of the same
  // process never overwrites an earlier one) and the first data file.
  // When one of them cannot be created, says so on standard error.
  bool open(const stream_settings& settings, const process_identity& identity);
  bool active() const { return active_; }

  // Writes one framed record under the file and time rules.
  void write(const record_encoder& record);
  // Writes a time stamp record now (ahead of records that need one).
  void timestamp();

  // Normal end: flushes, lists the last data file and writes the trailer;
  // then reports lost bytes, if any, on standard error.
  void close();
  // In a forked child: lets go of the parent's files without writing.
  void abandon();

 private:
  static constexpr std::size_t buffer_capacity = 1 << 16;
  static constexpr unsigned check_interval = 32;
  static constexpr std::uint64_t switch_margin = 512;
  static constexpr unsigned time_interval = 1056;
  static constexpr std::int64_t time_resolution_ns = 1'000'000;

  bool open_data_file();
  void close_data_file();
  void switch_file();
  void append(const std::uint8_t* bytes, std::size_t size);
  void flush();
  void write_time_record(const timespec& now);
  void header_text(std::string_view text);
  void write_prologue();
  void write_trailer();
  bool name_data_file(unsigned seq, char* out, bool relative) const;
  bool create_header();
  void cannot_create(const char* what, const char* path, int error, const char* outcome) const;
  void note_losses(const trace_file& file);
  void report_losses();

  // The bytes of this image that could not be written, and the first
  // file and error that lost some.
  struct losses {
    std::uint64_t bytes = 0;
    int error = 0;
    char path[path_capacity] = {};
  };

  stream_settings settings_{};
  process_identity identity_{};
  char base_[32] = {};
  trace_file header_{};
  trace_file data_{};
  losses losses_{};
  bool opened_ = false;  // the header exists and is not closed yet
  bool active_ = false;  // a data file takes records
  unsigned seq_ = 0;
  std::uint64_t file_size_ = 0;  // bytes of the current file, buffered ones included
  std::uint64_t records_ = 0;
  unsigned since_time_ = 0;
  timespec last_coarse_{};  // coarse clock when the last time stamp was written
  timespec started_{};
  record_encoder time_record_{};
  std::size_t buffered_ = 0;
  std::uint8_t buffer_[buffer_capacity] = {};
};

}  // namespace kivrec
