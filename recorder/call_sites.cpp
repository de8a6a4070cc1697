#include "recorder/call_sites.h"

#include <dlfcn.h>
#include <link.h>

#include <string_view>

namespace kivrec {

code_address ask_loader(std::uint64_t address) {
  code_address where;
  where.address = address;
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(reinterpret_cast<void*>(address), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
      map == nullptr)
    return where;
  where.object = map;
  where.load_bias = map->l_addr;
  where.object_path = map->l_name;
  where.symbol = info.dli_sname;
  where.symbol_address = reinterpret_cast<std::uint64_t>(info.dli_saddr);
  return where;
}

void call_sites::set_program_name(const char* name) {
  text_buffer out(program_name_, sizeof program_name_);
  out.text(base_name(name)).c_str();
}

bool call_sites::find(std::uint64_t address, call_site* site) const {
  block_info info;
  if (!sites_.find(address, &info)) return false;
  *site = {info.id, info.color != 0};
  return true;
}

bool standard_library_name(std::string_view name) {
  for (const std::string_view prefix : {"_ZNK", "_ZN", "_Z"}) {
    if (!name.starts_with(prefix)) continue;
    name.remove_prefix(prefix.size());
    break;
  }
  // St is std::, Sa std::allocator, Sb std::basic_string, Ss std::string,
  // Si, So, Sd the standard streams.
  if (name.size() >= 2 && name[0] == 'S' && std::string_view("tabsiod").find(name[1]) != std::string_view::npos)
    return true;
  return name.starts_with("9__gnu_cxx");
}

traced_object* call_sites::object_for(const code_address& where) {
  for (std::size_t i = 0; i < object_count_; ++i)
    if (objects_[i].link_map == where.object) return &objects_[i];
  if (object_count_ == max_objects) return nullptr;
  traced_object& o = objects_[object_count_];
  o.link_map = where.object;
  o.load_bias = where.load_bias;
  const bool main_program = where.object_path == nullptr || where.object_path[0] == '\0';
  o.id = main_program ? main_program_id : static_cast<std::uint16_t>(first_library_id + object_count_);
  text_buffer name(o.name, sizeof o.name);
  name.text(main_program ? program_name_ : where.object_path).c_str();
  o.has_symbols = o.symbols.load(main_program ? "/proc/self/exe" : where.object_path);
  ++object_count_;
  return &o;
}

std::size_t call_sites::index_of(std::uint16_t flow_id) const {
  for (std::size_t i = 0; i < object_count_; ++i)
    if (objects_[i].flow_id() == flow_id) return i;
  return 0;
}

traced_object* call_sites::object_of(std::uint16_t id) {
  for (std::size_t i = 0; i < object_count_; ++i)
    if (objects_[i].id == id || objects_[i].flow_id() == id) return &objects_[i];
  return nullptr;
}

bool call_sites::location_text(const code_address& where, traced_object* object, text_buffer& text) {
  if (object == nullptr) {
    text.text("(no object):0x").hex(where.address);
    return false;
  }
  text.text(base_name(object->name)).character(':');
  const std::uint64_t file_address = where.address - where.load_bias;
  std::string_view function;
  std::uint64_t offset = 0;
  if (object->has_symbols && object->symbols.find_function(file_address, &function, &offset)) {
    text.text(function).text("+0x").hex(offset);
    return standard_library_name(function);
  }
  if (where.symbol != nullptr && where.symbol_address != 0) {
    text.text(where.symbol).text("+0x").hex(where.address - where.symbol_address);
    return standard_library_name(where.symbol);
  }
  text.text("0x").hex(file_address);
  return false;
}

call_site call_sites::add(const code_address& where, text_buffer& text) {
  traced_object* object = where.object == nullptr ? nullptr : object_for(where);
  call_site site{object == nullptr ? outside_objects_id : object->id, false};
  site.in_standard_library = location_text(where, object, text);
  sites_.insert(where.address, {site.id, static_cast<std::uint8_t>(site.in_standard_library ? 1 : 0)});
  return site;
}

void call_sites::forget_announcements() {
  sites_.clear();
  for (bool& r : reserved_) r = false;
  for (std::size_t i = 0; i < object_count_; ++i) objects_[i].flow_announced = false;
}

}  // namespace kivrec
