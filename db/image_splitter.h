#pragma once

// Gives every row of the tables with an image column (table_def::per_image)
// the process image it belongs to. kiv writes each header's rows after the
// previous header's, so a table is a run of per-header blocks in the order
// of the plan; the splitter finds where each block ends. Where a table
// marks the start of a header's rows, that mark decides: a Begin marker
// ("marker"), the row of process 0 ("process"), "(no object)" ("objects"),
// "(no function)" ("functions"), one row per header ("runs"). Elsewhere a
// row's pid decides, and among the headers of one pid:
//  - memory: a header's rows end at the record number of its End marker
//    (or where record numbers start again at 1);
//  - freemem: the row fits the header whose memory row at freed_by freed
//    it (an 'f' or 'r' row naming the same block, or a free id or reset id);
//  - malid, color, hashloc: keys ascend within a header; a row goes to a
//    later header when its key does not ascend, or when only a later header
//    knows the key (its Reserve markers, its malloc ids, the locations of
//    its memory and malid rows);
//  - arcs: a process writes its arcs in one group, from arc 0 up, when it
//    ends and at the end of the header while it runs (its Start and End
//    markers tell how many groups each header holds).
// The loader and the report of a converted directory label rows through
// this one class.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "db/database.h"
#include "db/image_plan.h"
#include "db/schema.h"

namespace kivdb {

class row_labeller {
 public:
  virtual ~row_labeller() = default;
  // Sets the image field (the field after the stored ones) of one row; rows
  // come in the order kiv wrote them.
  virtual void label(std::span<field> row) = 0;
};

class image_splitter {
 public:
  explicit image_splitter(const image_plan& plan);
  ~image_splitter();
  image_splitter(const image_splitter&) = delete;
  image_splitter& operator=(const image_splitter&) = delete;

  // The labeller of a table with an image column; nullptr for the others.
  // The labels of some tables use rows of others: label the tables in
  // label_order().
  row_labeller* labeller(const table_def& table);
  // Starts the table's labels afresh, for reading its rows again: what
  // they told other tables the first time stays.
  void restart(const table_def& table);
  // The tables whose labels others use, first to last; any other table
  // may come at any time.
  static std::span<const std::string_view> label_order();
  // The columns any labeller reads (a table has some of them).
  static std::span<const std::string_view> label_columns();

  // Each image's largest memory record number so far (index n - 1 for
  // image n; nullopt: no memory row yet).
  const std::vector<std::optional<std::uint64_t>>& last_memory_recs() const;

  struct state;

 private:
  std::unique_ptr<state> state_;
  std::vector<std::unique_ptr<row_labeller>> labellers_;
  std::vector<std::string> names_;
};

}  // namespace kivdb
