#include "reader/KivMemInfo.h"

#include <ios>

#include "output/out_stream.h"

void KivSbrk::setelems() {
  readelem(addr);
  readelem(size);
}

void KivSbrk::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " addr: " << std::hex << addr << std::dec << " size: " << size << '\n';
}

void KivSbrkGap::setelems() {
  readelem(l_sbrk);
  readelem(c_sbrk);
}

void KivSbrkGap::traceevent(std::ostream& os) {
  if (tracing()) os << " l_sbrk: " << l_sbrk << " c_sbrk: " << c_sbrk << '\n';
}

void KivMallInfo::setelems() {
  readelem(arena);
  readelem(used);
  readelem(freed);
}

void KivMallInfo::traceevent(std::ostream& os) {
  if (tracing()) os << " arena: " << arena << " used: " << used << " freed: " << freed << '\n';
}

out_stream& operator<<(out_stream& os, const KivMemInfo& rec) {
  rec.dumpinfo(os);
  return os;
}
