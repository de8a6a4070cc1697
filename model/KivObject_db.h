#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "model/KivObjectLoad.h"
#include "output/out_stream.h"

class kiv_reader;

// The loaded objects of one run by id. An id that is not loaded designates
// the illegal object, which collects the functions loaded for it.
class KivObject_db {
 public:
  explicit KivObject_db(kiv_reader* reader) : illegal_(reader, 0, "Illegal Object") {}
  KivObject_db(const KivObject_db&) = delete;
  KivObject_db& operator=(const KivObject_db&) = delete;

  // Takes the object over; a second object with the same id is reported
  // and dropped.
  void add_object(std::unique_ptr<KivObjectLoad> obj);
  // The object with that id, else the illegal object; never null.
  KivObjectLoad* get_oic(std::uint32_t id);
  const KivObjectLoad* find(std::uint32_t id) const;
  const KivObjectLoad& illegal_object() const { return illegal_; }

  // Rows of the "objects" and "functions" tables, ascending object id.
  void dump_db_obj(out_stream& os) const;
  void dump_db_objfun(out_stream& os) const;

 private:
  std::map<std::uint32_t, std::unique_ptr<KivObjectLoad>> objects_;
  KivObjectLoad illegal_;
};
