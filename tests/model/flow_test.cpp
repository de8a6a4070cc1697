#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/KivEventContext.h"
#include "model/KivProcess.h"
#include "output/out_stream.h"
#include "run_model_fixture.h"

namespace {

using run_model_test::read_text;
using run_model_test::printed;
using run_model_test::RunModelTest;

// Process 5 with special 0 "entry" and object 3 ("prog") holding main,
// work and helper, current from the start.
void program(kivw::trace_session& s) {
  s.reserve_id(3, 0, 0, "", 1, "obj:prog");
  s.process_start(5, 1, "five");
  s.process_special_load(5, 0, "entry");
  s.object_load(3);
  s.object_function_load(3, 1, "main");
  s.object_function_load(3, 2, "work");
  s.object_function_load(3, 3, "helper");
  s.object_global_load(3, 0, "vmain");
  s.object_global_load(3, 1, "vsub");
  s.object_link(5, 3);
  s.schedule(0, 5);
}

std::string flow(int step, int depth, int next_rec, int arc, char dir) {
  return "4711;7;5;" + std::to_string(step) + ";" + std::to_string(depth) + ";" +
         std::to_string(next_rec) + ";" + std::to_string(arc) + ";" + dir;
}

// Depth and arc of entries and exits, arc reuse per caller, a new arc for a
// second caller, and exits that empty the stack (bottom frame included) and
// go on past it.
TEST_F(RunModelTest, FlowRowsAndArcsOfOneProcess) {
  kivw::trace_session s(options());
  program(s);
  s.flow_in(5, 0, 3, 1);
  s.malloc_wf(1, 0, 0x1000, 8, 16, 0, "");
  s.flow_in(3, 1, 3, 2);
  s.flow_out();
  s.flow_in(3, 1, 3, 2);
  s.flow_out();
  s.flow_in(3, 1, 3, 3);
  s.flow_in(3, 3, 3, 2);
  for (int i = 0; i < 5; ++i) s.flow_out();
  s.process_end(5);
  s.close();
  convert(s.header_path());
  const std::vector<std::string> expected_flow = {
      flow(0, 2, 1, 0, '>'),  flow(1, 2, 1, 1, '>'),  flow(2, 3, 2, 2, '>'),
      flow(3, 3, 2, 2, '<'),  flow(4, 3, 2, 2, '>'),  flow(5, 3, 2, 2, '<'),
      flow(6, 3, 2, 3, '>'),  flow(7, 4, 2, 4, '>'),  flow(8, 4, 2, 4, '<'),
      flow(9, 3, 2, 3, '<'),  flow(10, 2, 2, 1, '<'), flow(11, 1, 2, 0, '<'),
      flow(12, 0, 2, 0, '<'),
  };
  EXPECT_EQ(rows("flow"), expected_flow);
  const std::vector<std::string> expected_arcs = {
      "4711;7;5;0;(process internal);5;0;3gl process init+term;(process internal);5;0;3gl "
      "process init+term",
      "4711;7;5;1;(process internal);5;0;entry;prog;3;1;main",
      "4711;7;5;2;prog;3;1;main;prog;3;2;work",
      "4711;7;5;3;prog;3;1;main;prog;3;3;helper",
      "4711;7;5;4;prog;3;3;helper;prog;3;2;work",
  };
  EXPECT_EQ(rows("arcs"), expected_arcs);
}

TEST_F(RunModelTest, FlowOutOnAnEmptyStackCountsItsStep) {
  kivw::trace_session s(options());
  program(s);
  s.flow_out();
  s.flow_out();
  s.close();
  convert(s.header_path());
  EXPECT_EQ(rows("flow"), (std::vector<std::string>{flow(0, 2, 1, 0, '>'), flow(1, 0, 1, 0, '<'),
                                                    flow(2, 0, 1, 0, '<')}));
}

// The debug lines of entries and exits; a bottom frame without a function
// (no special 0) shows an empty name.
TEST_F(RunModelTest, FlowDebugLinesNameTheFrames) {
  kivw::trace_session s(options());
  s.object_load(3);
  s.object_function_load(3, 1, "main");
  s.object_function_load(3, 2, "work");
  s.object_global_load(3, 0, "vmain");
  s.process_start(5, 1, "five");
  s.object_link(5, 3);
  s.schedule(0, 5);
  s.flow_in(3, 1, 3, 2);
  s.vorex_flow_in(3, 0, 0, 9, "x");
  s.vorex_flow_out(3, 0, 0, "");
  s.flow_out();
  s.flow_out();
  s.vorex_flow_out(3, 0, 0, "");
  s.close();
  debug_level = 2;
  printed p;
  auto reader = replay(s.header_path(), &p);
  EXPECT_NE(p.err.find("3>2 main->work\n"), std::string::npos) << p.err;
  EXPECT_NE(p.err.find("b>2vmain\n"), std::string::npos);
  EXPECT_NE(p.err.find("b<2work\n"), std::string::npos);
  EXPECT_NE(p.err.find("3<1 <-work\n"), std::string::npos);
  EXPECT_NE(p.err.find("3<0 <-\n"), std::string::npos);
  EXPECT_NE(p.err.find("b<0\n"), std::string::npos);
}

// Arc 999 doubles the vector to 2000 entries before it is stored; the
// arcs of 1,000 distinct callees are all written.
TEST_F(RunModelTest, ArcVectorDoublesAtTheThousandthArc) {
  kivw::trace_session s(options());
  s.object_load(3);
  for (int f = 1; f <= 999; ++f) s.object_function_load(3, f, "f" + std::to_string(f));
  s.process_start(5, 1, "five");
  s.process_special_load(5, 0, "entry");
  s.object_link(5, 3);
  s.schedule(0, 5);
  for (int f = 1; f <= 998; ++f) {
    s.flow_in(5, 0, 3, f);
    s.flow_out();
  }
  s.close();
  auto reader = replay(s.header_path());
  KivProcess* five = reader->proc_db().get_process(5);
  ASSERT_EQ(five->nr_arcs, 999U);
  EXPECT_EQ(five->arcs->size(), 1000U);
  Func_rel* entry = five->specials.at(0);
  Func_rel* last = five->find_function(3, 999, false);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(entry->update_child(last, *five), 999U);
  EXPECT_EQ(five->arcs->size(), 2000U);
  // A callee seen before finds its own arc again, whatever the index grew to.
  for (int f = 1; f <= 999; ++f) {
    Func_rel* callee = five->find_function(3, f, false);
    const std::uint32_t arc = entry->update_child(callee, *five);
    ASSERT_EQ(five->get_arc(arc)->child, callee) << f;
  }
  EXPECT_EQ(five->nr_arcs, 1000U);
  EXPECT_EQ(five->get_arc(999)->child, last);
  EXPECT_EQ(five->get_arc(1000), nullptr);
  EXPECT_EQ(five->get_arc(5000), nullptr);
  while (five->nr_arcs < 2000) five->add_arc(entry, last);
  EXPECT_EQ(five->arcs->size(), 4000U);
  out_stream os;
  ASSERT_TRUE(os.open("arcs.out", true));
  five->dump_arcs(os);
  os.close();
  const auto arcs = run_model_test::lines_of(read_text("arcs.out"));
  ASSERT_EQ(arcs.size(), 2000U);
  EXPECT_EQ(arcs[998], "4711;7;5;998;(process internal);5;0;entry;own Malloc ID;3;998;f998");
}

// Vorex calls label what follows: a flow-in sets name, symbol and
// arguments, a flow-out clears them even without a flow-in. The 3GL stack
// and the flow table are not touched.
TEST_F(RunModelTest, VorexCallsSetAndClearTheCurrentCall) {
  kivw::trace_session s(options());
  program(s);
  s.vorex_flow_out(3, 0, 0, "");
  s.vorex_flow_in(3, 1, 1, 0x1234, "a=1");
  s.close();
  auto reader = replay(s.header_path());
  KivProcess* five = reader->proc_db().get_process(5);
  EXPECT_EQ(reader->cc_curr_bcall(), "vsub");
  EXPECT_EQ(reader->cc_curr_bcall_sym(), 0x1234);
  EXPECT_EQ(reader->cc_curr_bcall_arg(), "a=1");
  EXPECT_EQ(five->flow_seq, 0U);
  EXPECT_TRUE(five->stack.empty());

  const KivEventContext during(reader.get());
  five->bcall.clear();
  five->bcall_arg.assign("changed");
  EXPECT_EQ(during.bcall.str(), "vsub");
  EXPECT_EQ(during.bcall_arg.str(), "a=1");
  reader.reset();
  EXPECT_EQ(rows("flow").size(), 1U);
}

// Vorex lookups that find nothing (object not linked, number beyond the
// table, negative number) leave the current call unchanged.
TEST_F(RunModelTest, VorexFlowInWithoutAFunctionKeepsTheCurrentCall) {
  kivw::trace_session s(options());
  program(s);
  s.vorex_flow_in(3, 0, 0, 7, "first");
  s.vorex_flow_in(4, 0, 0, 8, "unlinked");
  s.vorex_flow_in(3, 0, 2, 8, "beyond");
  s.vorex_flow_in(3, 0, -1, 8, "negative");
  s.close();
  printed p;
  auto reader = replay(s.header_path(), &p);
  EXPECT_EQ(reader->cc_curr_bcall(), "vmain");
  EXPECT_EQ(reader->cc_curr_bcall_sym(), 7);
  EXPECT_EQ(reader->cc_curr_bcall_arg(), "first");
  EXPECT_EQ(p.err.find("ERROR find_function funnr 0"), std::string::npos);
  EXPECT_NE(p.err.find("ERROR find_function funnr 2 not found\n"), std::string::npos);
  EXPECT_NE(p.err.find("ERROR find_function funnr <= 0 -1\n"), std::string::npos);
}

// Flow-ins whose nodes are missing, and flow-ins on the default process,
// change no stack and no arc but still count their step and write a row.
TEST_F(RunModelTest, FlowInWithoutNodesWritesItsRowWithoutAPush) {
  kivw::trace_session s(options());
  s.flow_in(1, 0, 1, 1);
  program(s);
  s.flow_in(5, 0, 3, 1);
  s.flow_in(3, 1, 3, 9);
  s.flow_in(4, 1, 3, 2);
  s.flow_in(3, 1, 3, -4);
  s.flow_out();
  s.close();
  const auto p = convert(s.header_path());
  const std::vector<std::string> expected = {
      "4711;7;0;1;0;1;0;>",  flow(0, 2, 1, 0, '>'), flow(1, 2, 1, 1, '>'), flow(2, 2, 1, 1, '>'),
      flow(3, 2, 1, 1, '>'), flow(4, 2, 1, 1, '>'), flow(5, 2, 1, 1, '<'),
  };
  EXPECT_EQ(rows("flow"), expected);
  EXPECT_EQ(rows("arcs").size(), 2U);
  EXPECT_NE(p.err.find("ERROR find_function funnr 9 not found\n"), std::string::npos);
}

std::string context_of(const KivEventContext& ctx) {
  {
    out_stream os;
    EXPECT_TRUE(os.open("context.out", true));
    ctx.dumpcontext(os);
  }
  return read_text("context.out");
}

// Both column forms, with the data and function separators, and the open
// query's number; flow step and depth are those at dump time.
TEST_F(RunModelTest, ContextColumnsOfTracedAndDefaultProcesses) {
  kivw::trace_session s(options());
  program(s);
  s.flow_in(5, 0, 3, 1);
  s.vorex_flow_in(3, 1, 1, 0x1234, "a=1");
  s.close();
  auto reader = replay(s.header_path());
  const KivEventContext ctx(reader.get());
  EXPECT_EQ(ctx.pid, 5U);
  EXPECT_EQ(ctx.arc, 1U);
  EXPECT_EQ(context_of(ctx), "5;1;1;2;5;0;3;1;vsub;4660;a=1;0");

  data_sep = ',';
  fun_sep = ':';
  reader->set_open_query_seq(17);
  EXPECT_EQ(context_of(ctx), "5,1,1,2,5:0,3:1,vsub,4660,a=1,17");
  KivProcess* five = reader->proc_db().get_process(5);
  five->flow_seq = 40;
  five->s_push(nullptr, 0);
  EXPECT_EQ(context_of(ctx), "5,1,40,3,5:0,3:1,vsub,4660,a=1,17");

  const KivEventContext no_arc(reader.get(), 5, 77, "call", -2, "args");
  EXPECT_EQ(context_of(no_arc), "5,77,40,3,0:0,0:0,call,-2,args,17");
  const KivEventContext unknown(reader.get(), 9, 3, "call", 1, "args");
  EXPECT_EQ(context_of(unknown), "0,0,0,0,0:0,0:0,,0,,0");
  five->free_process();
  EXPECT_EQ(context_of(ctx), "0,0,0,0,0:0,0:0,,0,,0");
}

}  // namespace
