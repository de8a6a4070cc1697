#include "model/KivObject_db.h"

#include <iostream>

#include "header/kiv_hdr.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

void KivObject_db::add_object(std::unique_ptr<KivObjectLoad> obj) {
  const std::uint32_t id = obj->id_of_obj;
  auto [it, added] = objects_.try_emplace(id);
  if (!added) {
    std::cout << "Error oic_id " << id << " already found!\n";
    return;
  }
  it->second = std::move(obj);
}

KivObjectLoad* KivObject_db::get_oic(std::uint32_t id) {
  const auto it = objects_.find(id);
  return it != objects_.end() ? it->second.get() : &illegal_;
}

const KivObjectLoad* KivObject_db::find(std::uint32_t id) const {
  const auto it = objects_.find(id);
  return it != objects_.end() ? it->second.get() : nullptr;
}

void KivObject_db::dump_db_obj(out_stream& os) const {
  const kiv_hdr& hdr = illegal_.reader()->header();
  os << hdr.runid << data_sep << hdr.pid << data_sep << 0 << data_sep << "(no object)\n";
  for (const auto& [id, obj] : objects_) {
    obj->dumpinfo(os);
    os << '\n';
  }
}

void KivObject_db::dump_db_objfun(out_stream& os) const {
  const kiv_hdr& hdr = illegal_.reader()->header();
  os << hdr.runid << data_sep << hdr.pid << data_sep << "(no object)" << data_sep << 0 << data_sep
     << 0 << data_sep << "(no function)\n";
  for (const auto& [id, obj] : objects_) obj->dump_funcs(os);
}
