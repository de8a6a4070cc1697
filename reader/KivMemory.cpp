#include "reader/KivMemory.h"

#include <iostream>

#include "header/kiv_hdr.h"
#include "memory/KivReserveId.h"
#include "memory/KivReserveId_db.h"
#include "memory/KivStat.h"
#include "model/KivProcess.h"
#include "output/csv_file.h"
#include "output/out_stream.h"
#include "output/row_writer.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

namespace {

template <typename R>
void trace_block(std::ostream& os, const R& rec) {
  os << " id: " << rec.id << " color: " << rec.color << " addr: " << rec.addr << '\n';
}

// Addresses in messages are lower-case hexadecimal of their 64 bits.
void address_message(const char* text, std::int64_t addr) {
  std::cout << text << std::hex << static_cast<std::uint64_t>(addr) << std::dec << '\n';
}

// Current, peak, in use, records and total of with-free memory.
template <typename T>
void wf_blocks(row_writer& os, const KivStat<T>& s) {
  os.fields(s.cur_wf.size, s.cur_wf.tot_size, s.cur_wf.count, s.peak_wf.size, s.peak_wf.tot_size, s.in_use.size,
            s.in_use.tot_size, s.recs.count, s.recs.scaled(), s.tot_wf.size, s.tot_wf.tot_size, s.tot_wf.count);
}

// Current, in use and records.
template <typename T>
void short_blocks(row_writer& os, const KivStat<T>* s) {
  static const KivStat<T> zero{1};
  const KivStat<T>& b = s == nullptr ? zero : *s;
  os.fields(b.cur_wf.size, b.cur_wf.tot_size, b.cur_wf.count, b.in_use.size, b.in_use.tot_size, b.recs.count,
            b.recs.scaled());
}

// The usual length of a "memory" row, a hint for the row writer.
constexpr std::size_t usual_memory_row_bytes = 1024;

}  // namespace

void KivMemory::write_row(out_stream& stream, const kiv_hdr& hdr, std::string_view time) const {
  row_writer os(stream, data_sep, usual_memory_row_bytes);
  os.text_field(hdr.runid);
  os.fields(hdr.pid);
  os.text_field(time);
  dumpinfo(os);
  os << '\n';
}

void KivMemory::dumpinfo(row_writer& os) const { os << location_text; }

void KivMemory::dump_row(row_writer& os, const KivReserveId& rid, std::uint32_t id, const columns& cols,
                         colour_view view) const {
  const KivStatRec<unsigned long long>& recs = reader()->malid_db().stat.recs;
  os << static_cast<char>(type()) << data_sep;
  os.fields(recs.count, recs.scaled());
  context.dumpcontext(os) << data_sep;
  os.fields(location, id, cols.color, cols.addr, cols.size, cols.tot_size, cols.new_size, cols.new_tot_size, cols.addr2,
            cols.other_sequence);
  dump_colour(os, view == colour_view::none ? nullptr : rid.stats.color(cols.color), view);
  os.text_field("malid");
  wf_blocks(os, rid.stats.stat);
  dump_levels(os, id, view == colour_view::none ? nullptr : &cols.color);
}

// A colour without a block shows a zeroed one.
void KivMemory::dump_colour(row_writer& os, const KivStat<unsigned long long>* colour, colour_view view) {
  static const KivStat<unsigned long long> zero{1};
  const KivStat<unsigned long long>& c = colour == nullptr ? zero : *colour;
  os.text_field("color");
  if (view == colour_view::no_free)
    os.fields(c.cur_nf.size, c.cur_nf.tot_size, c.cur_nf.count, c.sum_nf.size, c.sum_nf.tot_size);
  else
    os.fields(c.cur_wf.size, c.cur_wf.tot_size, c.cur_wf.count, c.peak_wf.size, c.peak_wf.tot_size);
  os.fields(c.in_use.size, c.in_use.tot_size, c.recs.count, c.recs.scaled());
}

// Process, process id, process id colour (zeros without a colour), run and
// heap groups.
void KivMemory::dump_levels(row_writer& os, std::uint32_t id, const std::uint32_t* color) const {
  const KivReserveId_db& db = reader()->malid_db();
  KivProcess& proc = *reader()->process_of(context.pid);
  os.text_field("process");
  wf_blocks(os, proc.stat);
  os.text_field("process m");
  short_blocks(os, proc.get_p_m_stat(id));
  os.text_field("process c");
  short_blocks(os, color == nullptr ? nullptr : proc.get_p_c_stat(id, *color));
  os.text_field("global");
  const KivStat<unsigned long long>& run = db.stat;
  os.fields(run.cur_wf.size, run.cur_wf.tot_size, run.cur_wf.count, run.peak_wf.size, run.peak_wf.tot_size,
            run.cur_nf.size, run.cur_nf.tot_size, run.cur_nf.count);
  os.text_field("sbrk");
  os.fields(db.sbrk_size, db.sbrk_count, db.gap_size);
  os << db.gap_count;
}

void KivMemory::write_freemem(std::uint64_t block_nr, std::uint64_t freeing_nr, char tag) const {
  const kiv_hdr& hdr = reader()->header();
  row_writer os(reader()->freemem_file().get_stream(), data_sep);
  os.text_field(hdr.runid);
  os.fields(hdr.pid, block_nr, freeing_nr);
  os << tag << '\n';
}

// ---- allocation with free -------------------------------------------------------

void KivMallocWF::setelems() {
  readelem(id);
  readelem(color);
  readelem(addr);
  readelem(addr_realloc);
  readelem(size);
  readelem(tot_size);
  readloc(location_text, location);
  realloc_sequence = 0;
  sequence = update_stats();
}

void KivMallocWF::traceevent(std::ostream& os) {
  if (tracing()) trace_block(os, *this);
}

// A realloc that moved the block names the old block: its record number is
// kept, the old block itself stays until a free names it.
std::uint64_t KivMallocWF::update_stats() {
  KivReserveId_db& db = reader()->malid_db();
  KivReserveId& rid = *db.get_reserve_id(id);
  if (addr_realloc != 0) {
    if (const KivMemBlock* old = rid.wf_mem.find(addr_realloc))
      realloc_sequence = old->sequence;
    else
      address_message("Error in MALLOC_WF cannot find addr_realloed ", addr_realloc);
  }
  rid.stats.stat.allocate_wf(size, tot_size);
  if (auto* c = rid.stats.color(color)) c->allocate_wf(size, tot_size);
  reader()->proc_db().update_wf(context.pid, id, color, size, tot_size);
  return db.update_wf(size, tot_size);
}

void KivMallocWF::dumpinfo(row_writer& os) const {
  const KivReserveId& rid = *reader()->malid_db().get_reserve_id(id);
  dump_row(os, rid, id, {color, addr, size, tot_size, size, tot_size, addr_realloc, realloc_sequence},
           colour_view::with_free);
}

// ---- allocation without free ----------------------------------------------------

void KivMallocNF::setelems() {
  readelem(id);
  readelem(color);
  readelem(addr);
  readelem(size);
  readelem(tot_size);
  readloc(location_text, location);
  sequence = update_stats();
}

void KivMallocNF::traceevent(std::ostream& os) {
  if (tracing()) trace_block(os, *this);
}

std::uint64_t KivMallocNF::update_stats() {
  KivReserveId_db& db = reader()->malid_db();
  KivReserveId& rid = *db.get_reserve_id(id);
  rid.stats.stat.allocate_nf(size, tot_size);
  if (auto* c = rid.stats.color(color)) c->allocate_nf(size, tot_size);
  reader()->proc_db().update_nf(context.pid, id, color, size, tot_size);
  return db.update_nf(size, tot_size);
}

void KivMallocNF::dumpinfo(row_writer& os) const {
  const KivReserveId& rid = *reader()->malid_db().get_reserve_id(id);
  dump_row(os, rid, id, {color, addr, size, tot_size, size, tot_size, 0, 0}, colour_view::no_free);
}

// ---- free -----------------------------------------------------------------------------

void KivFree::setelems() {
  readelem(id);
  readelem(color);
  readelem(addr);
  readloc(location_text, location);
  sequence = update_stats();
}

void KivFree::traceevent(std::ostream& os) {
  if (tracing()) trace_block(os, *this);
}

// The id colour of a free is the freed block's colour; the process colour
// level takes the record's.
std::uint64_t KivFree::update_stats() {
  KivReserveId_db& db = reader()->malid_db();
  KivReserveId& rid = *db.get_reserve_id(id);
  if (KivMemBlock* blk = rid.wf_mem.find(addr)) {
    rid.stats.stat.free(blk->size, blk->tot_size);
    if (auto* c = rid.stats.color(blk->color)) c->free_no_count(blk->size, blk->tot_size);
    size = blk->size;
    tot_size = blk->tot_size;
    freed_sequence = blk->sequence;
    delete rid.wf_mem.del_memory(addr);
  } else {
    address_message("Error in FREE: illegal address ", addr);
  }
  reader()->proc_db().update_fr(context.pid, id, color, size, tot_size);
  const std::uint64_t nr = db.update_fr(size, tot_size);
  if (freed_sequence != 0) write_freemem(freed_sequence, nr, 'f');
  return nr;
}

void KivFree::dumpinfo(row_writer& os) const {
  const KivReserveId& rid = *reader()->malid_db().get_reserve_id(id);
  dump_row(os, rid, id,
           {color, addr, -static_cast<std::int64_t>(size), -static_cast<std::int64_t>(tot_size), size, tot_size, 0,
            freed_sequence},
           colour_view::with_free);
}

// ---- realloc in place --------------------------------------------------------------

void KivFreeRealloc::setelems() {
  readelem(id);
  readelem(color);
  readelem(addr);
  readelem(addr_free);
  readelem(size);
  readelem(tot_size);
  readloc(location_text, location);
  sequence = update_stats();
}

void KivFreeRealloc::traceevent(std::ostream& os) {
  if (tracing()) trace_block(os, *this);
}

std::uint64_t KivFreeRealloc::update_stats() {
  KivReserveId& rid = *reader()->malid_db().get_reserve_id(id);
  KivMemBlock* blk = rid.wf_mem.find(addr);
  if (blk == nullptr) {
    address_message("Error in FREE REALLOC: illegal address ", addr);
    return 0;
  }
  // The differences are unsigned 32-bit amounts, like size and tot_size
  // themselves: where tot_size moves against size its difference wraps
  // (0 - 160 is 4294967136), and every level adds it in its own width.
  const bool shrinks = size <= blk->size;
  const std::uint32_t size_diff = shrinks ? blk->size - size : size - blk->size;
  const std::uint32_t tot_diff = shrinks ? blk->tot_size - tot_size : tot_size - blk->tot_size;
  const std::uint64_t nr = shrinks ? shrink(rid, size_diff, tot_diff) : grow(rid, size_diff, tot_diff);
  delta_size = static_cast<std::int32_t>(size - blk->size);
  delta_tot_size = static_cast<std::int32_t>(tot_size - blk->tot_size);
  prev_sequence = blk->sequence;
  blk->size = size;
  blk->tot_size = tot_size;
  blk->sequence = nr;
  write_freemem(prev_sequence, nr, 'r');
  return nr;
}

// The bytes given back are freed without changing the block counts of the
// id levels; the process and run levels count them as a free.
std::uint64_t KivFreeRealloc::shrink(KivReserveId& rid, std::uint64_t size_diff, std::uint64_t tot_diff) {
  rid.stats.stat.free_no_count(size_diff, tot_diff);
  if (auto* c = rid.stats.color(color)) c->free_no_count(size_diff, tot_diff);
  reader()->proc_db().update_fr(context.pid, id, color, size_diff, tot_diff);
  return reader()->malid_db().update_fr(size_diff, tot_diff);
}

std::uint64_t KivFreeRealloc::grow(KivReserveId& rid, std::uint64_t size_diff, std::uint64_t tot_diff) {
  rid.stats.stat.allocate_wf(size_diff, tot_diff);
  if (auto* c = rid.stats.color(color)) c->allocate_wf(size_diff, tot_diff);
  reader()->proc_db().update_wf(context.pid, id, color, size_diff, tot_diff);
  return reader()->malid_db().update_wf(size_diff, tot_diff);
}

void KivFreeRealloc::dumpinfo(row_writer& os) const {
  const KivReserveId& rid = *reader()->malid_db().get_reserve_id(id);
  dump_row(os, rid, id, {color, addr, delta_size, delta_tot_size, size, tot_size, addr_free, prev_sequence},
           colour_view::with_free);
}

// ---- release of a whole id -------------------------------------------------------------

KivFRID::KivFRID(kiv_type type, kiv_reader* reader, const KivReserveId& released)
    : KivMemory(type, reader), id(released.id), released_(&released) {}

void KivFRID::setelems() { sequence = reader()->malid_db().stat.recs.next(); }

void KivFRID::traceevent(std::ostream& os) {
  if (tracing()) os << " id: " << id << '\n';
}

void KivFRID::dumpinfo(row_writer& os) const {
  const KivStat<unsigned long long>& s = released_->stats.stat;
  const std::uint64_t amount = s.cur_wf.size + s.cur_nf.size;
  const std::uint64_t tot_amount = s.cur_wf.tot_size + s.cur_nf.tot_size;
  dump_row(os, *released_, id,
           {0, 0, -static_cast<std::int64_t>(amount), -static_cast<std::int64_t>(tot_amount), amount, tot_amount, 0, 0},
           colour_view::none);
}
