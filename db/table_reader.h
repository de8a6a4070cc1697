#pragma once

// A table file read in large pieces, each ending at a record's end, so that
// records are parsed in place: the fields of a record are views into its
// piece, which lives as long as a batch of rows still refers to it. Memory
// stays bounded (a few pieces at a time) however large the file, and the
// pieces' buffers are reused.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/input_file.h"
#include "db/schema.h"

namespace kivdb {

struct table_piece {
  std::vector<char> bytes;  // whole records from bytes[0] to bytes[size)
  std::size_t size = 0;
  std::uint64_t offset = 0;  // of bytes[0] in the file
};

class table_reader {
 public:
  static constexpr std::size_t default_piece_bytes = std::size_t{8} << 20;

  // Opens the file; throws input_error as input_file does.
  explicit table_reader(const std::string& path, record_form form, std::size_t piece_bytes = default_piece_bytes);

  // The next piece, or nullptr after the last. Every piece but the last
  // ends at a record's end; the last holds the rest of the file, so a
  // record cut short at the end of the file reaches the parser, which
  // names what is missing. Throws input_error when the file changes while
  // it is read.
  std::shared_ptr<const table_piece> next();

  std::uint64_t size() const { return file_.size(); }
  record_form form() const { return form_; }

 private:
  // Buffers of pieces no batch refers to any more. Pieces go back from
  // the thread that stores rows while this one reads, and may outlive the
  // reader.
  struct buffer_pool {
    std::mutex mutex;
    std::vector<std::unique_ptr<table_piece>> free;
  };

  std::unique_ptr<table_piece> take_buffer();
  // Reads on at the end of the piece's bytes until it is full or the file
  // ends; true at the end of the file.
  bool fill(table_piece& piece, std::size_t& filled);

  input_file file_;
  record_form form_;
  std::size_t piece_bytes_;
  std::vector<char> carry_;  // the start of a record the last piece cut off
  std::uint64_t next_offset_ = 0;
  bool done_ = false;
  std::shared_ptr<buffer_pool> pool_ = std::make_shared<buffer_pool>();
};

// Where the last whole record in [begin, end) ends (just past its final
// line end), or nullptr when no record ends there.
const char* end_of_last_record(record_form form, const char* begin, const char* end);

}  // namespace kivdb
