#pragma once

// Parses one table file of one-line rows on worker threads and hands its
// rows on in order on the calling thread. The file is cut into chunks; each
// worker reads whole chunks into a buffer of its own (on to the end of the
// chunk's last row) and parses them with a parser of its own, keeping only
// the fields asked for, and the caller takes the chunks in file order, a
// few ahead of it at most. Reading into a few buffers instead of mapping
// the file keeps the memory used small whatever the file's size.

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

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
  // When every pid of the run has one image, the image follows from the
  // pid, and the workers set it: the kept field at image_at gets the image
  // of the pid at pid_at (0 for a pid the run has no header of).
  const std::unordered_map<std::int32_t, std::int64_t>* image_of_pid = nullptr;
  std::size_t pid_at = 0;
  std::size_t image_at = 0;
};

// Calls each with the kept fields of every row of the open file `fd` of
// `size` bytes, in order. Throws load_error (file and line) for a row that
// is not what kiv writes or a file that cannot be read, or what each
// throws, after the workers have stopped.
void read_chunks(const chunk_plan& plan, int fd, std::size_t size,
                 const std::function<void(std::span<field> row)>& each);

}  // namespace kivdb::report
