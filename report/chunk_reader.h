#pragma once

// Parses one table file of one-line rows on worker threads and hands its
// rows on in order on the calling thread. The file is cut into chunks at
// line ends; each worker parses whole chunks with a parser of its own and
// keeps only the fields asked for, and the caller takes the chunks in file
// order, a few ahead of it at most.

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "db/database.h"
#include "db/schema.h"

namespace kivdb::report {

struct chunk_plan {
  const table_def* table = nullptr;
  char field_sep = ';';
  char fun_sep = ';';
  std::string_view run_id;
  std::span<const std::string_view> converted;  // the columns whose numbers are converted
  std::span<const std::size_t> projection;      // the fields kept of each row
  std::string path;                             // for messages
};

// Calls each with the kept fields of every row, in order. Throws load_error
// (file and line) for a row that is not what kiv writes, or what each
// throws, after the workers have stopped.
void read_chunks(const chunk_plan& plan, const char* data, std::size_t size,
                 const std::function<void(std::span<field> row)>& each);

}  // namespace kivdb::report
