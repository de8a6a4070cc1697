#include "memory/KivHashLoc.h"

#include <iostream>
#include <ios>

#include "header/kiv_hdr.h"
#include "output/out_stream.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

void KivHashLoc::setelems() {
  readelem(location);
  readelem(source_line);
}

void KivHashLoc::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " location: " << std::hex << location << std::dec << " MalSrc: " << source_line << '\n';
}

void KivHashLoc::dumpinfo(out_stream& os) const {
  const kiv_hdr& hdr = reader()->header();
  os << hdr.runid << data_sep << hdr.pid << data_sep << location << data_sep << source_line;
}

out_stream& operator<<(out_stream& os, const KivHashLoc& loc) {
  loc.dumpinfo(os);
  return os;
}

KivHashLoc_db::KivHashLoc_db() : unknown_(std::make_unique<KivHashLoc>(0, unknown_text)) {}

KivHashLoc_db::~KivHashLoc_db() {
  for (auto& [key, loc] : locs_) loc.reset();
  unknown_.reset();
}

void KivHashLoc_db::add_hashloc(std::unique_ptr<KivHashLoc> loc) {
  const std::int64_t key = loc->location;
  const std::string* text = &loc->source_line;
  if (!locs_.try_emplace(key, std::move(loc)).second) {
    std::cout << "Error hashloc " << key << " already found! " << std::endl;
    return;
  }
  texts_.emplace(key, text);
}

const std::string& KivHashLoc_db::get_hashloc(std::int64_t key) const {
  const auto it = texts_.find(key);
  return it == texts_.end() ? unknown_->source_line : *it->second;
}

void KivHashLoc_db::dump_db(out_stream& os) const {
  for (const auto& [key, loc] : locs_) os << *loc << '\n';
}
