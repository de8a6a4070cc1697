#include "writer/element_widths.h"

#include "writer/record_table.h"

namespace kivw {

namespace {
constexpr int numeric_width = 4;
constexpr int string_width = 0;
}  // namespace

element_widths::element_widths() {
  for (const record_info& rec : header_order()) {
    auto& row = widths_[static_cast<unsigned char>(rec.tag)];
    for (std::size_t i = 0; i < rec.elements.size() && i < slots; ++i)
      row[i] = static_cast<std::int16_t>(rec.elements[i].conv == 's' ? string_width : numeric_width);
  }
}

int element_widths::get(char tag, std::size_t index) const {
  const auto code = static_cast<unsigned char>(tag);
  if (code >= tag_count || index >= slots) return 0;
  return widths_[code][index];
}

void element_widths::set(char tag, std::size_t index, int width) {
  const auto code = static_cast<unsigned char>(tag);
  if (code >= tag_count || index >= slots) return;
  widths_[code][index] = static_cast<std::int16_t>(width);
}

void element_widths::set_all_numeric(int width) {
  for (const record_info& rec : header_order())
    for (std::size_t i = 0; i < rec.elements.size(); ++i)
      if (rec.elements[i].conv != 's') set(rec.tag, i, width);
}

}  // namespace kivw
