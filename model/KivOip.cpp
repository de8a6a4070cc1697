#include "model/KivOip.h"

#include <iostream>

#include "model/KivObject_db.h"
#include "reader/kiv_reader.h"

namespace {

// One node per function number 0 .. size-1; a number the object does not
// hold leaves its entry empty.
void fill(KivOip::table& nodes, const KivObjectLoad::func_map& locs) {
  nodes.clear();
  nodes.resize(locs.size());
  for (const auto& [funnr, loc] : locs) {
    if (funnr < 0 || static_cast<std::size_t>(funnr) >= nodes.size()) continue;
    nodes[static_cast<std::size_t>(funnr)] = std::make_unique<Func_rel>(loc.get());
  }
}

}  // namespace

KivOip::KivOip(std::uint32_t objid, kiv_reader* reader) : object(reader->object_db().get_oic(objid)) {}

void KivOip::fill_func_tables() {
  if (filled) return;
  fill(functions, object->functions);
  fill(globals, object->globals);
  filled = true;
}

Func_rel* KivOip::find_function(std::int32_t funnr, bool vorex) {
  fill_func_tables();
  const table& nodes = vorex ? globals : functions;
  if (funnr < 0) {
    std::cerr << "ERROR find_function funnr <= 0 " << funnr << '\n';
    return nullptr;
  }
  const auto index = static_cast<std::size_t>(funnr);
  if (index < nodes.size() && nodes[index]) return nodes[index].get();
  std::cerr << "ERROR find_function funnr " << funnr << " not found\n";
  return nullptr;
}

void KivOip::free_func_tables() {
  if (!filled) return;
  functions.clear();
  globals.clear();
  filled = false;
}
