#include "recorder/stack_namer.h"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace kivrec {

namespace {

constexpr const char* system_debug_path = ":.debug:/usr/lib/debug";
constexpr const char* unknown_object = "?";

std::string base_name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string demangled(const char* name) {
  if (name == nullptr) return {};
  if (std::strncmp(name, "_Z", 2) != 0) return name;
  int status = 0;
  char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || readable == nullptr) return name;
  std::string out(readable);
  std::free(readable);
  return out;
}

const char* attribute_text(Dwarf_Die* die, int name) {
  Dwarf_Attribute attribute;
  return dwarf_attr_integrate(die, name, &attribute) == nullptr ? nullptr : dwarf_formstring(&attribute);
}

// A function's name as its DWARF entry gives it (through the abstract
// origin of an inlined instance): a C++ linkage name demangled, which
// carries the namespaces and parameter types, else the plain name (C
// functions given an assembler name keep their source name).
std::string function_name(Dwarf_Die* die) {
  const char* linkage = attribute_text(die, DW_AT_linkage_name);
  if (linkage == nullptr) linkage = attribute_text(die, DW_AT_MIPS_linkage_name);
  if (linkage != nullptr && std::strncmp(linkage, "_Z", 2) == 0) return demangled(linkage);
  const char* name = attribute_text(die, DW_AT_name);
  if (name != nullptr) return name;
  return linkage == nullptr ? std::string() : std::string(linkage);
}

// The entries that hold `pc`, innermost first, up through every inlined
// call to the function the code belongs to (the scopes of an address end
// at the innermost inlined instance; its own parents give the rest).
int containing_entries(Dwarf_Die* cu, Dwarf_Addr pc, Dwarf_Die** out) {
  Dwarf_Die* scopes = nullptr;
  const int count = dwarf_getscopes(cu, pc, &scopes);
  if (count <= 0) return count;
  Dwarf_Die innermost = scopes[0];
  std::free(scopes);
  return dwarf_getscopes_die(&innermost, out);
}

// Where an inlined instance was called from.
void call_site(Dwarf_Die* inlined, Dwarf_Files* files, std::string* file, std::uint32_t* line) {
  Dwarf_Attribute attribute;
  Dwarf_Word value = 0;
  *file = {};
  *line = 0;
  if (dwarf_formudata(dwarf_attr(inlined, DW_AT_call_line, &attribute), &value) == 0)
    *line = static_cast<std::uint32_t>(value);
  if (files != nullptr && dwarf_formudata(dwarf_attr(inlined, DW_AT_call_file, &attribute), &value) == 0)
    if (const char* name = dwarf_filesrc(files, value, nullptr, nullptr)) *file = name;
}

}  // namespace

struct stack_namer::module {
  Dwfl_Callbacks callbacks{};
  Dwfl* session = nullptr;
  Dwfl_Module* dwfl_module = nullptr;
  std::string object_name;
  std::uint64_t load_bias = 0;
  std::unordered_map<std::uint64_t, std::vector<std::string>> names;

  ~module() {
    if (session != nullptr) dwfl_end(session);
  }

  std::vector<std::string> name(std::uint64_t address) const;
  void name_from_dwarf(std::uint64_t pc, const char* symbol, std::vector<kivstack::frame>& out) const;
};

void stack_namer::module::name_from_dwarf(std::uint64_t pc, const char* symbol,
                                          std::vector<kivstack::frame>& out) const {
  Dwarf_Addr bias = 0;
  Dwarf_Die* cu = dwfl_module_addrdie(dwfl_module, pc, &bias);
  if (cu == nullptr) return;
  std::string file;
  std::uint32_t line = 0;
  if (Dwfl_Line* source = dwfl_module_getsrc(dwfl_module, pc)) {
    int number = 0;
    if (const char* name = dwfl_lineinfo(source, nullptr, &number, nullptr, nullptr, nullptr)) {
      file = name;
      line = static_cast<std::uint32_t>(number);
    }
  }
  Dwarf_Files* files = nullptr;
  std::size_t file_count = 0;
  if (dwarf_getsrcfiles(cu, &files, &file_count) != 0) files = nullptr;
  Dwarf_Die* scopes = nullptr;
  const int count = containing_entries(cu, pc - bias, &scopes);
  for (int i = 0; i < count; ++i) {
    const int tag = dwarf_tag(&scopes[i]);
    if (tag != DW_TAG_inlined_subroutine && tag != DW_TAG_subprogram) continue;
    std::string function = function_name(&scopes[i]);
    if (function.empty() && tag == DW_TAG_subprogram) function = demangled(symbol);
    out.push_back({function.empty() ? "?" : function, file, line, object_name});
    if (tag == DW_TAG_subprogram) break;
    call_site(&scopes[i], files, &file, &line);
  }
  std::free(scopes);
}

std::vector<std::string> stack_namer::module::name(std::uint64_t address) const {
  std::vector<kivstack::frame> frames;
  // A return address follows the call: the call itself is the byte before.
  const std::uint64_t pc = address - 1;
  const char* symbol = nullptr;
  if (dwfl_module != nullptr) {
    GElf_Sym sym;
    GElf_Off offset = 0;
    symbol = dwfl_module_addrinfo(dwfl_module, pc, &offset, &sym, nullptr, nullptr, nullptr);
    name_from_dwarf(pc, symbol, frames);
  }
  if (frames.empty() && symbol != nullptr) frames.push_back({demangled(symbol), {}, 0, object_name});
  if (frames.empty()) frames.push_back(kivstack::unnamed_frame(object_name, address - load_bias));
  std::vector<std::string> texts;
  for (const kivstack::frame& f : frames) kivstack::append_frame(texts.emplace_back(), f);
  return texts;
}

stack_namer::stack_namer(const std::string& debug_dirs)
    : debug_path_(debug_dirs.empty() ? std::string(system_debug_path) : ":.debug:" + debug_dirs + ":/usr/lib/debug") {
  debug_path_pointer_ = debug_path_.data();
}

stack_namer::~stack_namer() = default;

stack_namer::module& stack_namer::module_of(const object_file& object) {
  std::string key = object.path;
  key.append(1, '\0').append(object.build_id).append(1, '\0').append(std::to_string(object.load_bias));
  auto [it, added] = modules_.try_emplace(key);
  if (!added) return *it->second;
  it->second = std::make_unique<module>();
  module& m = *it->second;
  m.object_name = base_name_of(object.path);
  m.load_bias = object.load_bias;
  // The session keeps a pointer to its callbacks: they live in the module.
  m.callbacks = {dwfl_build_id_find_elf, dwfl_standard_find_debuginfo, dwfl_offline_section_address,
                 &debug_path_pointer_};
  m.session = dwfl_begin(&m.callbacks);
  if (m.session == nullptr) return m;
  dwfl_report_begin(m.session);
  m.dwfl_module = dwfl_report_elf(m.session, m.object_name.c_str(), object.path.c_str(), -1, object.load_bias, true);
  dwfl_report_end(m.session, nullptr, nullptr);
  if (m.dwfl_module == nullptr) return m;
  // A file rebuilt since the recording would name the wrong code.
  const unsigned char* bits = nullptr;
  GElf_Addr vaddr = 0;
  const int size = dwfl_module_build_id(m.dwfl_module, &bits, &vaddr);
  const bool same = object.build_id.empty() ||
                    (size == static_cast<int>(object.build_id.size()) &&
                     std::memcmp(bits, object.build_id.data(), object.build_id.size()) == 0);
  if (!same) m.dwfl_module = nullptr;
  return m;
}

const std::vector<std::string>& stack_namer::frames(const object_file* object, std::uint64_t address) {
  if (object == nullptr) {
    auto [it, added] = outside_.try_emplace(address);
    if (added) kivstack::append_frame(it->second.emplace_back(), kivstack::unnamed_frame(unknown_object, address));
    return it->second;
  }
  module& m = module_of(*object);
  auto [it, added] = m.names.try_emplace(address);
  if (added) it->second = m.name(address);
  return it->second;
}

}  // namespace kivrec
