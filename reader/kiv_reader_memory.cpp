// Handlers of the memory and heap records: allocations, frees, reallocs,
// malloc ids and their colours, heap growth and allocator figures; and the
// malloc-id dump.

#include <iostream>
#include <memory>
#include <string>

#include "header/kiv_hdr.h"
#include "memory/KivReserveId_db.h"
#include "output/csv_file.h"
#include "reader/KivContext.h"
#include "reader/KivMemInfo.h"
#include "reader/KivMemory.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

namespace {

// Every record is traced right after it is decoded, before it is handled.
template <typename R>
R& decoded(R& rec) {
  rec.setelems();
  rec.traceevent(std::cerr);
  return rec;
}

// Run id, the header's pid and the current time.
out_stream& row_prefix(out_stream& os, const kiv_reader& rd) {
  const kiv_hdr& hdr = rd.header();
  return os << hdr.runid << data_sep << hdr.pid << data_sep << rd.current_time().text << data_sep;
}

void memory_row(kiv_reader& rd, const KivMemory& rec) {
  rec.write_row(rd.memory_file().get_stream(), rd.header(), rd.current_time().text);
}

void heap_row(kiv_reader& rd, csv_file& table, const KivMemInfo& rec) {
  row_prefix(table.get_stream(), rd) << kiv_counters.record_count << data_sep << rec << '\n';
}

}  // namespace

// ---- memory records ------------------------------------------------------

void kiv_reader::on_malloc_wf() {
  KivMallocWF rec(this);
  decoded(rec);
  malid_db_->add_memory(rec);
  memory_row(*this, rec);
  memory_record_step();
}

void kiv_reader::on_malloc_nf() {
  KivMallocNF rec(this);
  decoded(rec);
  malid_db_->add_memory(rec);
  memory_row(*this, rec);
  memory_record_step();
}

void kiv_reader::on_free() {
  KivFree rec(this);
  decoded(rec);
  memory_row(*this, rec);
  memory_record_step();
}

void kiv_reader::on_free_realloc() {
  KivFreeRealloc rec(this);
  decoded(rec);
  memory_row(*this, rec);
  memory_record_step();
}

// ---- heap records ----------------------------------------------------------

void kiv_reader::on_sbrk() {
  KivSbrk rec(this);
  decoded(rec);
  malid_db_->sbrk_size += rec.size;
  ++malid_db_->sbrk_count;
  heap_row(*this, *sbrk_, rec);
  ++kiv_counters.rec_sbrk_count;
}

void kiv_reader::on_sbrk_gap() {
  KivSbrkGap rec(this);
  decoded(rec);
  malid_db_->gap_size += static_cast<std::uint64_t>(rec.c_sbrk) - static_cast<std::uint64_t>(rec.l_sbrk);
  ++malid_db_->gap_count;
  heap_row(*this, *sbrk_, rec);
  ++kiv_counters.rec_sbrk_count;
}

void kiv_reader::on_mallinfo() {
  KivMallInfo rec(this);
  decoded(rec);
  heap_row(*this, *arena_, rec);
  ++kiv_counters.rec_arena_count;
}

// ---- malloc ids ---------------------------------------------------------------

void kiv_reader::on_reserve_id() {
  auto rid = std::make_unique<KivReserveId>(this);
  rid->traceevent(std::cerr);
  rid->start_time = now_.text;
  rid->start_recnr = kiv_counters.record_count;
  const std::string text = "Reserve Id " + std::to_string(rid->id) + " " + rid->reserve_type;
  KivReserveId* stored = malid_db_->add_reserve_id(std::move(rid));
  if (debug_level >= 1) std::cerr << text << '\n';
  WriteMarker("Malid", "Reserve", now_.text, text);
  if (stored != nullptr) stored->link_malloc_id();
}

void kiv_reader::on_reserve_id_colors() {
  KivReserveIdColors rec(this);
  decoded(rec);
  malid_db_->add_color_to_reserve_id(rec);
}

void kiv_reader::on_free_id() {
  KivFreeId rec(this);
  decoded(rec);
  KivReserveId* rid = malid_db_->get_reserve_id(rec.id);
  rid->end_time = now_.text;
  rid->end_recnr = kiv_counters.record_count;
  WriteMarker("MalId", "Free", now_.text, "Free Id " + std::to_string(rid->id) + " " + rid->reserve_type);
  malid_db_->free_mem(rec.id, rec.tot_size_wf, rec.tot_size_nf, rec.location, now_, false);
  memory_record_step();
}

void kiv_reader::on_reset_id() {
  KivResetId rec(this);
  decoded(rec);
  const KivReserveId* rid = malid_db_->get_reserve_id(rec.id);
  WriteMarker("MalId", "Reset", now_.text, "Reset Id " + std::to_string(rid->id) + " " + rid->reserve_type);
  malid_db_->free_mem(rec.id, rec.tot_size_wf, rec.tot_size_nf, rec.location, now_, true);
  memory_record_step();
}

// ---- dump ------------------------------------------------------------------------

void kiv_reader::dump_malid_db(unsigned long long end) {
  {
    csv_file table(sequence_, script_, "malid", dir_, hdr_->runid, first_);
    malid_db_->check_end_time(end_time_, end);
    malid_db_->dump_db(table);
  }
  csv_file colors(sequence_, script_, "color", dir_, hdr_->runid, first_);
  malid_db_->dump_db_colors(colors);
}
