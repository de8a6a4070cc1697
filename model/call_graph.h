#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "output/out_stream.h"

class kiv_reader;
class KivProcess;
class FuncArc;
class KivSymbol;

// The identity of one function: owned by the object that loaded it, or by
// the process for its root and special functions.
class Func_loc {
 public:
  Func_loc(std::uint32_t objid, std::int32_t funnr, std::string name, bool vorex)
      : objid(objid), funnr(funnr), name(std::move(name)), vorex(vorex) {}

  // Object id, function number and name, separated by data_sep.
  void dumpinfo(out_stream& os) const;
  // The owning object's name; a process's own functions (number below 1)
  // belong to "(process internal)".
  const std::string& get_obj_name(kiv_reader* reader) const;

  std::uint32_t objid;
  std::int32_t funnr;
  std::string name;
  bool vorex;
};

// The node of one function in one process's call graph. Each distinct callee
// gets one outgoing arc, numbered by the process.
class Func_rel {
 public:
  explicit Func_rel(Func_loc* loc) : loc(loc) {}
  Func_rel(const Func_rel&) = delete;
  Func_rel& operator=(const Func_rel&) = delete;

  // Number of the arc from this node to child, created on the first call.
  std::uint32_t update_child(Func_rel* child, KivProcess& proc);
  // Forgets every outgoing arc (their objects are gone with the process).
  void clear_children();
  const std::string& name() const { return loc->name; }
  // Attaches an allocated symbol to the list of its category (defined in
  // KivProcess_symbols.cpp); a symbol of no known category is reported and
  // not attached.
  void add_symbol(KivSymbol* sym);
  // Forgets the attached symbols (they are deleted with the process's).
  void clear_symbols();

  Func_loc* loc;
  std::uint32_t nr_children = 0;
  // Outgoing arcs in order of creation.
  std::vector<FuncArc*> child_arcs;
  // Symbols attached to the function, by category; not owned.
  std::vector<KivSymbol*> arguments;
  std::vector<KivSymbol*> locals;
  std::vector<KivSymbol*> externals;
  std::vector<KivSymbol*> dynamics;

 private:
  // Every flow record looks up its arc, so the callees are found through an
  // open-addressing index (linear probing) that holds the callee and its
  // arc number: one memory access per probe, no node per arc. A null callee
  // marks an empty slot.
  struct child_slot {
    const Func_rel* child = nullptr;
    std::uint32_t arc = 0;
  };
  std::size_t home_slot(const Func_rel* child) const;
  const child_slot* find_child(const Func_rel* child) const;
  // Indexes child_arcs[position]; the index doubles when it would be more
  // than half full.
  void index_arc(std::uint32_t position);
  void place_in_index(const FuncArc& arc);

  std::vector<child_slot> child_index_;
};

// One caller -> callee pair of a process; owned by the process's arc vector.
class FuncArc {
 public:
  FuncArc(kiv_reader* reader, Func_rel* parent, Func_rel* child, std::uint32_t number)
      : reader(reader), parent(parent), child(child), number(number) {}

  // Both ends: object name, object id, function number, function name.
  void dumpinfo(out_stream& os) const;

  kiv_reader* reader;
  Func_rel* parent;
  Func_rel* child;
  std::uint32_t number;
};

// One frame of a process's 3GL call stack. The bottom frame of a process
// without special 0 has no function.
struct Func_context {
  Func_rel* function = nullptr;
  std::uint32_t arc = 0;
};

// The function name a debug line shows for a frame (empty without one).
const std::string& frame_name(const Func_context* frame);
