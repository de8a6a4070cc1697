#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>

#include "reader/KivEvent.h"

class out_stream;

// 3GL symbol records: a new symbol, its dimensions, its data-dictionary
// type name and its storage allocation.
class KivSymbolNew : private KivEvent {
 public:
  explicit KivSymbolNew(kiv_reader* reader) : KivEvent(kiv_e_symbol_new_sym, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::int64_t sym = 0;
  std::int32_t symnr = 0;
  std::int32_t sym_type = 0;
};

class KivSymbolDims : private KivEvent {
 public:
  static constexpr int dim_count = 4;
  explicit KivSymbolDims(kiv_reader* reader) : KivEvent(kiv_e_symbol_dims, reader) {}
  // Always four dimensions, whatever nrdims says.
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::int64_t sym = 0;
  std::uint32_t nrdims = 0;
  std::array<std::uint32_t, dim_count> dims{};
};

class KivSymbolDdName : private KivEvent {
 public:
  explicit KivSymbolDdName(kiv_reader* reader) : KivEvent(kiv_e_symbol_dd_name, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::int64_t sym = 0;
  std::string dd_name;
};

class KivSymbolAlloc : private KivMeasurement {
 public:
  explicit KivSymbolAlloc(kiv_reader* reader) : KivMeasurement(kiv_e_symbol_alloc, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;
  virtual void dumpinfo(out_stream&) const {}
  using KivMeasurement::context;

  std::int64_t sym = 0;
  std::uint32_t flags = 0;
  std::uint32_t size = 0;
  std::string name;
};
