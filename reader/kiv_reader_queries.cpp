// Handlers of the symbol and query records: 3GL symbols go to the current
// process; query operations are paired into "queryevents" rows and their
// prepared statements kept for the "queries" table.

#include <iostream>
#include <memory>

#include "header/kiv_hdr.h"
#include "memory/KivReserveId_db.h"
#include "model/KivProcess.h"
#include "model/KivQuery.h"
#include "output/csv_file.h"
#include "reader/KivChangeContext.h"
#include "reader/KivSymbolRecord.h"
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

// Operation letters of a query-in record.
constexpr std::uint32_t op_prepare = 'p';
constexpr std::uint32_t op_begin = 'b';
constexpr std::uint32_t op_close = 'c';
constexpr std::uint32_t op_execute = 'e';
constexpr std::uint32_t op_fetch = 'f';
constexpr std::uint32_t op_select = 's';

bool known_operation(std::uint32_t type) {
  switch (type) {
    case op_prepare:
    case op_begin:
    case op_close:
    case op_execute:
    case op_fetch:
    case op_select:
      return true;
    default:
      return false;
  }
}

}  // namespace

// ---- symbols -----------------------------------------------------------------

void kiv_reader::on_symbol_new() {
  KivSymbolNew rec(this);
  decoded(rec);
  cc_curr_proc()->symbol_new(rec);
}

void kiv_reader::on_symbol_dims() {
  KivSymbolDims rec(this);
  decoded(rec);
  cc_curr_proc()->symbol_dims(rec);
}

void kiv_reader::on_symbol_dd_name() {
  KivSymbolDdName rec(this);
  decoded(rec);
  cc_curr_proc()->symbol_dd_name(rec);
}

void kiv_reader::on_symbol_alloc() {
  KivSymbolAlloc rec(this);
  decoded(rec);
  cc_curr_proc()->symbol_alloc(rec);
}

// ---- queries -----------------------------------------------------------------

void kiv_reader::on_query_in() {
  KivQueryIn rec(this);
  decoded(rec);
  ++query_counter_;
  // An operation still open is dropped without a row.
  query_event_ = std::make_unique<KivQueryEvent>(rec.type, query_counter_, kiv_counters.rec_sbrk_count,
                                                 malid_db_->stat.recs.count, KivEventContext(this));
  set_open_query_seq(query_counter_);
  if (rec.type == op_prepare) {
    // A pending query that never saw a query-out is dropped.
    rejected_query_.reset();
    unfiled_query_ = std::make_unique<KivQuery>(this, rec.query, curr_pid_, now_.text);
    pending_query_ = unfiled_query_.get();
  } else if (!known_operation(rec.type)) {
    std::cout << "QueryIn: unknown type '" << static_cast<std::int32_t>(rec.type) << "'\n";
  }
  if (debug_level >= 1) std::cerr << "QueryIn: " << static_cast<char>(rec.type) << '\n';
}

void kiv_reader::on_query_out() {
  KivQueryOut rec(this);
  decoded(rec);
  file_pending_query(rec.qid, rec.linked_qid);
  // Without an open operation there is nothing to write or time.
  if (query_event_ == nullptr) return;
  KivQueryEvent& ev = *query_event_;
  ev.close(rec.qid, rec.linked_qid, kiv_counters.rec_sbrk_count, malid_db_->stat.recs.count);
  out_stream& os = queryevents_->get_stream();
  os << hdr_->runid << data_sep << hdr_->pid << data_sep << ev.seq << data_sep << now_.text
     << data_sep;
  ev.dumpqevent(os) << '\n';
  set_query_times(ev.type);
  if (debug_level >= 1) std::cerr << "QueryOu: " << static_cast<char>(ev.type) << '\n';
  query_event_.reset();
  set_open_query_seq(0);
}

// The first query-out after a prepare gives the query its ids and files it.
// A query is offered to the table once: one whose qid is taken stays
// pending outside the table.
void kiv_reader::file_pending_query(std::uint32_t qid, std::uint32_t linked_qid) {
  if (unfiled_query_ == nullptr) return;
  unfiled_query_->set_ids(qid, linked_qid);
  rejected_query_ = query_db_->add_query(std::move(unfiled_query_));
}

// Times go to the query filed under the pending query's qid, whatever qid
// the query-out names.
void kiv_reader::set_query_times(std::uint32_t type) {
  if (pending_query_ == nullptr) return;
  KivQuery* q = query_db_->find(pending_query_->qid);
  if (q == nullptr) return;
  if (type == op_begin) {
    q->begin_time = now_.text;
  } else if (type == op_close) {
    if (q->begin_time.empty()) q->begin_time = now_.text;
    q->close_time = now_.text;
  }
}

void kiv_reader::dump_query_db() {
  csv_file table(sequence_, script_, "queries", dir_, hdr_->runid, first_);
  query_db_->check_times(end_time_);
  query_db_->dump_db(table.get_stream());
}
