#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "memory/KivStat.h"
#include "memory/id_cache.h"
#include "model/KivSymbol.h"
#include "model/call_graph.h"
#include "model/shared_text.h"
#include "output/out_stream.h"

class kiv_reader;
class KivProcessStart;
class KivReserveId;
class KivOip;
class KivTimeStamp;
class KivSymbolNew;
class KivSymbolDims;
class KivSymbolDdName;
class KivSymbolAlloc;

// One traced 3GL process (or the reader's default process, pid 0, which
// stands for everything outside a traced process). Owns its call graph, call
// stack, linked objects and memory statistics.
class KivProcess {
 public:
  using mal_stat = KivMalidStat<long long, int>;
  static constexpr std::size_t initial_arcs = 1000;
  static constexpr int stat_divisor = 100;
  static constexpr int color_divisor = 10;
  // Colour blocks created per malloc id at most: a hostile colour count
  // cannot exhaust memory; colours beyond it have no block.
  static constexpr int max_color_blocks = 4096;

  // Opens a traced process from its start record and writes its "flow" row.
  KivProcess(kiv_reader* reader, const KivProcessStart& rec);
  // The default process "defaultproc"; divisor scales its record counter
  // (0 means 1000).
  KivProcess(kiv_reader* reader, int divisor);
  ~KivProcess();
  KivProcess(const KivProcess&) = delete;
  KivProcess& operator=(const KivProcess&) = delete;

  // ---- functions and objects ---------------------------------------------
  // Registers special function id (numbers 0 and below), replacing any
  // earlier one.
  void add_special(std::int32_t id, const std::string& name);
  void link_oip(std::uint32_t objid);
  // The node of a function; null when none is known. The first lookup
  // pushes the stack's bottom frame.
  Func_rel* find_function(std::uint32_t objid, std::int32_t funnr, bool vorex);
  // The linked object, or null.
  KivOip* find_oip(std::uint32_t objid) const;

  // ---- call flow -------------------------------------------------------------
  std::uint32_t add_arc(Func_rel* parent, Func_rel* child);
  // Arc n, or null when n is beyond the vector (or there is no vector).
  FuncArc* get_arc(std::uint32_t n) const {
    return arcs && n < arcs->size() ? (*arcs)[n] : nullptr;
  }
  void s_push(Func_rel* function, std::uint32_t arc);
  // Removes the top frame; false when the stack was empty.
  bool s_pop();
  const Func_context* top() const { return stack.empty() ? nullptr : &stack.back(); }
  std::uint32_t depth() const { return static_cast<std::uint32_t>(stack.size()); }
  // Arc of the top frame, 0 on an empty stack.
  std::uint32_t curr_arc() const { return stack.empty() ? 0 : stack.back().arc; }
  // One "flow" row: step, depth, next memory record, arc, direction.
  void write_flow_row(std::uint32_t step, std::uint32_t stack_depth, std::uint32_t arc,
                      char direction) const;
  // The process's rows of the "arcs" table.
  void dump_arcs(out_stream& os) const;

  // ---- statistics ------------------------------------------------------------
  // The per-malloc-id block, created on first use with the id's colours.
  mal_stat* get_mc_stat(std::uint32_t malid);
  KivStat<long long>* get_p_m_stat(std::uint32_t malid) { return &get_mc_stat(malid)->stat; }
  // Null when the colour is out of range (callers skip that level); a
  // colour's block is made when it is first asked for.
  KivStat<int>* get_p_c_stat(std::uint32_t malid, long long color) {
    return get_mc_stat(malid)->add_color(color, color_divisor);
  }

  // ---- life cycle --------------------------------------------------------------
  // The process's row of the "process" table, without the line end.
  void dumpproc(out_stream& os) const;
  // Releases what the process holds at its end and empties it; it is no
  // longer returned by lookups afterwards.
  void free_process();

  // ---- symbols (KivProcess_symbols.cpp) --------------------------------------
  void symbol_new(const KivSymbolNew& rec);
  void symbol_dims(const KivSymbolDims& rec);
  void symbol_dd_name(const KivSymbolDdName& rec);
  // Completes the symbol and attaches it to the function on top of the call
  // stack, or to symbol_list when there is none.
  void symbol_alloc(const KivSymbolAlloc& rec);
  KivSymbol* find_symbol(std::int64_t address) const;
  // The process's rows of the "symbols" table.
  void dump_symbols(out_stream& os) const;
  // The process's records of the "flowdata" table, each ended by "<<>>".
  void dump_flowdata(out_stream& os) const;
  // Deletes the symbols (after both tables were written).
  void free_symbols();

  std::uint32_t main_pid = 0;
  std::uint32_t pid = 0;
  std::uint32_t parent = 0;
  std::uint32_t mal_id = 0;
  std::uint32_t xml_id = 0;
  std::string session_name;
  std::string obj_name = "(process internal)";
  KivOip* first_oip = nullptr;
  std::string start_time;
  std::string end_time;
  std::uint64_t start_rec = 0;
  std::uint64_t end_rec = 0;
  kiv_reader* reader = nullptr;
  KivStat<long long> stat{stat_divisor};
  std::map<std::uint32_t, std::unique_ptr<mal_stat>> malid_stats;
  bool context_set = false;
  bool active = true;
  std::map<std::uint32_t, std::unique_ptr<KivOip>> oips;
  // Special functions by id (compared unsigned); the nodes are owned by
  // special_rels_.
  std::map<std::uint32_t, Func_rel*> specials;
  std::vector<Func_context> stack;
  // The current Vorex call: name, symbol, arguments (empty, 0, empty when
  // none).
  shared_text bcall;
  std::int64_t bcall_sym = 0;
  shared_text bcall_arg;
  std::uint32_t nr_arcs = 0;
  std::unique_ptr<Func_loc> root_loc;
  std::unique_ptr<Func_rel> root_rel;
  // Owned arcs by number; null for the default process.
  std::unique_ptr<std::vector<FuncArc*>> arcs;
  std::uint32_t flow_seq = 0;
  // Symbols by address; symbol_list holds the allocated ones that had no
  // function to attach to, in allocation order.
  std::map<std::int64_t, std::unique_ptr<KivSymbol>> symbols;
  std::vector<KivSymbol*> symbol_list;

 private:
  void delete_arcs();
  // What an ended process keeps that no record can reach any more.
  void release_unreachable();
  // Recent per-id blocks (blocks are only removed all at once, by
  // release_unreachable, which clears the cache too).
  static constexpr std::size_t cached_malids = 16;
  id_cache<mal_stat, cached_malids> mal_cache_;
  // Every special ever registered: a replaced special stays alive as long
  // as the arcs, frames and callers' child maps that may still name it.
  std::vector<std::unique_ptr<Func_loc>> special_locs_;
  std::vector<std::unique_ptr<Func_rel>> special_rels_;
};

// The processes of one run by pid. Key 0 holds the default process, which
// the reader owns; every other process is owned here.
class KivProcess_db {
 public:
  KivProcess_db() = default;
  ~KivProcess_db();
  KivProcess_db(const KivProcess_db&) = delete;
  KivProcess_db& operator=(const KivProcess_db&) = delete;

  void set_default(KivProcess* defproc);
  // Stores the process under its pid, replacing (and releasing) what the
  // entry held.
  void add_process(KivProcess* proc);
  // Never null: an unknown pid gives the default process, an ended one the
  // process under pid 0 (or the default process).
  KivProcess* get_process(std::uint32_t pid) const;
  KivProcess* default_process() const { return defproc_; }
  const std::map<std::uint32_t, KivProcess*>& procs() const { return procs_; }
  // Changes whenever a lookup could give a different answer (a process
  // added, replaced or ended); lets callers cache a lookup.
  std::uint64_t generation() const { return generation_; }
  void changed() { ++generation_; }

  // Sets end time and record of every active process.
  void check_end_time(const KivTimeStamp& ts, std::uint64_t rec);
  // Attach a "proc:<pid>:..." or "xml:proc <pid>:..." malloc id to its
  // process.
  void link_mal_id(const KivReserveId& rid);
  void link_xml_id(const KivReserveId& rid);

  // Process, process id and process id colour levels of a memory record.
  void update_wf(std::uint32_t pid, std::uint32_t id, long long color, unsigned long long size,
                 unsigned long long tot_size);
  void update_nf(std::uint32_t pid, std::uint32_t id, long long color, unsigned long long size,
                 unsigned long long tot_size);
  void update_fr(std::uint32_t pid, std::uint32_t id, long long color, unsigned long long size,
                 unsigned long long tot_size);
  // Release of a whole malloc id's memory in one process.
  void release_wf(std::uint32_t pid, std::uint32_t id, unsigned long long size,
                  unsigned long long tot_size);
  void release_nf(std::uint32_t pid, std::uint32_t id, unsigned long long size,
                  unsigned long long tot_size);

 private:
  KivProcess* lookup(std::uint32_t pid) const;
  void release(KivProcess* proc);
  // The process a malloc id's name designates, or null (reported).
  KivProcess* linked_process(const std::string& name, std::size_t digits_offset) const;

  std::map<std::uint32_t, KivProcess*> procs_;
  KivProcess* defproc_ = nullptr;
  std::uint64_t generation_ = 0;
  // The last lookup, valid while the generation stays the same: every
  // memory record looks its process up more than once.
  mutable std::uint32_t cached_pid_ = 0;
  mutable std::uint64_t cached_generation_ = 0;
  mutable KivProcess* cached_proc_ = nullptr;
};
