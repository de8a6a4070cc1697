#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>

#include "reader/read_progress.h"

// One line on a terminal that shows how far the conversion of a header has
// come: the header, the share of its data bytes read, memory records per
// second and the time spent. It is rewritten in place a few times a second
// and erased before anything else is written to the terminal, so that the
// terminal ends up holding exactly what kiv writes without it. The clock is
// read only when the reader reports, every few thousand records.
class progress_line : public read_progress {
 public:
  using clock = std::chrono::steady_clock;
  using now_function = clock::time_point (*)();

  static constexpr std::chrono::milliseconds redraw_interval{250};
  // Width assumed when the terminal does not tell its own.
  static constexpr unsigned default_columns = 80;

  // Draws on the terminal open as fd; now reads the clock (tests pass their
  // own).
  explicit progress_line(int fd, now_function now = &clock::now);
  ~progress_line() override;
  progress_line(const progress_line&) = delete;
  progress_line& operator=(const progress_line&) = delete;

  // Draws the line at once.
  void begin(const std::string& header, std::uint64_t data_bytes, std::uint64_t memory_records) override;
  // Redraws the line when redraw_interval has passed since the last draw.
  void update(std::uint64_t bytes_read, std::uint64_t memory_records) override;
  void end() override { erase(); }
  // Removes the line from the terminal, if it is shown.
  void erase();
  // Called with the last character of any other output to the terminal:
  // the line is drawn only where a line of that output has ended.
  void note_output(char last) { mid_line_ = last != '\n'; }

  // The line's text for the given figures, cut to columns - 1 characters.
  std::string text(std::uint64_t bytes_read, std::uint64_t memory_records, clock::duration elapsed,
                   unsigned columns) const;

 private:
  void draw(const std::string& line);
  unsigned columns() const;
  void put(const std::string& bytes) const;

  int fd_;
  now_function now_;
  std::string header_;
  std::uint64_t data_bytes_ = 0;
  std::uint64_t first_records_ = 0;
  clock::time_point started_{};
  clock::time_point drawn_at_{};
  std::size_t shown_ = 0;  // characters of the line on the terminal; 0: none
  bool mid_line_ = false;
};

// Turns the progress line on for its lifetime when standard error is a
// terminal: standard error, and standard output when it is a terminal too,
// then erase the line before they write. Does nothing otherwise, so output
// to files and pipes is never touched.
class terminal_progress {
 public:
  terminal_progress();
  ~terminal_progress();
  terminal_progress(const terminal_progress&) = delete;
  terminal_progress& operator=(const terminal_progress&) = delete;

  // What the reader reports to: the line, or null when there is none.
  read_progress* observer() const { return line_.get(); }

 private:
  class guarded_buf;
  std::unique_ptr<progress_line> line_;
  std::unique_ptr<guarded_buf> err_buf_;
  std::unique_ptr<guarded_buf> out_buf_;
};
