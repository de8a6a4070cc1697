#include "model/KivSymbol.h"

#include <charconv>
#include <utility>

namespace {

constexpr unsigned type_long = 0x1;
constexpr unsigned type_double = 0x2;
constexpr unsigned type_string = 0x4;
constexpr unsigned type_table = 0x8001;
constexpr unsigned type_boolean = 0x10001;

// Room for any int in decimal, sign included.
constexpr int max_int_chars = 12;

}  // namespace

void KivSymbol::set_dims(int count, const std::array<unsigned, max_dims>& values) {
  nrdims = count;
  dims = values;
}

void KivSymbol::set_storage(unsigned new_flags, unsigned new_size, std::string new_name, unsigned step) {
  flags = new_flags;
  size = new_size;
  name = std::move(new_name);
  alloc_step = step;
  if (name.empty()) name = make_name(category, symnr);
}

std::string KivSymbol::make_name(int category, int symnr) {
  if (symnr < 0) return "<no_symnr:cannot happen>";
  std::string_view prefix;
  switch (category) {
    case argument:
      prefix = "arg";
      break;
    case local:
      prefix = "local";
      break;
    case external:
      prefix = "global";
      break;
    case dynamic:
      return "dynamic";
    default:
      return {};
  }
  // The number as "<%d>".
  char digits[max_int_chars];
  const auto end = std::to_chars(digits, digits + sizeof digits, symnr).ptr;
  std::string name(prefix);
  name.push_back('<');
  name.append(digits, end);
  name.push_back('>');
  return name;
}

std::string_view KivSymbol::kind_text() const {
  switch (category) {
    case argument:
      return "arg ";
    case local:
      return "loc ";
    case external:
      return (flags & flag_global) != 0 ? "glob" : "ext ";
    case dynamic:
      return "dyn ";
    default:
      return "";
  }
}

std::string_view KivSymbol::base_type_word() const {
  switch (flags & base_type_mask) {
    case type_long:
      return "long ";
    case type_double:
      return "double ";
    case type_string:
      return "string ";
    case type_table:
      return "table ";
    case type_boolean:
      return "boolean ";
    default:
      return "";
  }
}

out_stream& KivSymbol::dumpinfo(out_stream& os) const {
  if ((flags & flag_common) != 0) {
    os << "common ";
  } else if ((flags & flag_extern) != 0) {
    os << "extern ";
  }
  if ((flags & flag_combined) != 0) os << "combined ";
  if ((flags & flag_domain) != 0) {
    os << "domain " << domain << ' ';
  } else {
    os << base_type_word();
  }
  os << name;
  if (nrdims == 0) {
    os << ' ';
  } else {
    os << '(';
    // A count outside 1..max_dims leaves the parentheses empty.
    if (nrdims > 0 && nrdims <= max_dims) {
      for (int i = 0; i < nrdims; ++i) {
        if (i > 0) os << ',';
        os << dims[static_cast<std::size_t>(i)];
      }
    }
    os << ") ";
  }
  if ((flags & flag_based) != 0) os << "based ";
  if ((flags & flag_fixed) != 0) os << "fixed ";
  if ((flags & flag_mb) != 0) os << "mb ";
  return os;
}

out_stream& operator<<(out_stream& os, const KivSymbol& sym) { return sym.dumpinfo(os); }
