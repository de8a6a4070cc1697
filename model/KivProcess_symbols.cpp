// The 3GL symbols of a process: announced, dimensioned, typed and
// allocated by the symbol records, attached to the function running at the
// allocation, and written to the "symbols" and "flowdata" tables when the
// process ends.

#include <iostream>
#include <map>
#include <utility>

#include "header/kiv_hdr.h"
#include "model/KivProcess.h"
#include "output/out_stream.h"
#include "reader/KivSymbolRecord.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

namespace {

// Ends a "flowdata" record, which spans several lines.
constexpr const char* record_end_marker = "<<>>";

}  // namespace

KivSymbol* KivProcess::find_symbol(std::int64_t address) const {
  const auto it = symbols.find(address);
  return it != symbols.end() ? it->second.get() : nullptr;
}

void KivProcess::symbol_new(const KivSymbolNew& rec) {
  auto [it, inserted] = symbols.try_emplace(rec.sym);
  if (!inserted) {
    std::cerr << "cannot happen KivProcess::symbol_new\n";
    return;
  }
  it->second = std::make_unique<KivSymbol>(rec.sym, rec.sym_type, rec.symnr);
}

void KivProcess::symbol_dims(const KivSymbolDims& rec) {
  KivSymbol* sym = find_symbol(rec.sym);
  if (sym == nullptr) return;
  std::array<unsigned, KivSymbol::max_dims> dims{};
  for (std::size_t i = 0; i < dims.size(); ++i) dims[i] = rec.dims[i];
  sym->set_dims(static_cast<int>(rec.nrdims), dims);
}

void KivProcess::symbol_dd_name(const KivSymbolDdName& rec) {
  KivSymbol* sym = find_symbol(rec.sym);
  if (sym != nullptr) sym->domain = rec.dd_name;
}

void KivProcess::symbol_alloc(const KivSymbolAlloc& rec) {
  KivSymbol* sym = find_symbol(rec.sym);
  if (sym == nullptr) {
    std::cerr << "can't find sym\n";
    return;
  }
  sym->set_storage(rec.flags, rec.size, rec.name, flow_seq);
  // The symbol belongs to the function on top of the call stack; before the
  // first flow record, or under a frame without a function, it stays with
  // the process.
  Func_rel* function = context_set && !stack.empty() ? stack.back().function : nullptr;
  if (function != nullptr) {
    function->add_symbol(sym);
  } else {
    symbol_list.push_back(sym);
  }
}

void KivProcess::dump_symbols(out_stream& os) const {
  const kiv_hdr& hdr = reader->header();
  long long index = 0;
  for (const auto& [address, sym] : symbols) {
    os << hdr.runid << data_sep << hdr.pid << data_sep << pid << data_sep << sym->alloc_step
       << data_sep << index++ << data_sep << address << data_sep << sym->size << data_sep
       << sym->kind_text() << data_sep << static_cast<std::int32_t>(sym->flags) << data_sep;
    sym->dumpinfo(os) << '\n';
  }
}

// Symbols grouped by the flow step of their allocation. A group starts
// wherever the step changes in address order, so one step can give several
// groups, each repeating the totals of the whole step.
void KivProcess::dump_flowdata(out_stream& os) const {
  struct step_total {
    std::uint64_t size = 0;
    std::uint64_t count = 0;
  };
  // Totals only for the steps that have symbols: a long-running process
  // counts millions of flow steps but allocates few symbols.
  std::map<unsigned, step_total> totals;
  for (const auto& [address, sym] : symbols) {
    step_total& t = totals[sym->alloc_step];
    t.size += sym->size;
    ++t.count;
  }
  const kiv_hdr& hdr = reader->header();
  bool first = true;
  unsigned previous = 0;
  int group = 0;
  for (const auto& [address, sym] : symbols) {
    if (first || sym->alloc_step != previous) {
      if (!first) os << record_end_marker << '\n';
      const step_total& t = totals[sym->alloc_step];
      os << hdr.runid << data_sep << hdr.pid << data_sep << pid << data_sep << sym->alloc_step
         << data_sep << group++ << data_sep << t.size << data_sep << t.count << data_sep;
      previous = sym->alloc_step;
      first = false;
    }
    os << sym->kind_text() << ':';
    sym->dumpinfo(os) << '\n';
  }
  os << record_end_marker << '\n';
}

void KivProcess::free_symbols() {
  // The function nodes that outlive the process's end must not point at
  // the symbols deleted here.
  if (root_rel != nullptr) root_rel->clear_symbols();
  for (auto& rel : special_rels_) rel->clear_symbols();
  symbol_list.clear();
  symbols.clear();
}

void Func_rel::add_symbol(KivSymbol* sym) {
  switch (sym->category) {
    case KivSymbol::argument:
      arguments.push_back(sym);
      break;
    case KivSymbol::local:
      locals.push_back(sym);
      break;
    case KivSymbol::external:
      externals.push_back(sym);
      break;
    case KivSymbol::dynamic:
      dynamics.push_back(sym);
      break;
    default:
      std::cerr << "sym with no category \"" << sym->name << "\"\n";
      break;
  }
}

void Func_rel::clear_symbols() {
  arguments.clear();
  locals.clear();
  externals.clear();
  dynamics.clear();
}
