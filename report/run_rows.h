#pragma once

// Where a report reads a run's rows: a database kivdb load filled, or the
// table files of a converted directory. Either way the rows of each table
// come in the order kiv wrote them, with the image column the loader
// derives, so the report's figures are the same whichever way they came.

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "db/database.h"

namespace kivdb::report {

class run_rows {
 public:
  virtual ~run_rows() = default;
  virtual const std::string& run_id() const = 0;
  // Calls each for every row of the table, in the order kiv wrote them,
  // with the named columns in that order. Tables are read in this order:
  // runs, marker, freemem, memory, malid, hashloc, arcs, process.
  virtual void read(std::string_view table, std::span<const std::string_view> columns,
                    const std::function<void(const row_view&)>& each) = 0;
};

// The rows of one run of a database: SELECT ... ORDER BY row_nr.
std::unique_ptr<run_rows> database_rows(database& db, std::string run_id);

}  // namespace kivdb::report
