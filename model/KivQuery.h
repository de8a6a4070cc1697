#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "model/KivEventContext.h"

class kiv_reader;
class KivTimeStamp;
class out_stream;

// One prepared SQL statement of the run, with the times at which it was
// prepared, began and was closed.
class KivQuery {
 public:
  KivQuery(kiv_reader* reader, std::string text, std::uint32_t pid, std::string prepare_time);

  // Takes the ids of the first query-out after the prepare; a linked id of
  // 0 links the query to itself.
  void set_ids(std::uint32_t new_qid, std::uint32_t new_linked_qid);
  // Fills whichever of close_time and begin_time is still empty.
  void check_times(const KivTimeStamp& ts);
  // The "queries" record without its line end; the query text is followed
  // directly by "<<>>" because it may itself hold line ends.
  out_stream& dumpquery(out_stream& os) const;

  std::string query;
  std::uint32_t qid = 0;
  std::uint32_t linked_qid = 0;
  std::uint32_t pid = 0;
  std::string prepare_time;
  std::string begin_time;
  std::string close_time;
  kiv_reader* reader = nullptr;
};

// One database operation, open from its query-in to its query-out, with the
// heap rows and memory records written while it was open.
class KivQueryEvent {
 public:
  KivQueryEvent(std::uint32_t type, std::uint32_t seq, std::uint64_t sbrk_in, std::uint64_t rec_in,
                KivEventContext context);

  // The query-out: takes its ids (when none were set yet) and the counters
  // at that moment. A counter that did not move is shown as 0 in and out.
  void close(std::uint32_t out_qid, std::uint32_t out_linked_qid, std::uint64_t out_sbrk,
             std::uint64_t out_rec);
  // Columns 5 onwards of the "queryevents" row, without the line end.
  out_stream& dumpqevent(out_stream& os) const;

  std::uint32_t qid = 0;
  std::uint32_t linked_qid = 0;
  std::uint32_t type = 0;
  std::uint64_t sbrk_in = 0;
  std::uint64_t sbrk_out = 0;
  std::uint64_t rec_in = 0;
  std::uint64_t rec_out = 0;
  KivEventContext context;
  std::uint32_t seq = 0;
};

// The prepared statements of one reader by query id; owns them.
class KivQuery_db {
 public:
  // Stores the query under its qid. A qid that is stored already is
  // reported and the stored query stays: the rejected query is handed back
  // (null when it was stored).
  std::unique_ptr<KivQuery> add_query(std::unique_ptr<KivQuery> q);
  KivQuery* find(std::uint32_t qid) const;
  // Queries without begin or close time get the given time.
  void check_times(const KivTimeStamp& ts);
  // One "queries" record per query in ascending qid.
  void dump_db(out_stream& os) const;
  std::size_t size() const { return queries_.size(); }

 private:
  std::map<std::uint32_t, std::unique_ptr<KivQuery>> queries_;
};
