#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/stack_text.h"

namespace kivrec {

// An object file as a trace records it: where it was and where it was loaded.
struct object_file {
  std::string path;
  std::string build_id;  // raw bytes; empty when unknown
  std::uint64_t load_bias = 0;
};

// Names code addresses by function, source file and line, with a frame of
// their own for every inlined call, from an object's symbol tables and
// DWARF (in the object, or in a separate debug file found by build-id or
// debug link under the debug directories). Every address is named once.
class stack_namer {
 public:
  // `debug_dirs`: directories (separated by ':') searched for separate
  // debug files before the system's /usr/lib/debug.
  explicit stack_namer(const std::string& debug_dirs);
  ~stack_namer();
  stack_namer(const stack_namer&) = delete;
  stack_namer& operator=(const stack_namer&) = delete;

  // Opens the object's file (and its symbols) now, while it is surely
  // there: a library that the program deletes later is still named.
  void open(const object_file& object) { module_of(object); }

  // The frames of a return address in `object` (null: in no known object),
  // innermost inlined call first, each as its text in a stack.
  const std::vector<std::string>& frames(const object_file* object, std::uint64_t address);

 private:
  struct module;
  module& module_of(const object_file& object);

  std::string debug_path_;
  char* debug_path_pointer_ = nullptr;
  std::map<std::string, std::unique_ptr<module>> modules_;
  std::unordered_map<std::uint64_t, std::vector<std::string>> outside_;  // addresses in no object
};

}  // namespace kivrec
