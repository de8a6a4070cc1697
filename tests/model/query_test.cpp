// Query operations replayed from traces written with our writer: pairing of
// query-in and query-out, the "queryevents" rows and the "queries" table.

#include <gtest/gtest.h>

#include <string>

#include "model/KivQuery.h"
#include "query_test_support.h"

namespace {

using kiv_model_test::field_of;
using kiv_model_test::lines_of;

class QueryTest : public kiv_model_test::TraceTest {
 protected:
  static constexpr std::int32_t proc_pid = 11;

  // A traced process that is current, so that rows carry its context.
  void start_process() {
    trace().process_start(proc_pid, 1, "session");
    trace().schedule(0, proc_pid);
  }
  void op(char type, std::int32_t qid = 0, std::int32_t linked = 0, const char* text = "") {
    trace().query_in(0, type, text);
    trace().query_out(qid, linked);
  }
  // Context columns of process 11 with an empty stack, ending in seq.
  static std::string idle_context(unsigned seq) {
    return "11;0;0;0;11;0;11;0;;0;;" + std::to_string(seq);
  }
  static std::string end_text() { return "2023-11-14 22:15:00.500"; }
};

// One "queries" record: run id, header pid, pid, qid, linked_qid, times.
std::string query_row(unsigned pid, unsigned qid, unsigned linked, const std::string& prepared,
                      const std::string& begun, const std::string& closed, const std::string& text) {
  return "4711;7;" + std::to_string(pid) + ";" + std::to_string(qid) + ";" + std::to_string(linked) +
         ";" + prepared + ";" + begun + ";" + closed + ";" + text + "<<>>\n";
}

TEST_F(QueryTest, LinkedIdZeroLinksTheQueryToItselfInBothTables) {
  start_process();
  at(10);
  op('p', 5, 0, "select a from t");
  at(20);
  op('e', 6, 9);
  const auto c = convert();
  EXPECT_EQ(table("queries"),
            query_row(proc_pid, 5, 5, time_text(10), end_text(), end_text(), "select a from t"));
  const auto rows = lines_of(table("queryevents"));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], "4711;7;1;" + time_text(10) + ";5;5;p;0;0;0;0;" + idle_context(1));
  EXPECT_EQ(rows[1], "4711;7;2;" + time_text(20) + ";6;9;e;0;0;0;0;" + idle_context(2));
  EXPECT_EQ(c.out, "");
}

TEST_F(QueryTest, BeginAndCloseTimesGoToTheMostRecentPrepare) {
  start_process();
  at(1);
  op('p', 3, 0, "q3");
  at(2);
  op('b', 3);
  at(3);
  op('b', 3);  // the last begin wins
  at(4);
  op('c', 3);
  at(5);
  op('p', 4, 0, "q4");
  at(6);
  op('c', 3);  // names query 3, but times the pending query 4
  at(7);
  op('c', 4);  // a later close moves close_time, begin_time stays
  convert();
  EXPECT_EQ(table("queries"), query_row(proc_pid, 3, 3, time_text(1), time_text(3), time_text(4), "q3") +
                                  query_row(proc_pid, 4, 4, time_text(5), time_text(6), time_text(7), "q4"));
}

TEST_F(QueryTest, QueryNeverClosedGetsTheRunEndAsCloseTime) {
  start_process();
  at(1);
  op('p', 8, 2, "update t set a = 1");
  at(2);
  op('b', 8);
  at(3);
  op('e', 8);
  convert();
  EXPECT_EQ(table("queries"),
            query_row(proc_pid, 8, 2, time_text(1), time_text(2), end_text(), "update t set a = 1"));
}

TEST_F(QueryTest, OnlyTheSecondOfTwoPreparesInARowEntersTheTable) {
  start_process();
  at(1);
  trace().query_in(0, 'p', "first");
  at(2);
  trace().query_in(0, 'p', "second");
  trace().query_out(12, 0);
  at(3);
  op('c', 12);
  convert();
  EXPECT_EQ(table("queries"), query_row(proc_pid, 12, 12, time_text(2), time_text(3), time_text(3), "second"));
}

TEST_F(QueryTest, UnknownTypeIsReportedAsNumberAndStillPaired) {
  start_process();
  at(1);
  trace().query_in(0, 'x', "");
  trace().query_out(4, 0);
  const auto c = convert();
  EXPECT_EQ(c.out, "QueryIn: unknown type '120'\n");
  EXPECT_EQ(table("queryevents"), "4711;7;1;" + time_text(1) + ";4;4;x;0;0;0;0;" + idle_context(1) + "\n");
  EXPECT_EQ(table("queries"), "");
}

TEST_F(QueryTest, SecondQueryInReplacesAnOpenOperationWithoutARow) {
  start_process();
  at(1);
  trace().query_in(0, 'e', "");
  trace().query_in(0, 'f', "");
  trace().query_out(3, 0);
  at(2);
  op('s', 3);
  convert();
  const auto rows = lines_of(table("queryevents"));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], "4711;7;2;" + time_text(1) + ";3;3;f;0;0;0;0;" + idle_context(2));
  EXPECT_EQ(field_of(rows[1], 2), "3");
  EXPECT_EQ(field_of(rows[1], 22), "3");
}

TEST_F(QueryTest, QueryOutWithoutQueryInOrPrepareIsConsumedQuietly) {
  start_process();
  at(1);
  trace().query_out(5, 0);  // nothing open, nothing prepared
  op('e', 6);               // an operation without any prepare
  trace().query_out(7, 0);  // the operation is closed already
  const auto c = convert();
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(table("queries"), "");
  const auto rows = lines_of(table("queryevents"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], "4711;7;1;" + time_text(1) + ";6;6;e;0;0;0;0;" + idle_context(1));
}

TEST_F(QueryTest, PreparedQueryIsFiledByAQueryOutEvenWithoutAnOpenOperation) {
  start_process();
  at(1);
  trace().query_in(0, 'p', "orphan");
  trace().query_in(0, 'e', "");
  trace().query_out(9, 0);
  trace().query_out(10, 0);  // nothing open: no row, no times, no refiling
  convert();
  EXPECT_EQ(table("queries"), query_row(proc_pid, 9, 9, time_text(1), end_text(), end_text(), "orphan"));
  EXPECT_EQ(lines_of(table("queryevents")).size(), 1u);
}

TEST_F(QueryTest, SecondQueryWithATakenQidIsReportedAndTimesTheFirst) {
  start_process();
  at(1);
  op('p', 5, 0, "select 1");
  at(2);
  op('p', 5, 0, "select 2");
  at(3);
  op('b', 5);
  const auto c = convert();
  EXPECT_EQ(c.out, "Error in Query_db: 5 already in db\nQuery: \nselect 2\n vs \nselect 1\n");
  EXPECT_EQ(table("queries"), query_row(proc_pid, 5, 5, time_text(1), time_text(3), end_text(), "select 1"));
}

TEST_F(QueryTest, DebugLinesNameTheOperation) {
  start_process();
  trace().query_in(0, 'p', "t");
  trace().query_out(1, 0);
  trace().query_out(2, 0);
  debug_level = 1;
  const auto c = convert();
  EXPECT_NE(c.err.find("QueryIn: p\nQueryOu: p\n"), std::string::npos) << c.err;
  EXPECT_EQ(c.err.find("QueryOu: p\nQueryOu"), std::string::npos) << c.err;
}

// Rows written while an operation is open carry its sequence number in the
// last context column; the reader holds it from query-in to query-out.
TEST_F(QueryTest, OpenOperationSequenceIsHeldFromQueryIn) {
  start_process();
  op('e', 1);
  trace().query_in(0, 'f', "");
  auto reader = replay();
  EXPECT_EQ(reader->open_query_seq(), 2u);
}

TEST_F(QueryTest, OpenOperationSequenceIsClearedAtQueryOut) {
  start_process();
  op('e', 1);
  trace().query_in(0, 'f', "");
  trace().query_out(1, 0);
  auto reader = replay();
  EXPECT_EQ(reader->open_query_seq(), 0u);
}

// Memory and heap rows read while an operation is open carry its sequence
// number as the last context column; the operation's row counts the memory
// records and heap rows it spanned.
TEST_F(QueryTest, RowsWrittenWhileAnOperationIsOpenCarryItsSequence) {
  start_process();
  at(1);
  trace().malloc_wf(3, 0, 0x1000, 16, 16, 0, "");
  trace().query_in(0, 'e', "");
  trace().malloc_wf(3, 0, 0x2000, 16, 16, 0, "");
  trace().sbrk(0x90000, 4096);
  trace().free(3, 0, 0x2000, 0, "");
  trace().query_out(6, 0);
  trace().malloc_wf(3, 0, 0x3000, 16, 16, 0, "");
  convert();
  const auto memory = lines_of(table("memory"));
  ASSERT_EQ(memory.size(), 4u);
  constexpr std::size_t memory_seq_column = 17;
  EXPECT_EQ(field_of(memory[0], memory_seq_column), "0");
  EXPECT_EQ(field_of(memory[1], memory_seq_column), "1");
  EXPECT_EQ(field_of(memory[2], memory_seq_column), "1");
  EXPECT_EQ(field_of(memory[3], memory_seq_column), "0");
  const auto sbrk = lines_of(table("sbrk"));
  ASSERT_EQ(sbrk.size(), 1u);
  constexpr std::size_t sbrk_seq_column = 18;
  EXPECT_EQ(field_of(sbrk[0], sbrk_seq_column), "1");
  EXPECT_EQ(table("queryevents"), "4711;7;1;" + time_text(1) + ";6;6;e;0;1;1;3;" + idle_context(1) + "\n");
}

// ---- the event's own bookkeeping ------------------------------------------

TEST(KivQueryEventClose, CountersThatMovedAreKeptAndStillOnesBecomeZero) {
  KivQueryEvent moved('e', 1, 10, 100, KivEventContext{});
  moved.close(3, 0, 12, 105);
  EXPECT_EQ(moved.qid, 3u);
  EXPECT_EQ(moved.linked_qid, 3u);
  EXPECT_EQ(moved.sbrk_in, 10u);
  EXPECT_EQ(moved.sbrk_out, 12u);
  EXPECT_EQ(moved.rec_in, 100u);
  EXPECT_EQ(moved.rec_out, 105u);

  KivQueryEvent still('e', 2, 10, 100, KivEventContext{});
  still.close(3, 4, 10, 100);
  EXPECT_EQ(still.linked_qid, 4u);
  EXPECT_EQ(still.sbrk_in + still.sbrk_out + still.rec_in + still.rec_out, 0u);

  KivQueryEvent half('e', 3, 10, 100, KivEventContext{});
  half.close(3, 0, 10, 101);
  EXPECT_EQ(half.sbrk_in + half.sbrk_out, 0u);
  EXPECT_EQ(half.rec_in, 100u);
  EXPECT_EQ(half.rec_out, 101u);
}

}  // namespace
