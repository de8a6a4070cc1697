#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>

#include "reader/KivEvent.h"

class out_stream;

// Memory records: allocations, frees, reallocs and the release of a whole
// malloc id. They carry the source location of the call; its text is a view
// of the location table's entry, which lives as long as the run.
class KivMemory : public KivMeasurement {
 public:
  using KivMeasurement::KivMeasurement;
  // The record's own columns of its "memory" row.
  virtual void dumpinfo(out_stream& os) const;

  std::string_view location_text;
  std::int64_t location = 0;
  std::uint64_t sequence = 0;
};

class KivMallocWF : public KivMemory {
 public:
  explicit KivMallocWF(kiv_reader* reader) : KivMemory(kiv_e_malloc_wf, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t id = 0;
  std::uint32_t color = 0;
  std::int64_t addr = 0;
  std::uint32_t size = 0;
  std::uint32_t tot_size = 0;
  std::int64_t addr_realloc = 0;
};

class KivMallocNF : public KivMemory {
 public:
  explicit KivMallocNF(kiv_reader* reader) : KivMemory(kiv_e_malloc_nf, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t id = 0;
  std::uint32_t color = 0;
  std::int64_t addr = 0;
  std::uint32_t size = 0;
  std::uint32_t tot_size = 0;
};

class KivFree : public KivMemory {
 public:
  explicit KivFree(kiv_reader* reader) : KivMemory(kiv_e_free, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t id = 0;
  std::uint32_t color = 0;
  std::int64_t addr = 0;
};

class KivFreeRealloc : public KivMemory {
 public:
  explicit KivFreeRealloc(kiv_reader* reader) : KivMemory(kiv_e_free_realloc, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t id = 0;
  std::uint32_t color = 0;
  std::int64_t addr = 0;
  std::int64_t addr_free = 0;
  std::uint32_t size = 0;
  std::uint32_t tot_size = 0;
};

// The release of a whole malloc id (free id or reset id), counted as a
// memory record of its own. Nothing is decoded: the numbers come from the
// free id or reset id record.
class KivFRID : public KivMemory {
 public:
  KivFRID(kiv_type type, kiv_reader* reader, std::uint32_t id_of_release)
      : KivMemory(type, reader), id(id_of_release) {}
  // Takes the run's next memory record number.
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t id = 0;
};

out_stream& operator<<(out_stream& os, const KivMemory& rec);
