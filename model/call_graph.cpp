#include "model/call_graph.h"

#include <bit>
#include <cstdint>

#include "model/KivObject_db.h"
#include "model/KivProcess.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

void Func_loc::dumpinfo(out_stream& os) const {
  os << objid << data_sep << funnr << data_sep << name;
}

const std::string& Func_loc::get_obj_name(kiv_reader* reader) const {
  if (funnr < 1) return reader->proc_db().get_process(objid)->obj_name;
  return reader->object_db().get_oic(objid)->name;
}

namespace {
constexpr std::size_t initial_index_slots = 8;
// Fibonacci hashing of the callee's address: its low bits are alignment.
constexpr std::uint64_t hash_mult = 0x9E3779B97F4A7C15ull;
constexpr unsigned pointer_bits = 64;
}  // namespace

std::uint32_t Func_rel::update_child(Func_rel* child, KivProcess& proc) {
  if (const child_slot* slot = find_child(child)) return slot->arc;
  const std::uint32_t n = proc.add_arc(this, child);
  child_arcs.push_back(proc.get_arc(n));
  index_arc(nr_children);
  ++nr_children;
  return n;
}

void Func_rel::clear_children() {
  child_arcs.clear();
  child_index_.clear();
  nr_children = 0;
}

std::size_t Func_rel::home_slot(const Func_rel* child) const {
  const auto bits = static_cast<unsigned>(std::countr_zero(child_index_.size()));
  const std::uint64_t h = reinterpret_cast<std::uintptr_t>(child) * hash_mult;
  return bits == 0 ? 0 : static_cast<std::size_t>(h >> (pointer_bits - bits));
}

const Func_rel::child_slot* Func_rel::find_child(const Func_rel* child) const {
  if (child_index_.empty()) return nullptr;
  const std::size_t mask = child_index_.size() - 1;
  for (std::size_t i = home_slot(child);; i = (i + 1) & mask) {
    const child_slot& slot = child_index_[i];
    if (slot.child == nullptr) return nullptr;
    if (slot.child == child) return &slot;
  }
}

void Func_rel::index_arc(std::uint32_t position) {
  if (2 * (static_cast<std::size_t>(position) + 1) > child_index_.size()) {
    child_index_.assign(child_index_.empty() ? initial_index_slots : 2 * child_index_.size(), child_slot{});
    for (std::uint32_t p = 0; p < position; ++p) place_in_index(*child_arcs[p]);
  }
  place_in_index(*child_arcs[position]);
}

void Func_rel::place_in_index(const FuncArc& arc) {
  const std::size_t mask = child_index_.size() - 1;
  std::size_t i = home_slot(arc.child);
  while (child_index_[i].child != nullptr) i = (i + 1) & mask;
  child_index_[i] = child_slot{arc.child, arc.number};
}

void FuncArc::dumpinfo(out_stream& os) const {
  os << parent->loc->get_obj_name(reader) << data_sep;
  parent->loc->dumpinfo(os);
  os << data_sep << child->loc->get_obj_name(reader) << data_sep;
  child->loc->dumpinfo(os);
}

const std::string& frame_name(const Func_context* frame) {
  static const std::string none;
  if (frame == nullptr || frame->function == nullptr) return none;
  return frame->function->name();
}
