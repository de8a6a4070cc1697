#include "model/KivProcess.h"

#include <algorithm>
#include <charconv>
#include <iostream>

#include "header/kiv_hdr.h"
#include "memory/KivReserveId.h"
#include "memory/KivReserveId_db.h"
#include "model/KivOip.h"
#include "output/csv_file.h"
#include "output/row_writer.h"
#include "reader/KivContext.h"
#include "reader/KivTimeStamp.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

namespace {

constexpr const char* root_name = "3gl process init+term";
constexpr const char* root_name_pid0 = " process init+term";
constexpr int default_divisor_when_zero = 1000;
// Where the pid starts after the first ':' of a malloc id's name:
// "proc:<pid>:..." and "xml:proc <pid>:...".
constexpr std::size_t mal_id_pid_offset = 1;
constexpr std::size_t xml_id_pid_offset = 6;

}  // namespace

KivProcess::KivProcess(kiv_reader* owner, const KivProcessStart& rec)
    : main_pid(static_cast<std::uint32_t>(owner->header().pid)),
      pid(rec.pid),
      parent(rec.parent),
      session_name(rec.session_name),
      reader(owner),
      arcs(std::make_unique<std::vector<FuncArc*>>(initial_arcs, nullptr)) {
  root_loc = std::make_unique<Func_loc>(pid, 0, pid != 0 ? root_name : root_name_pid0, false);
  root_rel = std::make_unique<Func_rel>(root_loc.get());
  nr_arcs = 1;
  (*arcs)[0] = new FuncArc(reader, root_rel.get(), root_rel.get(), 0);
  write_flow_row(0, 2, 0, '>');
}

KivProcess::KivProcess(kiv_reader* owner, int divisor)
    : session_name("defaultproc"),
      reader(owner),
      stat(divisor != 0 ? divisor : default_divisor_when_zero) {}

KivProcess::~KivProcess() { delete_arcs(); }

// ---- functions and objects -------------------------------------------------

void KivProcess::add_special(std::int32_t id, const std::string& name) {
  auto& loc = special_locs_.emplace_back(std::make_unique<Func_loc>(pid, id, name, false));
  auto& rel = special_rels_.emplace_back(std::make_unique<Func_rel>(loc.get()));
  specials[static_cast<std::uint32_t>(id)] = rel.get();
}

void KivProcess::link_oip(std::uint32_t objid) {
  auto [it, added] = oips.try_emplace(objid);
  if (!added) return;
  it->second = std::make_unique<KivOip>(objid, reader);
  if (first_oip == nullptr) first_oip = it->second.get();
}

KivOip* KivProcess::find_oip(std::uint32_t objid) const {
  const auto it = oips.find(objid);
  return it != oips.end() ? it->second.get() : nullptr;
}

Func_rel* KivProcess::find_function(std::uint32_t objid, std::int32_t funnr, bool vorex) {
  if (!context_set) {
    const auto special0 = specials.find(0);
    s_push(special0 != specials.end() ? special0->second : nullptr, 0);
    context_set = true;
  }
  if (funnr > 0) {
    KivOip* oip = find_oip(objid);
    return oip != nullptr ? oip->find_function(funnr, vorex) : nullptr;
  }
  const auto it = specials.find(static_cast<std::uint32_t>(funnr));
  return it != specials.end() ? it->second : nullptr;
}

// ---- call flow ---------------------------------------------------------------

std::uint32_t KivProcess::add_arc(Func_rel* from, Func_rel* to) {
  if (!arcs) arcs = std::make_unique<std::vector<FuncArc*>>(initial_arcs, nullptr);
  const std::uint32_t n = nr_arcs++;
  if (arcs->size() <= static_cast<std::size_t>(n) + 1) arcs->resize(arcs->size() * 2, nullptr);
  (*arcs)[n] = new FuncArc(reader, from, to, n);
  return n;
}

void KivProcess::s_push(Func_rel* function, std::uint32_t arc) {
  stack.push_back(Func_context{function, arc});
}

bool KivProcess::s_pop() {
  if (stack.empty()) return false;
  stack.pop_back();
  return true;
}

void KivProcess::write_flow_row(std::uint32_t step, std::uint32_t stack_depth, std::uint32_t arc,
                                char direction) const {
  row_writer os(reader->flow_file().get_stream(), data_sep);
  os.text_field(reader->header().runid);
  os.fields(reader->header().pid, pid, step, stack_depth, static_cast<std::uint64_t>(kiv_counters.record_count) + 1,
            arc);
  os << direction << '\n';
}

void KivProcess::dump_arcs(out_stream& os) const {
  if (!arcs) return;
  const std::size_t n = std::min<std::size_t>(nr_arcs, arcs->size());
  for (std::size_t i = 0; i < n; ++i) {
    const FuncArc* arc = (*arcs)[i];
    if (arc == nullptr) continue;
    os << reader->header().runid << data_sep << reader->header().pid << data_sep << pid << data_sep
       << i << data_sep;
    arc->dumpinfo(os);
    os << '\n';
  }
}

// ---- statistics ----------------------------------------------------------------

KivProcess::mal_stat* KivProcess::get_mc_stat(std::uint32_t malid) {
  if (mal_stat* hit = mal_cache_.find(malid)) return hit;
  auto [it, added] = malid_stats.try_emplace(malid);
  if (!added) {
    mal_cache_.put(malid, it->second.get());
    return it->second.get();
  }
  // The unknown id stands for ids never reserved: one colour, whatever its
  // entry says.
  const KivReserveId* rid = reader->malid_db().get_reserve_id(malid);
  const std::uint32_t declared = rid->id == KivReserveId::unknown_id ? 1 : rid->nr_colors;
  const int colours = static_cast<int>(std::min<std::uint32_t>(declared, max_color_blocks));
  // Colour blocks are made when a colour is first used: a process that
  // touches one colour of many ids with thousands of colours each must not
  // pay for all of them.
  it->second = std::make_unique<mal_stat>(stat_divisor);
  it->second->set_color_count(colours);
  mal_cache_.put(malid, it->second.get());
  return it->second.get();
}

// ---- life cycle ------------------------------------------------------------------

void KivProcess::dumpproc(out_stream& os) const {
  os << reader->header().runid << data_sep << static_cast<std::int32_t>(main_pid) << data_sep << pid
     << data_sep << session_name << data_sep << mal_id << data_sep << xml_id << data_sep << parent
     << data_sep << start_time << data_sep << end_time << data_sep << start_rec << data_sep
     << end_rec;
}

void KivProcess::delete_arcs() {
  if (!arcs) return;
  for (FuncArc*& arc : *arcs) {
    delete arc;
    arc = nullptr;
  }
}

// The arcs, the object nodes and the frames that name them go; the child
// maps of the nodes that stay (root, specials) are emptied, because they
// point at arcs and nodes that no longer exist.
void KivProcess::free_process() {
  delete_arcs();
  stack.clear();
  if (root_rel) root_rel->clear_children();
  for (auto& rel : special_rels_) rel->clear_children();
  first_oip = nullptr;
  oips.clear();
  free_symbols();
  if (pid != 0) release_unreachable();
  active = false;
  if (reader != nullptr) reader->proc_db().changed();
}

// Lookups return an ended process only when it stands under pid 0 (it takes
// the records of every ended pid). Any other ended process's per-id
// statistics and arc slots are never read again, and a run of many sessions
// must not keep them all.
void KivProcess::release_unreachable() {
  malid_stats.clear();
  mal_cache_.clear();
  arcs.reset();
}

// ---- the process table -------------------------------------------------------------

KivProcess_db::~KivProcess_db() {
  for (auto& [pid, proc] : procs_) release(proc);
}

void KivProcess_db::set_default(KivProcess* defproc) {
  defproc_ = defproc;
  procs_[0] = defproc;
  changed();
}

void KivProcess_db::add_process(KivProcess* proc) {
  KivProcess*& slot = procs_[proc->pid];
  if (slot != proc) release(slot);
  slot = proc;
  changed();
}

// An unknown pid is not inserted: the answer is the same as with an empty
// entry, and a trace naming many pids cannot grow the table.
KivProcess* KivProcess_db::get_process(std::uint32_t pid) const {
  if (cached_proc_ != nullptr && cached_pid_ == pid && cached_generation_ == generation_) return cached_proc_;
  cached_pid_ = pid;
  cached_generation_ = generation_;
  return cached_proc_ = lookup(pid);
}

KivProcess* KivProcess_db::lookup(std::uint32_t pid) const {
  const auto it = procs_.find(pid);
  if (it == procs_.end() || it->second == nullptr) return defproc_;
  if (it->second->active) return it->second;
  const auto zero = procs_.find(0);
  return zero != procs_.end() && zero->second != nullptr ? zero->second : defproc_;
}

void KivProcess_db::check_end_time(const KivTimeStamp& ts, std::uint64_t rec) {
  if (procs_.empty()) {
    defproc_->end_time = ts.text;
    return;
  }
  for (auto& [pid, proc] : procs_) {
    if (proc == nullptr || !proc->active) continue;
    proc->end_time = ts.text;
    proc->end_rec = rec;
  }
}

KivProcess* KivProcess_db::linked_process(const std::string& name,
                                          std::size_t digits_offset) const {
  const auto colon = name.find(':');
  if (colon == std::string::npos || name.size() <= colon + digits_offset) return nullptr;
  const char* first = name.data() + colon + digits_offset;
  std::uint32_t pid = 0;
  std::from_chars(first, name.data() + name.size(), pid);
  const auto it = procs_.find(pid);
  if (it == procs_.end() || it->second == nullptr) {
    std::cout << "cannot happen: process id " << pid << " is not on KivProcess_db \n";
    return nullptr;
  }
  return it->second;
}

void KivProcess_db::link_mal_id(const KivReserveId& rid) {
  if (KivProcess* proc = linked_process(rid.reserve_type, mal_id_pid_offset)) proc->mal_id = rid.id;
}

void KivProcess_db::link_xml_id(const KivReserveId& rid) {
  if (KivProcess* proc = linked_process(rid.reserve_type, xml_id_pid_offset)) proc->xml_id = rid.id;
}

void KivProcess_db::update_wf(std::uint32_t pid, std::uint32_t id, long long color,
                              unsigned long long size, unsigned long long tot_size) {
  KivProcess* proc = get_process(pid);
  const auto s = static_cast<long long>(size);
  const auto t = static_cast<long long>(tot_size);
  proc->stat.allocate_wf(s, t);
  KivProcess::mal_stat* ms = proc->get_mc_stat(id);
  ms->stat.allocate_wf(s, t);
  if (KivStat<int>* c = ms->add_color(color, KivProcess::color_divisor))
    c->allocate_wf(static_cast<int>(size), static_cast<int>(tot_size));
}

void KivProcess_db::update_nf(std::uint32_t pid, std::uint32_t id, long long color,
                              unsigned long long size, unsigned long long tot_size) {
  KivProcess* proc = get_process(pid);
  const auto s = static_cast<long long>(size);
  const auto t = static_cast<long long>(tot_size);
  proc->stat.allocate_nf(s, t);
  KivProcess::mal_stat* ms = proc->get_mc_stat(id);
  ms->stat.allocate_nf(s, t);
  if (KivStat<int>* c = ms->add_color(color, KivProcess::color_divisor))
    c->allocate_nf(static_cast<int>(size), static_cast<int>(tot_size));
}

void KivProcess_db::update_fr(std::uint32_t pid, std::uint32_t id, long long color,
                              unsigned long long size, unsigned long long tot_size) {
  KivProcess* proc = get_process(pid);
  const auto s = static_cast<long long>(size);
  const auto t = static_cast<long long>(tot_size);
  proc->stat.free(s, t);
  KivProcess::mal_stat* ms = proc->get_mc_stat(id);
  ms->stat.free(s, t);
  if (KivStat<int>* c = ms->add_color(color, KivProcess::color_divisor))
    c->free_no_count(static_cast<int>(size), static_cast<int>(tot_size));
}

void KivProcess_db::release_wf(std::uint32_t pid, std::uint32_t id, unsigned long long size,
                               unsigned long long tot_size) {
  KivProcess* proc = get_process(pid);
  KivProcess::mal_stat* ms = proc->get_mc_stat(id);
  ms->stat.clearstats();
  ms->clear_colors(&KivStat<int>::clearstats);
  proc->stat.release_wf(static_cast<long long>(size), static_cast<long long>(tot_size));
}

void KivProcess_db::release_nf(std::uint32_t pid, std::uint32_t id, unsigned long long size,
                               unsigned long long tot_size) {
  KivProcess* proc = get_process(pid);
  KivProcess::mal_stat* ms = proc->get_mc_stat(id);
  ms->stat.clearstats();
  ms->clear_colors(&KivStat<int>::clearstats);
  proc->stat.release_nf(static_cast<long long>(size), static_cast<long long>(tot_size));
}

void KivProcess_db::release(KivProcess* proc) {
  if (proc != defproc_) delete proc;
}
