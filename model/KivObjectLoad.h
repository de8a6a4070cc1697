#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "model/call_graph.h"
#include "output/out_stream.h"
#include "reader/KivContext.h"

// A loaded 3GL object: the object load record itself, kept after decoding,
// with the names of its 3GL functions and 4GL (Vorex) functions by number.
class KivObjectLoad : public KivContext {
 public:
  using func_map = std::map<std::int32_t, std::unique_ptr<Func_loc>>;

  explicit KivObjectLoad(kiv_reader* reader) : KivContext(kiv_e_object_load, reader) {}
  // An object that is not decoded from a record (the illegal object).
  KivObjectLoad(kiv_reader* reader, std::uint32_t id, std::string name)
      : KivContext(kiv_e_object_load, reader), id_of_obj(id), name(std::move(name)) {}

  // Reads the object id and derives the name from the malloc id of the same
  // number.
  void setelems() override;
  void traceevent(std::ostream& os) override;

  // Stores the name of 3GL function funnr (or Vorex function funnr); a
  // replaced entry stays alive for the nodes made from it.
  void object_function_load(std::int32_t funnr, const std::string& funcname);
  void object_global_load(std::int32_t funnr, const std::string& funcname);
  // The function under funnr, or null.
  const Func_loc* function(std::int32_t funnr) const;

  // Row of the "objects" table, without the line end.
  void dumpinfo(out_stream& os) const;
  // Rows of the "functions" table (3GL functions only).
  void dump_funcs(out_stream& os) const;

  std::uint32_t id_of_obj = 0;
  std::string name;
  func_map functions;
  func_map globals;

 private:
  void store(func_map& map, std::int32_t funnr, const std::string& funcname, bool vorex);

  std::vector<std::unique_ptr<Func_loc>> replaced_;
};

// The object name that a malloc id's reserve type gives: the text from its
// fifth character on, "init" for ":0:init"; empty for a shorter text.
std::string object_name_of(const std::string& reserve_type);
