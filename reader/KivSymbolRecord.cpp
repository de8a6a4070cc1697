#include "reader/KivSymbolRecord.h"

#include <ios>

void KivSymbolNew::setelems() {
  readelem(sym);
  readelem(symnr);
  readelem(sym_type);
}

void KivSymbolNew::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " sym: " << std::hex << sym << std::dec << " symnr: " << symnr << " sym_type: " << sym_type
     << '\n';
}

void KivSymbolDims::setelems() {
  readelem(sym);
  readelem(nrdims);
  for (auto& dim : dims) readelem(dim);
}

void KivSymbolDims::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " sym: " << std::hex << sym << std::dec << " nrdims: " << nrdims << " dims: " << dims[0]
     << ',' << dims[1] << ',' << dims[2] << ',' << dims[3] << '\n';
}

void KivSymbolDdName::setelems() {
  readelem(sym);
  readelem(dd_name);
}

void KivSymbolDdName::traceevent(std::ostream& os) {
  if (tracing()) os << " sym: " << std::hex << sym << std::dec << " dd_name: " << dd_name << '\n';
}

void KivSymbolAlloc::setelems() {
  readelem(sym);
  readelem(flags);
  readelem(size);
  readelem(name);
}

void KivSymbolAlloc::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " sym: " << std::hex << sym << std::dec << " flags: " << std::oct << flags << std::dec
     << " name: " << name << '\n';
}
