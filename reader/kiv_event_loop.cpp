// The event loop: replays the records of every data file in order, keeps
// the current context and writes the rows produced while reading.

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>

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
#include "reader/read_progress.h"
#include "runtime/settings.h"

namespace {

// Every record is traced right after it is decoded, before it is handled.
template <typename R>
R& decoded(R& rec) {
  rec.setelems();
  rec.traceevent(std::cerr);
  return rec;
}

bool debug_records() { return debug_level > 1; }

// Tells the observer that reading has ended, on every way out of the loop.
class progress_end {
 public:
  explicit progress_end(read_progress* progress) : progress_(progress) {}
  ~progress_end() {
    if (progress_ != nullptr) progress_->end();
  }
  progress_end(const progress_end&) = delete;
  progress_end& operator=(const progress_end&) = delete;

 private:
  read_progress* progress_;
};

}  // namespace

std::uint64_t kiv_reader::ReadEvents() {
  const progress_end ended(progress_);
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
  begin_progress();
  std::uint32_t progress_countdown = read_progress::records_per_report;
  while (!eof()) {
    signed char tag = 0;
    unsigned size = 0;
    if (!frame_record(tag, size)) continue;
    ++eventnr_;
    if (progress_ != nullptr && --progress_countdown == 0) {
      progress_countdown = read_progress::records_per_report;
      report_progress();
    }
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

// ---- progress ------------------------------------------------------------

namespace {

std::uint64_t declared_bytes(const kivfile& kf) { return static_cast<std::uint64_t>(std::max(kf.size, 0)); }

}  // namespace

void kiv_reader::begin_progress() {
  if (progress_ == nullptr) return;
  std::uint64_t total = 0;
  for (const auto& kf : hdr_->files) total += declared_bytes(*kf);
  progress_->begin(path_, total, kiv_counters.record_count);
}

void kiv_reader::report_progress() {
  std::uint64_t done = cursor_.cursor();
  for (std::size_t i = 0; i < current_file_ && i < hdr_->files.size(); ++i) done += declared_bytes(*hdr_->files[i]);
  progress_->update(done, kiv_counters.record_count);
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
  rec.read_time();
  now_ = rec;  // rec has no text yet: now_ keeps its text's storage
  time_texts_.write(now_.text, now_.tv_secs, now_.tv_nsecs);
  now_.traceevent(std::cerr);
}
