#pragma once

// The trace headers (process images) of a converted run, as kiv's "runs"
// and "marker" tables show them. kiv converts the headers of a run one
// after the other and writes each header's rows after the previous
// header's, in every table; a program that executes another one goes on
// under the same pid in a new header, whose record numbers, location keys,
// malloc ids and call arcs start afresh. The plan lists the headers in
// that order, with what each table of kiv says about them: the image
// splitter labels rows by it and the report checks by it whether the run
// is whole.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kivdb {

struct process_image {
  std::int32_t pid = 0;
  // kiv read the header's data: its "Record;Begin" marker.
  bool read = false;
  // kiv finished the header: its "runs" row (one per header it dumped).
  bool dumped = false;
  // The header has an end time: a trace whose recording was killed has
  // none, and its runs row shows the epoch.
  bool closed = false;
  // Its "Record;End" marker and that marker's record number, the header's
  // last memory record.
  bool ended = false;
  std::uint64_t end_rec = 0;
  std::string start_time;
  // Malloc ids reserved under the header ("Malid;Reserve" markers).
  std::set<std::uint32_t> reserved_ids;
  // Processes started under the header ("Process;Start" markers): each has
  // a "process" row once kiv finished the header.
  std::set<std::uint32_t> started;
  // Groups of rows a process writes into "arcs": one when it ends, one at
  // the end of the header while it still runs.
  std::map<std::uint32_t, std::uint32_t> arc_groups;
};

// The processes each image has a "process" row of (index n - 1 for image n).
using process_rows = std::vector<std::set<std::uint32_t>>;

// One way in which a run is not whole.
struct cut_finding {
  std::size_t image = 0;  // 1, 2, ...
  std::int32_t pid = 0;
  std::string what;
  // "header 2 (pid 4242): <what>"
  std::string text() const;
};

class image_plan {
 public:
  // The rows of "runs" and "marker", each table in the order kiv wrote it.
  void add_run(std::int32_t pid, std::string_view start_time, std::string_view end_time);
  void add_marker(std::int32_t pid, std::uint64_t rec, std::string_view time, std::string_view group,
                  std::string_view kind, std::string_view text);
  // Merges the two into the list of headers; call once, after the rows.
  void finish();

  // Image n is images()[n - 1].
  const std::vector<process_image>& images() const { return images_; }
  // Images (1, 2, ...) of the headers kiv read, and of those it dumped, in
  // order.
  const std::vector<std::size_t>& read_images() const { return read_; }
  const std::vector<std::size_t>& dumped_images() const { return dumped_; }
  const process_image& image(std::size_t n) const { return images_.at(n - 1); }

  // What makes the run less than whole, given each image's last memory
  // record number (index n - 1 for image n; nullopt: it has no memory
  // rows) and, once the "process" table is read, its rows. Empty for a
  // whole run.
  std::vector<cut_finding> findings(std::span<const std::optional<std::uint64_t>> last_rec,
                                    const process_rows* processes = nullptr) const;

 private:
  struct run_row {
    std::int32_t pid;
    std::string start_time;
    bool closed;
  };
  struct process_marks {
    std::uint32_t ends = 0;
    bool running = false;
  };
  void note_marker(process_image& image, std::string_view group, std::string_view kind, std::string_view text);

  std::vector<run_row> runs_;
  std::vector<process_image> begun_;  // one per Begin marker
  std::vector<std::map<std::uint32_t, process_marks>> marks_;
  std::vector<process_image> images_;
  std::vector<std::size_t> read_;
  std::vector<std::size_t> dumped_;
};

// Whether a header's end time as kiv writes it is set: an unset time is
// the epoch, shown in the time zone of the conversion.
bool time_is_set(std::string_view time);

}  // namespace kivdb
