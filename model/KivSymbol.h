#pragma once

#include <array>
#include <string>
#include <string_view>

#include "output/out_stream.h"

// A 3GL variable of a traced process: announced with its number and
// category, optionally given dimensions and a data-dictionary domain, and
// completed when its storage is allocated.
class KivSymbol {
 public:
  // Categories as the runtime reports them.
  enum category_kind : int { local = 1, argument = 2, external = 3, dynamic = 4 };

  // Flag bits used when the symbol is rendered.
  static constexpr unsigned flag_fixed = 0x20;
  static constexpr unsigned flag_domain = 0x40;
  static constexpr unsigned flag_extern = 0x100;
  static constexpr unsigned flag_based = 0x200;
  static constexpr unsigned flag_common = 0x400;
  static constexpr unsigned flag_combined = 0x800;
  static constexpr unsigned flag_mb = 0x4000;
  static constexpr unsigned flag_global = 0x100000;
  // Bits that select the base type word.
  static constexpr unsigned base_type_mask = 0x18007;

  // At most this many dimensions are ever written, so no more are stored,
  // whatever nrdims a trace claims.
  static constexpr int max_dims = 4;

  long long address = 0;
  unsigned flags = 0;
  int category = 0;
  unsigned size = 0;
  std::string name;
  std::string domain;
  int symnr = 0;
  int nrdims = 0;
  std::array<unsigned, max_dims> dims{};
  unsigned alloc_step = 0;

  KivSymbol(long long addr, int cat, int nr) : address(addr), category(cat), symnr(nr) {}

  // Takes the claimed number of dimensions and the first max_dims of them.
  void set_dims(int count, const std::array<unsigned, max_dims>& values);

  // Storage allocation: the last one wins. An empty name is replaced by one
  // made from the category and symbol number.
  void set_storage(unsigned new_flags, unsigned new_size, std::string new_name, unsigned step);

  // The declaration-like text of the symbol, without a line end.
  out_stream& dumpinfo(out_stream& os) const;

  // "arg ", "loc ", "glob", "ext ", "dyn " or empty (never a null view, so
  // writers may copy it without a length check).
  std::string_view kind_text() const;

  // Name of a symbol allocated without one: local<7>, arg<2>, global<3>,
  // "dynamic"; empty for other categories.
  static std::string make_name(int category, int symnr);

 private:
  std::string_view base_type_word() const;
};

out_stream& operator<<(out_stream& os, const KivSymbol& sym);
