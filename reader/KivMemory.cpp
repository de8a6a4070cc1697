#include "reader/KivMemory.h"

#include "memory/KivReserveId_db.h"
#include "output/out_stream.h"
#include "reader/kiv_reader.h"

namespace {

template <typename R>
void trace_block(std::ostream& os, const R& rec) {
  os << " id: " << rec.id << " color: " << rec.color << " addr: " << rec.addr << '\n';
}

}  // namespace

void KivMemory::dumpinfo(out_stream& os) const { os << location_text; }

void KivMallocWF::setelems() {
  readelem(id);
  readelem(color);
  readelem(addr);
  readelem(addr_realloc);
  readelem(size);
  readelem(tot_size);
  readloc(location_text, location);
}

void KivMallocWF::traceevent(std::ostream& os) {
  if (tracing()) trace_block(os, *this);
}

void KivMallocNF::setelems() {
  readelem(id);
  readelem(color);
  readelem(addr);
  readelem(size);
  readelem(tot_size);
  readloc(location_text, location);
}

void KivMallocNF::traceevent(std::ostream& os) {
  if (tracing()) trace_block(os, *this);
}

void KivFree::setelems() {
  readelem(id);
  readelem(color);
  readelem(addr);
  readloc(location_text, location);
}

void KivFree::traceevent(std::ostream& os) {
  if (tracing()) trace_block(os, *this);
}

void KivFreeRealloc::setelems() {
  readelem(id);
  readelem(color);
  readelem(addr);
  readelem(addr_free);
  readelem(size);
  readelem(tot_size);
  readloc(location_text, location);
}

void KivFreeRealloc::traceevent(std::ostream& os) {
  if (tracing()) trace_block(os, *this);
}

void KivFRID::setelems() { sequence = ++reader()->malid_db().stat.recs.count; }

void KivFRID::traceevent(std::ostream& os) {
  if (tracing()) os << " id: " << id << '\n';
}

out_stream& operator<<(out_stream& os, const KivMemory& rec) {
  rec.dumpinfo(os);
  return os;
}
