#pragma once

// Parsing and storing overlap: a thread of its own splits a table file into
// rows while the caller stores the rows parsed before, so that the
// database's work is the load's only cost.

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "db/database.h"
#include "db/record_parser.h"
#include "db/table_reader.h"

namespace kivdb {

class row_labeller;

struct pipeline_input {
  table_reader& reader;
  std::int64_t first_row;  // row_nr of the file's first record
  std::string path;        // for messages
  // Sets the image of each row of a table with an image column, on the
  // parsing thread, in row order.
  row_labeller* labeller = nullptr;
};

// The "kind:declaration" entries of a file's flowdata records. They are
// stored after the file's records, when the pieces they were read from are
// gone: their texts live here.
struct flowdata_entries {
  std::vector<flowdata_entry> list;
  std::deque<std::string> texts;
};

// Calls store with the records of the input, in order, many at a time: the
// fields of each (row_nr last), one record after the other. Reports the
// bytes parsed so far through progress. Flowdata entries are appended to
// entries. Returns the number of records; throws load_error for a record
// that is not what kiv writes or a file that cannot be read, or whatever
// store throws, after the parsing thread has stopped.
std::int64_t parse_and_store(record_parser& parser, const pipeline_input& input, flowdata_entries& entries,
                             const std::function<void(std::span<const field>)>& store,
                             const std::function<void(std::uint64_t bytes)>& progress);

// The line of the file where record number `record` (1-based) starts, for
// a message about a row the database refused; 0 when the file no longer
// has that many records.
std::uint64_t line_of_record(record_parser& parser, table_reader& reader, std::uint64_t record);

}  // namespace kivdb
