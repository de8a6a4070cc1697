// The event loop: replays the records of every data file in order, keeps
// the current context and writes the rows produced while reading.

#include <cstdlib>
#include <iostream>
#include <string>

#include "driver/settings.h"
#include "header/kiv_hdr.h"
#include "header/kivfile.h"
#include "memory/KivHashLoc.h"
#include "memory/KivReserveId_db.h"
#include "model/KivProcess.h"
#include "output/csv_file.h"
#include "reader/KivChangeContext.h"
#include "reader/KivContext.h"
#include "reader/KivMemInfo.h"
#include "reader/KivMemory.h"
#include "reader/KivSymbolRecord.h"
#include "reader/kiv_reader.h"

namespace {

// Every record is traced right after it is decoded, before it is handled.
template <typename R>
R& decoded(R& rec) {
  rec.setelems();
  rec.traceevent(std::cerr);
  return rec;
}

bool debug_notices() { return debug_level >= 1; }
bool debug_records() { return debug_level > 1; }

}  // namespace

std::uint64_t kiv_reader::ReadEvents() {
  now_ = start_time_;
  for (csv_file* table : {memory_.get(), queryevents_.get(), freemem_.get()}) {
    table->set_max(max_);
    table->add_check(true);
  }
  current_file_ = 0;
  if (hdr_->files.empty()) {
    std::cerr << "cannot open file: the header " << path_ << " lists no data file\n";
    return kiv_counters.record_count;
  }
  if (!rd_open()) {
    std::cerr << "cannot open file " << hdr_->files.front()->file << '\n';
    return kiv_counters.record_count;
  }
  WriteMarker("Record", "Begin", now_.text, "Begin of measurement");
  while (!eof()) {
    signed char tag = 0;
    unsigned size = 0;
    if (!frame_record(tag, size)) continue;
    ++eventnr_;
    if (debug_records())
      std::cerr << "tag: " << static_cast<char>(tag) << " size: " << size << " eventnr: " << eventnr_;
    if (!dispatch(tag)) {
      illegal_event();
      return kiv_counters.record_count;
    }
    if (cursor_.cursor() != cursor_.record_end()) {
      std::cout << "OUT OF SYNC!!! record: " << eventnr_;
      cursor_.seek(cursor_.record_end());
      std::cout << "Corrected...\n";
    }
  }
  WriteMarker("Record", "End", now_.text, "End of measurement");
  return kiv_counters.record_count;
}

bool kiv_reader::dispatch(signed char tag) {
  switch (tag) {
    case kiv_e_malloc_wf: on_malloc_wf(); break;
    case kiv_e_malloc_nf: on_malloc_nf(); break;
    case kiv_e_free: on_free(); break;
    case kiv_e_free_realloc: on_free_realloc(); break;
    case kiv_e_sbrk: on_sbrk(); break;
    case kiv_e_sbrk_gap: on_sbrk_gap(); break;
    case kiv_e_mallinfo: on_mallinfo(); break;
    case kiv_e_reserve_id: on_reserve_id(); break;
    case kiv_e_reserve_id_colors: on_reserve_id_colors(); break;
    case kiv_e_free_id: on_free_id(); break;
    case kiv_e_reset_id: on_reset_id(); break;
    case kiv_e_hashloc: on_hashloc(); break;
    case kiv_e_marker: on_marker(); break;
    case kiv_e_timestamp: on_timestamp(); break;
    case kiv_e_process_start: on_process_start(); break;
    case kiv_e_process_end: on_process_end(); break;
    case kiv_e_schedule: on_schedule(); break;
    case kiv_e_process_special_load: on_process_special_load(); break;
    case kiv_e_object_load: on_object_load(); break;
    case kiv_e_object_link: on_object_link(); break;
    case kiv_e_object_function_load: on_object_function_load(); break;
    case kiv_e_object_global_load: on_object_global_load(); break;
    case kiv_e_flow_in: on_flow_in(); break;
    case kiv_e_flow_out: on_flow_out(); break;
    case kiv_e_vorex_flow_in: on_vorex_flow_in(); break;
    case kiv_e_vorex_flow_out: on_vorex_flow_out(); break;
    case kiv_e_symbol_new_sym: on_symbol_new(); break;
    case kiv_e_symbol_dims: on_symbol_dims(); break;
    case kiv_e_symbol_dd_name: on_symbol_dd_name(); break;
    case kiv_e_symbol_alloc: on_symbol_alloc(); break;
    case kiv_e_query_in: on_query_in(); break;
    case kiv_e_query_out: on_query_out(); break;
    default: return false;
  }
  return true;
}

// A tag outside the record table means the data cannot be framed any more:
// report it and stop reading. The caller ends the program with a failure
// status after closing the tables, so every row written so far is kept.
void kiv_reader::illegal_event() {
  if (debug_records()) std::cerr << '\n';
  std::cout << "Illegal event detected. record nr: " << eventnr_ << '\n'
            << "File offset: " << cursor_.cursor() << std::endl;
  stopped_ = true;
}

void kiv_reader::memory_record_step() {
  ++kiv_counters.record_count;
  record_count_marker(kiv_counters.record_count, now_);
}

// ---- memory records ------------------------------------------------------

void kiv_reader::on_malloc_wf() {
  KivMallocWF rec(this);
  decoded(rec);
  memory_record_step();
}

void kiv_reader::on_malloc_nf() {
  KivMallocNF rec(this);
  decoded(rec);
  memory_record_step();
}

void kiv_reader::on_free() {
  KivFree rec(this);
  decoded(rec);
  memory_record_step();
}

void kiv_reader::on_free_realloc() {
  KivFreeRealloc rec(this);
  decoded(rec);
  memory_record_step();
}

// ---- heap records ----------------------------------------------------------

void kiv_reader::on_sbrk() {
  KivSbrk rec(this);
  decoded(rec);
  malid_db_->sbrk_size += rec.size;
  ++malid_db_->sbrk_count;
}

void kiv_reader::on_sbrk_gap() {
  KivSbrkGap rec(this);
  decoded(rec);
  malid_db_->gap_size += static_cast<std::uint64_t>(rec.c_sbrk) - static_cast<std::uint64_t>(rec.l_sbrk);
  ++malid_db_->gap_count;
}

void kiv_reader::on_mallinfo() {
  KivMallInfo rec(this);
  decoded(rec);
  ++kiv_counters.rec_arena_count;
}

// ---- malloc ids ---------------------------------------------------------------

void kiv_reader::on_reserve_id() {
  auto rid = std::make_unique<KivReserveId>(this);
  rid->traceevent(std::cerr);
  rid->start_time = now_.text;
  rid->start_recnr = kiv_counters.record_count;
  const std::string text = "Reserve Id " + std::to_string(rid->id) + " " + rid->reserve_type;
  malid_db_->add_reserve_id(std::move(rid));
  if (debug_notices()) std::cerr << text << '\n';
  WriteMarker("Malid", "Reserve", now_.text, text);
}

void kiv_reader::on_reserve_id_colors() {
  KivReserveIdColors rec(this);
  decoded(rec);
}

void kiv_reader::on_free_id() {
  KivFreeId rec(this);
  decoded(rec);
  KivReserveId* rid = malid_db_->get_reserve_id(rec.id);
  rid->end_time = now_.text;
  rid->end_recnr = kiv_counters.record_count;
  WriteMarker("MalId", "Free", now_.text,
              "Free Id " + std::to_string(rid->id) + " " + rid->reserve_type);
  memory_record_step();
}

void kiv_reader::on_reset_id() {
  KivResetId rec(this);
  decoded(rec);
  const KivReserveId* rid = malid_db_->get_reserve_id(rec.id);
  WriteMarker("MalId", "Reset", now_.text,
              "Reset Id " + std::to_string(rid->id) + " " + rid->reserve_type);
  memory_record_step();
}

// ---- locations, markers, time ------------------------------------------------

void kiv_reader::on_hashloc() {
  auto loc = std::make_unique<KivHashLoc>(this);
  decoded(*loc);
  hashloc_db_->add_hashloc(std::move(loc));
}

void kiv_reader::on_marker() {
  KivMarker rec(this);
  decoded(rec);
  WriteMarker("Marker", "", now_.text, rec.text);
}

void kiv_reader::on_timestamp() {
  KivTimeStamp rec(this);
  rec.setelems();
  now_ = rec;
  now_.traceevent(std::cerr);
}

// ---- processes ------------------------------------------------------------------

void kiv_reader::on_process_start() {
  KivProcessStart rec(this);
  decoded(rec);
  auto* proc = new KivProcess(this, rec);
  proc->start_time = now_.text;
  proc->start_rec = kiv_counters.record_count;
  proc_db_->add_process(proc);
  WriteMarker("Process", "Start", now_.text,
              "Start: " + rec.session_name + " " + std::to_string(rec.pid));
}

void kiv_reader::on_process_end() {
  KivProcessEnd rec(this);
  decoded(rec);
  KivProcess* proc = proc_db_->get_process(rec.pid);
  proc->end_time = now_.text;
  proc->end_rec = kiv_counters.record_count;
  const std::string text = "End: " + proc->session_name + " " + std::to_string(proc->pid);
  WriteMarker("Process", "End", now_.text, text);
  if (debug_notices()) std::cerr << "End process: " << text << '\n';
  proc->free_process();
}

void kiv_reader::on_schedule() {
  KivSchedule rec(this);
  decoded(rec);
  const KivProcess* from = rec.get_cur_proc();
  const KivProcess* to = rec.get_new_proc();
  if (debug_records())
    std::cerr << "schedule from " << from->pid << ' ' << from->session_name << " to " << to->pid
              << ' ' << to->session_name << '\n';
  curr_pid_ = to->pid;
}

void kiv_reader::on_process_special_load() {
  KivProcessSpecialLoad rec(this);
  decoded(rec);
  if (debug_records())
    std::cerr << "  " << rec.pid << ' ' << rec.funnr << ' ' << rec.funcname << '\n';
}

// ---- objects and functions -------------------------------------------------------

void kiv_reader::on_object_load() {
  KivObjectLoad rec(this);
  decoded(rec);
  if (debug_notices())
    std::cerr << "---------------------------------\n"
              << " Load object: " << rec.id_of_obj << ' ' << rec.object_name << '\n';
}

void kiv_reader::on_object_link() {
  KivObjectLink rec(this);
  decoded(rec);
  if (debug_records())
    std::cerr << " OIP process id " << rec.pid << " links object id " << rec.id_of_obj << '\n';
}

void kiv_reader::on_object_function_load() {
  KivObjectFunctionLoad rec(this);
  decoded(rec);
  if (debug_records())
    std::cerr << "  " << rec.id_of_obj << ' ' << rec.funnr << ' ' << rec.funcname << '\n';
}

void kiv_reader::on_object_global_load() {
  KivObjectGlobalLoad rec(this);
  decoded(rec);
  if (debug_records())
    std::cerr << "  " << rec.id_of_obj << ' ' << rec.funnr << ' ' << rec.funcname << '\n';
}

// ---- call flow, symbols and queries ------------------------------------------------
// These records change the run model (call stacks and arcs, Vorex calls,
// symbols, query events); here they are decoded and traced.

void kiv_reader::on_flow_in() {
  KivFlowIn rec(this);
  decoded(rec);
}

void kiv_reader::on_flow_out() {
  KivFlowOut rec(this);
  decoded(rec);
}

void kiv_reader::on_vorex_flow_in() {
  KivVorexFlowIn rec(this);
  decoded(rec);
}

void kiv_reader::on_vorex_flow_out() {
  KivVorexFlowOut rec(this);
  decoded(rec);
}

void kiv_reader::on_symbol_new() {
  KivSymbolNew rec(this);
  decoded(rec);
}

void kiv_reader::on_symbol_dims() {
  KivSymbolDims rec(this);
  decoded(rec);
}

void kiv_reader::on_symbol_dd_name() {
  KivSymbolDdName rec(this);
  decoded(rec);
}

void kiv_reader::on_symbol_alloc() {
  KivSymbolAlloc rec(this);
  decoded(rec);
}

void kiv_reader::on_query_in() {
  KivQueryIn rec(this);
  decoded(rec);
}

void kiv_reader::on_query_out() {
  KivQueryOut rec(this);
  decoded(rec);
}
