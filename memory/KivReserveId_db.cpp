#include "memory/KivReserveId_db.h"

#include <iostream>

#include "header/kiv_hdr.h"
#include "model/KivProcess.h"
#include "output/csv_file.h"
#include "reader/KivContext.h"
#include "reader/KivMemory.h"
#include "reader/KivTimeStamp.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

KivReserveId_db::KivReserveId_db(kiv_reader* reader)
    : unknown_(std::make_unique<KivReserveId>(reader, unknown_name)), reader_(reader) {}

KivReserveId_db::~KivReserveId_db() = default;

KivReserveId* KivReserveId_db::get_reserve_id(std::uint32_t id) const {
  if (KivReserveId* hit = cache_.find(id)) return hit;
  const auto it = ids_.find(id);
  KivReserveId* rid = it == ids_.end() ? unknown_.get() : it->second.get();
  cache_.put(id, rid);
  return rid;
}

KivReserveId* KivReserveId_db::add_reserve_id(std::unique_ptr<KivReserveId> rid) {
  const std::uint32_t id = rid->id;
  KivReserveId* raw = rid.get();
  if (!ids_.try_emplace(id, std::move(rid)).second) {
    std::cout << "Error mal_id " << id << " already found! " << std::endl;
    return nullptr;
  }
  current = raw;
  cache_.put(id, raw);  // it may have been cached as unknown
  return raw;
}

// A colour beyond the id's colours is reported and ignored; a colour
// described again gets the new name and keeps its counters.
void KivReserveId_db::add_color_to_reserve_id(const KivReserveIdColors& rec) {
  if (current == nullptr) return;
  if (!current->set_color_name(rec.color, rec.colorname)) {
    std::cerr << "Colour " << rec.color << " \"" << rec.colorname << "\" of malloc id " << current->id
              << " ignored: the id keeps colours below " << current->colors_kept() << '\n';
    return;
  }
  current->stats.add_color(rec.color, KivReserveId::color_recs_divisor);
}

void KivReserveId_db::add_memory(const KivMallocWF& rec) {
  get_reserve_id(rec.id)->wf_mem.add_memory(
      rec.addr, new KivMemBlock{rec.sequence, rec.location_text, rec.size, rec.tot_size, rec.color});
}

void KivReserveId_db::add_memory(const KivMallocNF& rec) {
  get_reserve_id(rec.id)->nf_mem.add_memory(
      rec.addr, new KivMemBlock{rec.sequence, rec.location_text, rec.size, rec.tot_size, rec.color});
}

unsigned long long KivReserveId_db::update_wf(unsigned long long size, unsigned long long tot_size) {
  return stat.allocate_wf(size, tot_size);
}

unsigned long long KivReserveId_db::update_nf(unsigned long long size, unsigned long long tot_size) {
  return stat.allocate_nf(size, tot_size);
}

unsigned long long KivReserveId_db::update_fr(unsigned long long size, unsigned long long tot_size) {
  return stat.free(size, tot_size);
}

// ---- free id and reset id --------------------------------------------------------

// Reports record totals that differ from the id's own; true when any did.
bool KivReserveId_db::check_totals(const KivReserveId& rid, unsigned long long tot_size_wf,
                                   unsigned long long tot_size_nf) const {
  const KivStat<unsigned long long>& s = rid.stats.stat;
  bool differs = false;
  if (tot_size_wf != s.cur_wf.tot_size) {
    std::cout << "free_mem inconsistency WF in malid " << rid.id << " tot_size_wf " << tot_size_wf
              << " vs actual " << s.cur_wf.tot_size << '\n';
    differs = true;
  }
  if (tot_size_nf != s.cur_nf.tot_size) {
    std::cout << "free_mem inconsistency NF in malid " << rid.id << " tot_size_nf " << tot_size_nf
              << " vs actual " << s.cur_nf.tot_size << '\n';
    differs = true;
  }
  return differs;
}

// A number never reserved acts on the unknown id, as its marker says.
void KivReserveId_db::free_mem(std::uint32_t id, unsigned long long tot_size_wf, unsigned long long tot_size_nf,
                               std::int64_t location, const KivTimeStamp& ts, bool reset) {
  KivReserveId& rid = *get_reserve_id(id);
  const bool verbose = check_totals(rid, tot_size_wf, tot_size_nf);
  const KivStat<unsigned long long>& s = rid.stats.stat;
  KivProcess_db& procs = reader_->proc_db();
  const std::uint32_t pid = reader_->current_pid();
  procs.release_wf(pid, id, s.cur_wf.size, s.cur_wf.tot_size);
  procs.release_nf(pid, id, s.cur_nf.size, s.cur_nf.tot_size);
  stat.release_wf(s.cur_wf.size, s.cur_wf.tot_size);
  stat.release_nf(s.cur_nf.size, s.cur_nf.tot_size);
  if (reset)
    rid.reset_id(verbose, location, ts);
  else
    rid.free_id(verbose, location, ts);
}

void KivReserveId_db::check_end_time(const KivTimeStamp& ts, unsigned long long end) {
  for (auto& [number, rid] : ids_) {
    if (!rid->open) continue;
    rid->end_time = ts.text;
    rid->end_recnr = end;
  }
}

// ---- tables -----------------------------------------------------------------------

void KivReserveId_db::dump_db(csv_file& table) const {
  for (const auto& [number, rid] : ids_) table.get_stream() << *rid << '\n';
}

void KivReserveId_db::dump_db_colors(csv_file& table) const {
  const kiv_hdr& hdr = reader_->header();
  for (const auto& [number, rid] : ids_) {
    if (rid->nr_colors > rid->colors_kept())
      std::cerr << "color table: malloc id " << rid->id << " declares " << rid->nr_colors
                << " colours; only the first " << rid->colors_kept() << " are written\n";
    for (std::uint32_t c = 0; c < rid->colors_kept(); ++c) {
      table.get_stream() << hdr.runid << data_sep << hdr.pid << data_sep << rid->id << data_sep << c << data_sep
                         << rid->color_name(c) << '\n';
    }
  }
}
