#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "memory/KivReserveId.h"
#include "memory/KivStat.h"
#include "memory/id_cache.h"

class kiv_reader;
class out_stream;
class KivTimeStamp;
class csv_file;
class KivReserveIdColors;
class KivMallocWF;
class KivMallocNF;

// The malloc ids of one run, by number, with the run's own counters and the
// heap growth seen.
class KivReserveId_db {
 public:
  static constexpr const char* unknown_name = "Unknown Malloc ID";
  static constexpr unsigned long long run_recs_divisor = 1000;

  explicit KivReserveId_db(kiv_reader* reader);
  ~KivReserveId_db();
  KivReserveId_db(const KivReserveId_db&) = delete;
  KivReserveId_db& operator=(const KivReserveId_db&) = delete;

  // The id's object, or the unknown id; never null.
  KivReserveId* get_reserve_id(std::uint32_t id) const;
  KivReserveId* unknown() const { return unknown_.get(); }
  // Stores the id and makes it current; a number already present is
  // reported and the new object released. Returns the stored object, or
  // null for a refused one.
  KivReserveId* add_reserve_id(std::unique_ptr<KivReserveId> rid);
  // Names a colour of the current id and gives it its counter block.
  void add_color_to_reserve_id(const KivReserveIdColors& rec);

  // Stores the live block of an allocation under its address in its id's
  // with-free or no-free blocks.
  void add_memory(const KivMallocWF& rec);
  void add_memory(const KivMallocNF& rec);

  // Run level of an allocation with free, without free, or a free; each
  // returns the run's new memory record number.
  unsigned long long update_wf(unsigned long long size, unsigned long long tot_size);
  unsigned long long update_nf(unsigned long long size, unsigned long long tot_size);
  unsigned long long update_fr(unsigned long long size, unsigned long long tot_size);

  // A free id (reset false) or reset id (reset true) record: checks the
  // record's totals against the id's, releases the id's memory at the
  // process and run levels and empties the id.
  void free_mem(std::uint32_t id, unsigned long long tot_size_wf, unsigned long long tot_size_nf,
                std::int64_t location, const KivTimeStamp& ts, bool reset);
  // Ids still open end at ts with record number end.
  void check_end_time(const KivTimeStamp& ts, unsigned long long end);

  // "malid" table: one row per reserved id, ascending.
  void dump_db(csv_file& table) const;
  // "color" table: one row per colour of every reserved id.
  void dump_db_colors(csv_file& table) const;

  const std::map<std::uint32_t, std::unique_ptr<KivReserveId>>& ids() const { return ids_; }

  KivReserveId* current = nullptr;
  // Counters of the whole run; stat.recs.count is the run's memory record
  // number.
  KivStat<unsigned long long> stat{run_recs_divisor};
  std::uint64_t sbrk_size = 0;
  std::uint32_t sbrk_count = 0;
  std::uint64_t gap_size = 0;
  std::uint32_t gap_count = 0;

 private:
  bool check_totals(const KivReserveId& rid, unsigned long long tot_size_wf,
                    unsigned long long tot_size_nf) const;

  std::map<std::uint32_t, std::unique_ptr<KivReserveId>> ids_;
  std::unique_ptr<KivReserveId> unknown_;
  // Recent lookups: every memory record looks its id up several times. Ids
  // are never removed; adding one replaces its cached answer.
  static constexpr std::size_t cached_ids = 64;
  mutable id_cache<KivReserveId, cached_ids> cache_;
  kiv_reader* reader_;
};
