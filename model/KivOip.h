#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "model/call_graph.h"

class kiv_reader;
class KivObjectLoad;

// One object as linked to one process: the process's function nodes of that
// object, built on the first lookup from the functions loaded by then.
class KivOip {
 public:
  using table = std::vector<std::unique_ptr<Func_rel>>;

  KivOip(std::uint32_t objid, kiv_reader* reader);
  KivOip(const KivOip&) = delete;
  KivOip& operator=(const KivOip&) = delete;

  // Builds both tables once, indexed by function number. A number missing
  // from the object leaves its entry empty.
  void fill_func_tables();
  // The node of 3GL (or Vorex) function funnr; null, with a message, when
  // the number is negative or has no node.
  Func_rel* find_function(std::int32_t funnr, bool vorex);
  // Deletes the nodes; the next lookup builds them again.
  void free_func_tables();

  KivObjectLoad* object;
  bool filled = false;
  table functions;
  table globals;
};
