#include <array>
#include <string>

#include "writer/record_table.h"

// Lookups by tag and the text-trace format lines, built once on first use.
// Kept apart from the table itself so that code that must not allocate
// (the recorder's preloaded library) can use the table alone.
namespace kivw {
namespace {

constexpr std::size_t tag_slots = 128;

// Index of each tag's entry in the table, built once.
struct tag_index {
  std::array<const record_info*, tag_slots> by_tag{};
  std::array<std::string, record_type_count> formats;
  tag_index() {
    for (std::size_t i = 0; i < record_type_count; ++i) {
      by_tag[static_cast<unsigned char>(header_order()[i].tag)] = &header_order()[i];
      for (const element_info& e : header_order()[i].elements) {
        formats[i] += '%';
        formats[i] += e.conv;
        formats[i] += ' ';
      }
    }
  }
};

const tag_index& index() {
  static const tag_index idx;
  return idx;
}

}  // namespace

const record_info* find_record(char tag) {
  const auto code = static_cast<unsigned char>(tag);
  return code < tag_slots ? index().by_tag[code] : nullptr;
}

const char* format_line(const record_info& rec) {
  return index().formats[static_cast<std::size_t>(&rec - header_order().data())].c_str();
}

}  // namespace kivw
