#include "model/call_graph.h"

#include "driver/settings.h"
#include "model/KivObject_db.h"
#include "model/KivProcess.h"
#include "reader/kiv_reader.h"

void Func_loc::dumpinfo(out_stream& os) const {
  os << objid << data_sep << funnr << data_sep << name;
}

const std::string& Func_loc::get_obj_name(kiv_reader* reader) const {
  if (funnr < 1) return reader->proc_db().get_process(objid)->obj_name;
  return reader->object_db().get_oic(objid)->name;
}

std::uint32_t Func_rel::update_child(Func_rel* child, KivProcess& proc) {
  const auto [it, added] = children.try_emplace(child, nr_children);
  if (!added) return child_arcs[it->second]->number;
  const std::uint32_t n = proc.add_arc(this, child);
  child_arcs.push_back(proc.get_arc(n));
  ++nr_children;
  return n;
}

void Func_rel::clear_children() {
  children.clear();
  child_arcs.clear();
  nr_children = 0;
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
