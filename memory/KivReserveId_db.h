#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "memory/KivReserveId.h"
#include "memory/KivStat.h"

class kiv_reader;

// The malloc ids of one run, by number, with the run's own counters.
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
  // Stores the id and makes it current; a number already present is
  // reported and the new object released.
  void add_reserve_id(std::unique_ptr<KivReserveId> rid);

  KivReserveId* current = nullptr;
  // Counters of the whole run; stat.recs.count is the run's memory record
  // number.
  KivStat<unsigned long long> stat{run_recs_divisor};
  std::uint64_t sbrk_size = 0;
  std::uint32_t sbrk_count = 0;
  std::uint64_t gap_size = 0;
  std::uint32_t gap_count = 0;

 private:
  std::map<std::uint32_t, std::unique_ptr<KivReserveId>> ids_;
  std::unique_ptr<KivReserveId> unknown_;
};
