#include "model/KivQuery.h"

#include <iostream>
#include <utility>

#include "header/kiv_hdr.h"
#include "output/out_stream.h"
#include "reader/KivTimeStamp.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

namespace {

// Ends a "queries" record: the SQL text may span lines, so the importer
// looks for this marker instead of the line end.
constexpr const char* record_end_marker = "<<>>";

}  // namespace

KivQuery::KivQuery(kiv_reader* owner, std::string text, std::uint32_t proc_pid, std::string when)
    : query(std::move(text)), pid(proc_pid), prepare_time(std::move(when)), reader(owner) {}

void KivQuery::set_ids(std::uint32_t new_qid, std::uint32_t new_linked_qid) {
  qid = new_qid;
  linked_qid = new_linked_qid != 0 ? new_linked_qid : new_qid;
}

void KivQuery::check_times(const KivTimeStamp& ts) {
  if (close_time.empty()) close_time = ts.text;
  if (begin_time.empty()) begin_time = ts.text;
}

out_stream& KivQuery::dumpquery(out_stream& os) const {
  const kiv_hdr& hdr = reader->header();
  os << hdr.runid << data_sep << hdr.pid << data_sep << pid << data_sep << qid << data_sep
     << linked_qid << data_sep << prepare_time << data_sep << begin_time << data_sep << close_time
     << data_sep << query << record_end_marker;
  return os;
}

KivQueryEvent::KivQueryEvent(std::uint32_t op_type, std::uint32_t op_seq, std::uint64_t in_sbrk,
                             std::uint64_t in_rec, KivEventContext ctx)
    : type(op_type), sbrk_in(in_sbrk), rec_in(in_rec), context(std::move(ctx)), seq(op_seq) {}

void KivQueryEvent::close(std::uint32_t out_qid, std::uint32_t out_linked_qid, std::uint64_t out_sbrk,
                          std::uint64_t out_rec) {
  if (qid == 0) {
    qid = out_qid;
    linked_qid = out_linked_qid != 0 ? out_linked_qid : out_qid;
  }
  sbrk_out = out_sbrk;
  rec_out = out_rec;
  if (sbrk_out == sbrk_in) sbrk_in = sbrk_out = 0;
  if (rec_out == rec_in) rec_in = rec_out = 0;
}

out_stream& KivQueryEvent::dumpqevent(out_stream& os) const {
  os << qid << data_sep << linked_qid << data_sep << static_cast<char>(type) << data_sep << sbrk_in
     << data_sep << sbrk_out << data_sep << rec_in << data_sep << rec_out << data_sep;
  return context.dumpcontext(os);
}

std::unique_ptr<KivQuery> KivQuery_db::add_query(std::unique_ptr<KivQuery> q) {
  auto [it, inserted] = queries_.try_emplace(q->qid);
  if (inserted) {
    it->second = std::move(q);
    return nullptr;
  }
  std::cout << "Error in Query_db: " << q->qid << " already in db\n"
            << "Query: \n"
            << q->query << '\n'
            << " vs \n"
            << it->second->query << '\n';
  return q;
}

KivQuery* KivQuery_db::find(std::uint32_t qid) const {
  const auto it = queries_.find(qid);
  return it != queries_.end() ? it->second.get() : nullptr;
}

void KivQuery_db::check_times(const KivTimeStamp& ts) {
  for (auto& [qid, q] : queries_) q->check_times(ts);
}

void KivQuery_db::dump_db(out_stream& os) const {
  for (const auto& [qid, q] : queries_) q->dumpquery(os) << '\n';
}
