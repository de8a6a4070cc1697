#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory/KivReserveId.h"
#include "model/KivProcess.h"
#include "run_model_fixture.h"

namespace {

using run_model_test::printed;
using run_model_test::RunModelTest;

// Row of the "process" table: run id, main pid, pid, session, mal_id,
// xml_id, parent, start, end, start record, end record.
std::string proc_row(const std::string& main_pid, const std::string& pid, const std::string& name,
                     const std::string& parent, const std::string& start, const std::string& end,
                     const std::string& start_rec, const std::string& end_rec,
                     const std::string& mal_id = "0", const std::string& xml_id = "0") {
  return "4711;" + main_pid + ";" + pid + ";" + name + ";" + mal_id + ";" + xml_id + ";" + parent +
         ";" + start + ";" + end + ";" + start_rec + ";" + end_rec;
}

constexpr const char* t_50 = "2023-11-14 22:14:10.000";

// Without a process start every record belongs to the default process,
// whose row spans the whole run with all numbers zero.
TEST_F(RunModelTest, TraceWithoutProcessStartHasOnlyTheDefaultRow) {
  kivw::trace_session s(options());
  for (int i = 0; i < 3; ++i) s.malloc_wf(1, 0, 0x1000 + 16 * i, 8, 16, 0, "");
  s.close();
  convert(s.header_path());
  EXPECT_EQ(rows("process"),
            std::vector<std::string>{proc_row("0", "0", "defaultproc", "0", t_start, t_end, "0", "3")});
  EXPECT_EQ(table("arcs"), "");
  EXPECT_EQ(table("flow"), "");
}

// A process started with pid 0 takes key 0 over from the default process,
// whose row then disappears; the default process still takes the records
// of pids that were never started.
TEST_F(RunModelTest, StartWithPidZeroReplacesTheDefaultProcess) {
  kivw::trace_session s(options());
  s.process_start(0, 1, "zero");
  s.process_end(9);
  s.close();
  const auto p = convert(s.header_path());
  EXPECT_EQ(rows("process"),
            std::vector<std::string>{proc_row("7", "0", "zero", "1", t_start, t_end, "0", "0")});
  EXPECT_EQ(table("arcs"),
            "4711;7;0;0;(process internal);0;0; process init+term;(process internal);0;0; process "
            "init+term\n");
  EXPECT_EQ(table("flow"), "4711;7;0;0;2;1;0;>\n");
  EXPECT_NE(table("marker").find("End: defaultproc 0"), std::string::npos) << p.err;
}

// A process that never ends gets the run's end and the final record count,
// and its arcs are written at the end of the run; an ended one keeps its
// own end. Ending an ended or unknown pid ends the default process.
TEST_F(RunModelTest, EndTimesOfEndedUnendedAndDefaultProcesses) {
  kivw::trace_session s(options());
  s.process_start(5, 1, "five session");
  s.process_start(6, 1, "six");
  s.malloc_wf(1, 0, 0x1000, 8, 16, 0, "");
  clock_->set({1'700'000'050, 0});
  s.process_end(5);
  s.malloc_wf(1, 0, 0x2000, 8, 16, 0, "");
  s.process_end(5);
  s.malloc_wf(1, 0, 0x3000, 8, 16, 0, "");
  s.close();
  convert(s.header_path());
  const std::vector<std::string> expected = {
      proc_row("0", "0", "defaultproc", "0", t_start, t_50, "0", "2"),
      proc_row("7", "5", "five", "1", t_start, t_50, "0", "1"),
      proc_row("7", "6", "six", "1", t_start, t_end, "0", "3"),
  };
  EXPECT_EQ(rows("process"), expected);
  const std::string root = "(process internal);5;0;3gl process init+term";
  const std::string root6 = "(process internal);6;0;3gl process init+term";
  EXPECT_EQ(rows("arcs"), (std::vector<std::string>{"4711;7;5;0;" + root + ";" + root,
                                                    "4711;7;6;0;" + root6 + ";" + root6}));
  const auto markers = table("marker");
  EXPECT_NE(markers.find("End: five 5"), std::string::npos);
  EXPECT_NE(markers.find("End: defaultproc 0"), std::string::npos);
}

// A schedule to a pid never started makes pid 0 current; the lookups
// leave no entry, so no row.
TEST_F(RunModelTest, ScheduleToUnknownPidMakesPidZeroCurrent) {
  kivw::trace_session s(options());
  s.process_start(5, 1, "five");
  s.schedule(0, 5);
  s.flow_out();
  s.schedule(5, 8);
  s.flow_out();
  s.schedule(8, 9);
  s.close();
  const auto p = convert(s.header_path());
  EXPECT_EQ(rows("flow"), (std::vector<std::string>{"4711;7;5;0;2;1;0;>", "4711;7;5;1;0;1;0;<",
                                                    "4711;7;0;1;0;1;0;<"}));
  EXPECT_EQ(rows("process").size(), 2U);
  EXPECT_EQ(rows("process")[1], proc_row("7", "5", "five", "1", t_start, t_end, "0", "0"));
}

TEST_F(RunModelTest, CurrentProcessFollowsScheduleAndEnd) {
  kivw::trace_session s(options());
  s.process_start(5, 1, "five");
  s.process_start(6, 1, "six");
  s.schedule(0, 6);
  s.close();
  auto reader = replay(s.header_path());
  EXPECT_EQ(reader->current_pid(), 6U);
  EXPECT_EQ(reader->cc_curr_proc()->pid, 6U);
  KivProcess_db& db = reader->proc_db();
  EXPECT_FALSE(db.procs().contains(8));
  EXPECT_EQ(db.get_process(8), &reader->default_process());
  EXPECT_FALSE(db.procs().contains(8));
  // The cached current process follows the end of the process.
  reader->cc_curr_proc()->free_process();
  EXPECT_EQ(reader->cc_curr_proc(), &reader->default_process());
  EXPECT_EQ(reader->cc_curr_arc(), 0U);
}

// Once the process under pid 0 has ended, it still stands in for ended
// pids: flow records on it must neither reach what its end freed nor crash,
// and its later arcs are not written.
TEST_F(RunModelTest, EndedPidZeroProcessStillTakesRecordsSafely) {
  kivw::trace_session s(options());
  s.object_load(3);
  s.object_function_load(3, 1, "main");
  s.process_start(0, 1, "zero");
  s.process_special_load(0, 0, "entry");
  s.object_link(0, 3);
  s.process_start(5, 1, "five");
  s.flow_in(0, 0, 3, 1);
  s.process_end(0);
  s.process_end(5);
  s.schedule(0, 5);
  s.flow_in(0, 0, 3, 1);
  s.flow_in(0, 0, 0, 0);
  s.flow_out();
  s.flow_out();
  s.close();
  convert(s.header_path());
  const std::vector<std::string> flow = {
      "4711;7;0;0;2;1;0;>", "4711;7;5;0;2;1;0;>", "4711;7;0;1;2;1;1;>", "4711;7;0;2;0;1;0;>",
      "4711;7;0;3;1;1;2;>", "4711;7;0;4;1;1;2;<", "4711;7;0;5;0;1;0;<",
  };
  EXPECT_EQ(rows("flow"), flow);
  const std::string root0 = "(process internal);0;0; process init+term";
  const std::string root5 = "(process internal);5;0;3gl process init+term";
  EXPECT_EQ(rows("arcs"), (std::vector<std::string>{
                              "4711;7;0;0;" + root0 + ";" + root0,
                              "4711;7;0;1;(process internal);0;0;entry;own Malloc ID;3;1;main",
                              "4711;7;5;0;" + root5 + ";" + root5,
                          }));
  const auto procs = rows("process");
  ASSERT_EQ(procs.size(), 2U);
  EXPECT_EQ(procs[0], proc_row("7", "0", "zero", "1", t_start, t_start, "0", "0"));
  EXPECT_EQ(procs[1], proc_row("7", "5", "five", "1", t_start, t_start, "0", "0"));
}

// A second start of the same pid replaces the first, which is not written.
TEST_F(RunModelTest, SecondStartOfAPidReplacesTheFirst) {
  kivw::trace_session s(options());
  s.process_start(5, 1, "first");
  s.process_start(5, 2, "second");
  s.close();
  convert(s.header_path());
  const auto procs = rows("process");
  ASSERT_EQ(procs.size(), 2U);
  EXPECT_EQ(procs[1], proc_row("7", "5", "second", "2", t_start, t_end, "0", "0"));
  EXPECT_EQ(rows("arcs").size(), 1U);
}

// Special functions: registered per process, a later one with the same id
// replaces the earlier; a special for an unknown pid lands on the default
// process.
TEST_F(RunModelTest, SpecialsAreRegisteredPerProcessAndReplaced) {
  kivw::trace_session s(options());
  s.process_start(5, 1, "five");
  s.process_special_load(5, 0, "first");
  s.process_special_load(5, 0, "entry");
  s.process_special_load(5, -2, "minus two");
  s.process_special_load(9, 0, "nobody");
  s.close();
  auto reader = replay(s.header_path());
  KivProcess* five = reader->proc_db().get_process(5);
  ASSERT_EQ(five->specials.size(), 2U);
  EXPECT_EQ(five->specials.at(0)->name(), "entry");
  EXPECT_EQ(five->specials.at(0xfffffffeU)->loc->funnr, -2);
  EXPECT_EQ(five->specials.at(0)->loc->objid, 5U);
  EXPECT_EQ(reader->default_process().specials.at(0)->name(), "nobody");
  EXPECT_EQ(five->find_function(77, 0, false)->name(), "entry");
  EXPECT_EQ(five->find_function(77, -1, false), nullptr);
}

// Malloc ids named after a process attach to it; names too short to hold a
// pid, or naming a pid not in the table, leave the id unlinked.
TEST_F(RunModelTest, MallocIdsLinkToTheProcessTheirNameDesignates) {
  kivw::trace_session s(options());
  s.process_start(5, 1, "five");
  s.close();
  auto reader = replay(s.header_path());
  KivProcess_db& db = reader->proc_db();
  KivProcess* five = db.get_process(5);
  auto link = [&](const std::string& name, std::uint32_t id, bool xml) {
    KivReserveId rid(reader.get(), name);
    rid.id = id;
    xml ? db.link_xml_id(rid) : db.link_mal_id(rid);
  };
  ::testing::internal::CaptureStdout();
  link("proc", 30, false);
  link("proc:", 31, false);
  link("xml:pro", 32, true);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(five->mal_id, 0U);
  EXPECT_EQ(five->xml_id, 0U);

  link("proc:5:session", 20, false);
  link("xml:proc 5:loc main.c", 21, true);
  EXPECT_EQ(five->mal_id, 20U);
  EXPECT_EQ(five->xml_id, 21U);

  ::testing::internal::CaptureStdout();
  link("proc:12:other", 22, false);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "cannot happen: process id 12 is not on KivProcess_db \n");
  EXPECT_EQ(five->mal_id, 20U);
}

// The process levels of the memory verbs: process, process id and process
// id colour (where a free moves no count); a release clears the id's
// current figures and takes the amount off the process.
TEST_F(RunModelTest, MemoryVerbsMoveTheThreeProcessLevels) {
  kivw::trace_session s(options());
  s.reserve_id(12, 64, 0, "", 3, "oic:thing");
  s.reserve_id(13, 64, 0, "", 2'000'000'000, "oic:many");
  s.process_start(5, 1, "five");
  s.close();
  auto reader = replay(s.header_path());
  KivProcess_db& db = reader->proc_db();
  KivProcess* five = db.get_process(5);

  db.update_wf(5, 12, 1, 10, 16);
  db.update_wf(5, 12, 1, 30, 48);
  db.update_fr(5, 12, 1, 10, 16);
  db.update_nf(5, 12, 2, 100, 128);
  EXPECT_EQ(five->stat.cur_wf.size, 30);
  EXPECT_EQ(five->stat.cur_wf.count, 1);
  EXPECT_EQ(five->stat.peak_wf.size, 40);
  EXPECT_EQ(five->stat.cur_nf.tot_size, 128);
  EXPECT_EQ(five->stat.in_use.size, 130);
  EXPECT_EQ(five->stat.recs.count, 4);
  const KivStat<long long>* id = five->get_p_m_stat(12);
  EXPECT_EQ(id->freed.count, 1);
  EXPECT_EQ(id->recs.count, 4);
  const KivStat<int>* colour = five->get_p_c_stat(12, 1);
  ASSERT_NE(colour, nullptr);
  EXPECT_EQ(colour->cur_wf.size, 30);
  EXPECT_EQ(colour->cur_wf.count, 2);
  EXPECT_EQ(colour->freed.count, 0);
  EXPECT_EQ(colour->freed.size, 10);
  EXPECT_EQ(five->get_p_c_stat(12, 2)->cur_nf.size, 100);
  EXPECT_EQ(five->get_p_c_stat(12, 3), nullptr);
  EXPECT_EQ(five->get_p_c_stat(12, -1), nullptr);

  db.release_wf(5, 12, 30, 48);
  EXPECT_EQ(id->cur_wf.size, 0);
  EXPECT_EQ(colour->cur_wf.count, 0);
  EXPECT_EQ(five->stat.cur_wf.size, 0);
  EXPECT_EQ(five->stat.cur_wf.count, 1);
  EXPECT_EQ(five->stat.in_use.size, 100);
  db.release_nf(5, 12, 100, 128);
  EXPECT_EQ(five->stat.cur_nf.size, 0);
  EXPECT_EQ(five->stat.recs.count, 4);

  // Records of a pid never started count on the default process.
  db.update_wf(9, 12, 0, 5, 8);
  EXPECT_EQ(reader->default_process().stat.cur_wf.size, 5);

  // Unknown ids get one colour; a hostile colour count is capped, and no
  // colour block exists before its colour is used.
  EXPECT_EQ(five->get_mc_stat(77)->nr_colors, 1);
  EXPECT_EQ(five->get_mc_stat(13)->nr_colors, KivProcess::max_color_blocks);
  EXPECT_TRUE(five->get_mc_stat(13)->colors.empty());
}

// Ending a process empties what it freed: no arc, node or frame survives,
// and a second end of the same object touches nothing freed. Its statistics
// per malloc id and its arc slots go too: no lookup returns an ended process.
TEST_F(RunModelTest, FreeProcessEmptiesWhatItFrees) {
  kivw::trace_session s(options());
  s.object_load(3);
  s.object_function_load(3, 1, "main");
  s.process_start(5, 1, "five");
  s.process_special_load(5, 0, "entry");
  s.object_link(5, 3);
  s.schedule(0, 5);
  s.flow_in(5, 0, 3, 1);
  s.malloc_wf(13, 0, 0x1000, 10, 32, 0, "");
  s.close();
  auto reader = replay(s.header_path());
  KivProcess* five = reader->proc_db().get_process(5);
  ASSERT_EQ(five->depth(), 2U);
  ASSERT_EQ(five->malid_stats.size(), 1U);
  five->free_process();
  EXPECT_FALSE(five->active);
  EXPECT_TRUE(five->stack.empty());
  EXPECT_TRUE(five->oips.empty());
  EXPECT_EQ(five->first_oip, nullptr);
  EXPECT_EQ(five->get_arc(0), nullptr);
  EXPECT_EQ(five->get_arc(1), nullptr);
  EXPECT_TRUE(five->specials.at(0)->child_arcs.empty());
  EXPECT_TRUE(five->malid_stats.empty());
  EXPECT_EQ(five->arcs, nullptr);
  EXPECT_EQ(reader->proc_db().get_process(5), &reader->default_process());
}

// A traced process under pid 0 takes the records of ended processes, its
// own too after its end, so it keeps its statistics per malloc id.
TEST_F(RunModelTest, EndedProcessUnderPidZeroKeepsCounting) {
  kivw::trace_session s(options());
  s.process_start(0, 1, "zero");
  s.malloc_wf(13, 0, 0x1000, 10, 32, 0, "");
  s.process_end(0);
  s.malloc_wf(13, 0, 0x2000, 10, 32, 0, "");
  s.close();
  auto reader = replay(s.header_path());
  KivProcess* zero = reader->proc_db().get_process(0);
  ASSERT_FALSE(zero->active);
  EXPECT_EQ(zero->get_p_m_stat(13)->tot_wf.count, 2);
}

}  // namespace

namespace {

KivProcess* traced(std::uint32_t pid) {
  auto* proc = new KivProcess(nullptr, 0);
  proc->pid = pid;
  return proc;
}

// Unknown pids and ended processes never fail a lookup: the default
// process, or whatever process stands under pid 0, takes their records.
TEST(KivProcessDb, LookupsFallBackToPidZeroOrTheDefaultProcess) {
  KivProcess def(nullptr, 100);
  KivProcess_db db;
  db.set_default(&def);
  EXPECT_EQ(def.session_name, "defaultproc");
  EXPECT_EQ(def.stat.recs.divisor, 100);
  EXPECT_EQ(KivProcess(nullptr, 0).stat.recs.divisor, 1000);

  KivProcess* five = traced(5);
  db.add_process(five);
  EXPECT_EQ(db.get_process(5), five);
  EXPECT_EQ(db.get_process(9), &def);

  const auto before = db.generation();
  five->free_process();
  db.changed();
  EXPECT_NE(db.generation(), before);
  EXPECT_EQ(db.get_process(5), &def);

  KivProcess* zero = traced(0);
  db.add_process(zero);
  EXPECT_EQ(db.get_process(0), zero);
  EXPECT_EQ(db.get_process(5), zero);
  EXPECT_EQ(db.get_process(9), &def);
  zero->free_process();
  EXPECT_EQ(db.get_process(5), zero);

  KivProcess* again = traced(5);
  db.add_process(again);
  EXPECT_EQ(db.get_process(5), again);
}

}  // namespace
