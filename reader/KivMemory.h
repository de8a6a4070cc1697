#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>

#include "reader/KivEvent.h"

class out_stream;
class row_writer;
class KivReserveId;
class kiv_hdr;
template <typename T>
class KivStat;

// Memory records: allocations, frees, reallocs and the release of a whole
// malloc id. They carry the source location of the call; its text is a view
// of the location table's entry, which lives as long as the run.
class KivMemory : public KivMeasurement {
 public:
  using KivMeasurement::KivMeasurement;
  // Writes the record's whole "memory" row: run id, pid, time, then the
  // record's columns (dumpinfo) and the line end.
  void write_row(out_stream& os, const kiv_hdr& hdr, std::string_view time) const;
  // The record's own columns of its "memory" row.
  virtual void dumpinfo(row_writer& os) const;

  std::string_view location_text;
  std::int64_t location = 0;
  std::uint64_t sequence = 0;

 protected:
  // The eight record-specific columns of a "memory" row.
  struct columns {
    std::uint32_t color = 0;
    std::int64_t addr = 0;
    std::int64_t size = 0;
    std::int64_t tot_size = 0;
    std::uint64_t new_size = 0;
    std::uint64_t new_tot_size = 0;
    std::int64_t addr2 = 0;
    std::uint64_t other_sequence = 0;
  };
  // Which counters of the id colour block the row shows.
  enum class colour_view { with_free, no_free, none };
  // Writes the whole "memory" row after its prefix: tag, run records,
  // context, location, id, the columns, then the counters of every level
  // after the record was applied.
  void dump_row(row_writer& os, const KivReserveId& rid, std::uint32_t id, const columns& cols,
                colour_view view) const;
  static void dump_colour(row_writer& os, const KivStat<unsigned long long>* colour, colour_view view);
  void dump_levels(row_writer& os, std::uint32_t id, const std::uint32_t* color) const;
  // One "freemem" row: the block's record number, the freeing record's
  // number and its tag.
  void write_freemem(std::uint64_t block_nr, std::uint64_t freeing_nr, char tag) const;
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
  // Record number of the block that addr_realloc names.
  std::uint64_t realloc_sequence = 0;

  // Applies the allocation at every level; returns the run's record number.
  std::uint64_t update_stats();
  void dumpinfo(row_writer& os) const override;
};

class KivMallocNF : public KivMemory {
 public:
  explicit KivMallocNF(kiv_reader* reader) : KivMemory(kiv_e_malloc_nf, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint64_t update_stats();
  void dumpinfo(row_writer& os) const override;

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

  // Frees the block at addr (its amounts and record number are copied
  // here) and writes its "freemem" row; an unknown address still counts at
  // the process and run levels, with zero amounts.
  std::uint64_t update_stats();
  void dumpinfo(row_writer& os) const override;

  std::uint32_t id = 0;
  std::uint32_t color = 0;
  std::int64_t addr = 0;
  std::uint32_t size = 0;
  std::uint32_t tot_size = 0;
  std::uint64_t freed_sequence = 0;
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
  std::uint64_t prev_sequence = 0;
  std::int32_t delta_size = 0;
  std::int32_t delta_tot_size = 0;

  // Resizes the block at addr in place: a shrink frees the difference, a
  // growth allocates it; the block lives on under this record's number.
  // Returns 0 (nothing counted) when addr holds no block.
  std::uint64_t update_stats();
  void dumpinfo(row_writer& os) const override;

 private:
  std::uint64_t shrink(KivReserveId& rid, std::uint64_t size_diff, std::uint64_t tot_diff);
  std::uint64_t grow(KivReserveId& rid, std::uint64_t size_diff, std::uint64_t tot_diff);
};

// The release of a whole malloc id (free id or reset id), counted as a
// memory record of its own. Nothing is decoded: the numbers come from the
// free id or reset id record.
class KivFRID : public KivMemory {
 public:
  KivFRID(kiv_type type, kiv_reader* reader, const KivReserveId& released);
  // Takes the run's next memory record number.
  void setelems() override;
  void traceevent(std::ostream& os) override;
  // The id's current amounts go out as negative deltas, before the id's own
  // counters are cleared.
  void dumpinfo(row_writer& os) const override;

  std::uint32_t id = 0;

 private:
  const KivReserveId* released_;
};
