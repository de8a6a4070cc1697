#pragma once

#include <array>
#include <cstdint>

namespace kivw {

// Declared byte width of every element of every record type. The header
// states these widths and the typed calls encode with them, so a trace with
// unusual widths (1, 2, 8 or odd numbers) stays self-consistent. By default
// integers and addresses are 4 bytes and strings 0 (zero-terminated).
class element_widths {
 public:
  element_widths();

  // Width of element `index` (0-based) of record type `tag`.
  int get(char tag, std::size_t index) const;
  // Overrides one width. Strings are always written zero-terminated, so a
  // width given to a string element only changes what the header declares.
  void set(char tag, std::size_t index, int width);
  // Sets every integer and address element of every record type to `width`.
  void set_all_numeric(int width);

 private:
  static constexpr std::size_t tag_count = 128;
  static constexpr std::size_t slots = 8;
  std::array<std::array<std::int16_t, slots>, tag_count> widths_{};
};

}  // namespace kivw
