#include "reader/KivMemInfo.h"

#include <ios>

#include "memory/KivReserveId_db.h"
#include "output/out_stream.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

void KivMemInfo::dump_heap_head(out_stream& os) const {
  os << static_cast<char>(type()) << data_sep << kiv_counters.rec_sbrk_count << data_sep << kiv_counters.record_count
     << data_sep;
  context.dumpcontext(os) << data_sep;
}

void KivMemInfo::dump_heap_sums(out_stream& os) const {
  const KivReserveId_db& db = reader()->malid_db();
  os << db.sbrk_size << data_sep << db.sbrk_count << data_sep << db.gap_size << data_sep << db.gap_count;
}

void KivSbrk::setelems() {
  readelem(addr);
  readelem(size);
}

void KivSbrk::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " addr: " << std::hex << addr << std::dec << " size: " << size << '\n';
}

void KivSbrk::dumpinfo(out_stream& os) const {
  dump_heap_head(os);
  os << addr << data_sep << size << data_sep;
  dump_heap_sums(os);
}

void KivSbrkGap::setelems() {
  readelem(l_sbrk);
  readelem(c_sbrk);
}

void KivSbrkGap::traceevent(std::ostream& os) {
  if (tracing()) os << " l_sbrk: " << l_sbrk << " c_sbrk: " << c_sbrk << '\n';
}

// The gap is the distance between the two breaks, as a signed 64-bit value.
void KivSbrkGap::dumpinfo(out_stream& os) const {
  dump_heap_head(os);
  os << l_sbrk << data_sep << static_cast<std::int64_t>(static_cast<std::uint64_t>(c_sbrk) - static_cast<std::uint64_t>(l_sbrk))
     << data_sep;
  dump_heap_sums(os);
}

void KivMallInfo::setelems() {
  readelem(arena);
  readelem(used);
  readelem(freed);
}

void KivMallInfo::traceevent(std::ostream& os) {
  if (tracing()) os << " arena: " << arena << " used: " << used << " freed: " << freed << '\n';
}

void KivMallInfo::dumpinfo(out_stream& os) const {
  os << kiv_counters.rec_arena_count << data_sep;
  context.dumpcontext(os) << data_sep << arena << data_sep << used << data_sep << freed;
}

out_stream& operator<<(out_stream& os, const KivMemInfo& rec) {
  rec.dumpinfo(os);
  return os;
}
