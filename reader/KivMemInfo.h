#pragma once

#include <cstdint>
#include <ostream>

#include "reader/KivEvent.h"

class out_stream;

// Heap records: growth of the break, gaps between breaks and the native
// allocator's figures.
class KivMemInfo : public KivMeasurement {
 public:
  using KivMeasurement::KivMeasurement;
  // The record's own columns of its heap row.
  virtual void dumpinfo(out_stream&) const {}

 protected:
  // Tag, heap row number, memory record count and context; the heap row
  // number is the program-wide count of "sbrk" rows written before.
  void dump_heap_head(out_stream& os) const;
  // The run's heap growth and gap sums.
  void dump_heap_sums(out_stream& os) const;
};

class KivSbrk : public KivMemInfo {
 public:
  explicit KivSbrk(kiv_reader* reader) : KivMemInfo(kiv_e_sbrk, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;
  void dumpinfo(out_stream& os) const override;

  std::int64_t addr = 0;
  std::uint32_t size = 0;
};

class KivSbrkGap : public KivMemInfo {
 public:
  explicit KivSbrkGap(kiv_reader* reader) : KivMemInfo(kiv_e_sbrk_gap, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;
  void dumpinfo(out_stream& os) const override;

  std::int64_t l_sbrk = 0;
  std::int64_t c_sbrk = 0;
};

class KivMallInfo : public KivMemInfo {
 public:
  explicit KivMallInfo(kiv_reader* reader) : KivMemInfo(kiv_e_mallinfo, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;
  void dumpinfo(out_stream& os) const override;

  std::uint32_t arena = 0;
  std::uint32_t used = 0;
  std::uint32_t freed = 0;
};

out_stream& operator<<(out_stream& os, const KivMemInfo& rec);
