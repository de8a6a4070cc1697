#pragma once

// A small decoder of trace files, written for the tests from the file format
// alone: it shares nothing with the writer or the converter, so a fault in
// either shows up as a difference here.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace trace_test {

struct header_entry {
  char tag = 0;
  std::string name;
  std::string desc;
  std::vector<std::pair<std::string, int>> elems;  // name, size
  std::string format;
};

struct header_kivfile {
  std::string file;
  std::string size;
};

// What the header states, read with plain text matching.
struct decoded_header {
  std::string text;
  std::map<std::string, std::vector<std::string>> values;  // element name -> attribute values of its first occurrence
  std::vector<header_entry> entries;
  std::vector<header_kivfile> files;
  bool little_endian = true;
  bool closed = false;  // ends with </kiv>

  int width(char tag, std::size_t index) const;
  const header_entry* entry(char tag) const;
};

decoded_header read_header(const std::string& path);

struct decoded_record {
  char tag = 0;
  std::size_t offset = 0;      // of the tag byte in its file
  std::uint16_t length = 0;
  std::vector<std::uint64_t> numbers;  // numeric elements, zero-extended
  std::string text;                    // the string element, if any
};

// Decodes a binary data file with the widths the header declares. Stops
// with `error` set when a record does not match its declared layout.
struct decoded_file {
  std::vector<decoded_record> records;
  std::string error;
  std::size_t size = 0;
};

decoded_file decode_data(const std::string& bytes, const decoded_header& header);

std::string read_file(const std::string& path);

// Sign-extends the low `width` bytes of a decoded number.
std::int64_t as_signed(std::uint64_t value, int width);

// All records of a run, file after file, decoding every file of the
// header's kivfile list relative to `trace_dir`.
std::vector<decoded_record> decode_run(const std::string& trace_dir, const decoded_header& header,
                                       std::string* error = nullptr);

}  // namespace trace_test
