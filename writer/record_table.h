#pragma once

#include <cstddef>
#include <span>

namespace kivw {

// How the writer converts one element of a record: 'u' unsigned 32-bit,
// 'd' signed 32-bit, 'p' address (opaque 64-bit number), 's' string.
struct element_info {
  const char* name;
  char conv;
};

// One record type as the writer knows it: tag letter, enumerator name,
// description and its elements in order. This table is the writer's own;
// it deliberately shares nothing with the converter's decoding code.
struct record_info {
  char tag;
  const char* name;
  const char* desc;
  std::span<const element_info> elements;
};

// Largest number of elements a record type has.
inline constexpr std::size_t max_elements = 7;

inline constexpr std::size_t record_type_count = 32;

// The record types in the order the header lists them.
std::span<const record_info> header_order();

// The record type of a tag, or nullptr when the writer has no such type.
const record_info* find_record(char tag);

// The name and description written for a tag without a record type.
inline constexpr const char* unknown_name = "unknown";
inline constexpr const char* unknown_desc = "Unknown type";

// Text-trace format line of a record type: each conversion as "%u", "%d",
// "%p" or "%s" followed by a blank.
const char* format_line(const record_info& rec);

}  // namespace kivw
