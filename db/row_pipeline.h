#pragma once

// Parsing and storing overlap: a thread of its own splits a table file into
// rows while the caller stores the rows parsed before, so that the
// database's work is the load's only cost.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "db/database.h"
#include "db/record_parser.h"

namespace kivdb {

class row_labeller;

struct pipeline_input {
  const char* begin;
  const char* end;
  std::int64_t first_row;  // row_nr of the file's first record
  std::string path;        // for messages
  // Sets the image of each row of a table with an image column, on the
  // parsing thread, in row order.
  row_labeller* labeller = nullptr;
};

// Calls store with the records of the input, in order, many at a time: the
// fields of each (row_nr last), one record after the other. Reports the
// bytes parsed so far through progress. Flowdata entries are appended to
// entries. Returns the number of records; throws load_error for a record
// that is not what kiv writes, or whatever store throws, after the parsing
// thread has stopped.
std::int64_t parse_and_store(record_parser& parser, const pipeline_input& input,
                             std::vector<flowdata_entry>& entries,
                             const std::function<void(std::span<const field>)>& store,
                             const std::function<void(std::uint64_t bytes)>& progress);

}  // namespace kivdb
