#include "reader/KivContext.h"

#include "header/kiv_hdr.h"
#include "memory/KivReserveId.h"
#include "memory/KivReserveId_db.h"
#include "reader/kiv_reader.h"

void KivReserveIdColors::setelems() {
  readelem(color);
  readelem(colorname);
}

void KivReserveIdColors::traceevent(std::ostream& os) {
  if (tracing()) os << " color: " << color << " color name: " << colorname << '\n';
}

void KivFreeId::setelems() {
  readelem(id);
  readloc(location_text, location);
  readelem(tot_size_wf);
  readelem(tot_size_nf);
}

void KivFreeId::traceevent(std::ostream& os) {
  if (tracing()) os << " id: " << id << " location: " << location_text << '\n';
}

void KivResetId::setelems() {
  readelem(id);
  readloc(location_text, location);
  readelem(tot_size_wf);
  readelem(tot_size_nf);
}

void KivResetId::traceevent(std::ostream& os) {
  if (tracing()) os << " id: " << id << " location: " << location_text << '\n';
}

void KivProcessStart::setelems() {
  readelem(pid);
  readelem(parent);
  readelem(session_name);
  const auto blank = session_name.find(' ');
  if (blank != std::string::npos) session_name.erase(blank);
}

void KivProcessStart::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " id: " << id << " pid: " << pid << " parent: " << parent
     << " session name: " << session_name << '\n';
}

int KivProcessStart::get_main_pid() const { return reader()->header().pid; }

void KivProcessEnd::setelems() { readelem(pid); }

void KivProcessEnd::traceevent(std::ostream& os) {
  if (tracing()) os << " pid: " << pid << '\n';
}

void KivProcessSpecialLoad::setelems() {
  readelem(pid);
  readelem(funnr);
  readelem(funcname);
}

void KivProcessSpecialLoad::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " pid: " << pid << " special id: " << funnr << " special name: " << funcname << '\n';
}

void KivObjectLink::setelems() {
  readelem(pid);
  readelem(id_of_obj);
}

void KivObjectLink::traceevent(std::ostream& os) {
  if (tracing()) os << " pid: " << pid << " object: " << id_of_obj << '\n';
}

void KivObjectFunctionLoad::setelems() {
  readelem(id_of_obj);
  readelem(funnr);
  readelem(funcname);
}

void KivObjectFunctionLoad::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " id_of_obj: " << id_of_obj << " funnr: " << funnr << " funcname: " << funcname << '\n';
}
