#include "model/KivObjectLoad.h"

#include "header/kiv_hdr.h"
#include "memory/KivReserveId.h"
#include "memory/KivReserveId_db.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

namespace {

// Characters of a malloc id's reserve type that precede the object name.
constexpr std::size_t object_name_offset = 4;

}  // namespace

std::string object_name_of(const std::string& reserve_type) {
  if (reserve_type.size() < object_name_offset) return {};
  std::string name = reserve_type.substr(object_name_offset);
  if (name == ":0:init") return "init";
  return name;
}

void KivObjectLoad::setelems() {
  readelem(id_of_obj);
  name = object_name_of(reader()->malid_db().get_reserve_id(id_of_obj)->reserve_type);
}

void KivObjectLoad::traceevent(std::ostream& os) {
  if (tracing()) os << " id_of_obj: " << id_of_obj << " object name: " << name << '\n';
}

void KivObjectLoad::store(func_map& map, std::int32_t funnr, const std::string& funcname,
                          bool vorex) {
  auto& slot = map[funnr];
  if (slot) replaced_.push_back(std::move(slot));
  slot = std::make_unique<Func_loc>(id_of_obj, funnr, funcname, vorex);
}

void KivObjectLoad::object_function_load(std::int32_t funnr, const std::string& funcname) {
  store(functions, funnr, funcname, false);
}

void KivObjectLoad::object_global_load(std::int32_t funnr, const std::string& funcname) {
  store(globals, funnr, funcname, true);
}

const Func_loc* KivObjectLoad::function(std::int32_t funnr) const {
  const auto it = functions.find(funnr);
  return it != functions.end() ? it->second.get() : nullptr;
}

void KivObjectLoad::dumpinfo(out_stream& os) const {
  const kiv_hdr& hdr = reader()->header();
  os << hdr.runid << data_sep << hdr.pid << data_sep << id_of_obj << data_sep << name;
}

void KivObjectLoad::dump_funcs(out_stream& os) const {
  const kiv_hdr& hdr = reader()->header();
  for (const auto& [funnr, loc] : functions) {
    os << hdr.runid << data_sep << hdr.pid << data_sep << name << data_sep;
    loc->dumpinfo(os);
    os << '\n';
  }
}
