#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "run_model_fixture.h"
#include "support/run_program.h"

namespace {

using run_model_test::RunModelTest;

// Two processes sharing an object, scheduled back and forth: one ends
// during the run (its arcs are written then), the other never ends (its
// arcs and end are written at the end of the run).
std::string two_process_run(kivw::trace_session& s, kivw::fake_clock& clock) {
  s.reserve_id(3, 0, 0, "", 1, "obj:prog");
  s.reserve_id(4, 0, 0, "", 1, "lib:util");
  s.object_load(3);
  s.object_function_load(3, 1, "main");
  s.object_function_load(3, 2, "work");
  s.object_global_load(3, 0, "vmain");
  s.object_load(4);
  s.object_function_load(4, 1, "helper");
  s.process_start(5, 1, "alpha");
  s.process_special_load(5, 0, "entry");
  s.process_start(6, 5, "beta");
  s.process_special_load(6, 0, "boot");
  s.object_link(5, 3);
  s.object_link(5, 4);
  s.object_link(6, 4);
  s.schedule(0, 5);
  s.flow_in(5, 0, 3, 1);
  s.malloc_wf(1, 0, 0x1000, 8, 16, 0, "");
  s.flow_in(3, 1, 4, 1);
  s.schedule(5, 6);
  s.flow_in(6, 0, 4, 1);
  s.malloc_wf(1, 0, 0x2000, 8, 16, 0, "");
  s.flow_out();
  s.schedule(6, 5);
  s.flow_out();
  clock.set({1'700'000'050, 0});
  s.process_end(5);
  s.malloc_wf(1, 0, 0x3000, 8, 16, 0, "");
  s.close();
  return s.header_path();
}

TEST_F(RunModelTest, WholeTablesOfATwoProcessRun) {
  kivw::trace_session s(options());
  convert(two_process_run(s, *clock_));

  EXPECT_EQ(table("flow"),
            "4711;7;5;0;2;1;0;>\n"
            "4711;7;6;0;2;1;0;>\n"
            "4711;7;5;1;2;1;1;>\n"
            "4711;7;5;2;3;2;2;>\n"
            "4711;7;6;1;2;2;1;>\n"
            "4711;7;6;2;2;3;1;<\n"
            "4711;7;5;3;3;3;2;<\n");
  EXPECT_EQ(table("arcs"),
            "4711;7;5;0;(process internal);5;0;3gl process init+term;(process internal);5;0;3gl "
            "process init+term\n"
            "4711;7;5;1;(process internal);5;0;entry;prog;3;1;main\n"
            "4711;7;5;2;prog;3;1;main;util;4;1;helper\n"
            "4711;7;6;0;(process internal);6;0;3gl process init+term;(process internal);6;0;3gl "
            "process init+term\n"
            "4711;7;6;1;(process internal);6;0;boot;util;4;1;helper\n");
  EXPECT_EQ(table("process"),
            "4711;0;0;defaultproc;0;0;0;2023-11-14 22:13:20.000;2023-11-14 22:15:00.500;0;3\n"
            "4711;7;5;alpha;0;0;1;2023-11-14 22:13:20.000;2023-11-14 22:14:10.000;0;2\n"
            "4711;7;6;beta;0;0;5;2023-11-14 22:13:20.000;2023-11-14 22:15:00.500;0;3\n");
  EXPECT_EQ(table("objects"),
            "4711;7;0;(no object)\n"
            "4711;7;3;prog\n"
            "4711;7;4;util\n");
  EXPECT_EQ(table("functions"),
            "4711;7;(no object);0;0;(no function)\n"
            "4711;7;prog;3;0;top level\n"
            "4711;7;prog;3;1;main\n"
            "4711;7;prog;3;2;work\n"
            "4711;7;util;4;0;top level\n"
            "4711;7;util;4;1;helper\n");
}

// The same run converted by the program, with ',' between columns and ':'
// between object and function: the tables change only in their separators.
TEST_F(RunModelTest, ProgramWritesTheSameTablesWithOtherSeparators) {
  kivw::trace_session s(options());
  const std::string header = two_process_run(s, *clock_);
  kivtest::program_run run;
  run.args = {"-sd", ",", "-sf", ":", "-H", header};
  const auto result = kivtest::run_program(KIV_BINARY, run);
  ASSERT_EQ(result.status, 0) << result.err;
  const auto commas = [](std::string text) {
    std::replace(text.begin(), text.end(), ';', ',');
    return text;
  };
  EXPECT_EQ(table("flow"), commas("4711;7;5;0;2;1;0;>\n"
                                  "4711;7;6;0;2;1;0;>\n"
                                  "4711;7;5;1;2;1;1;>\n"
                                  "4711;7;5;2;3;2;2;>\n"
                                  "4711;7;6;1;2;2;1;>\n"
                                  "4711;7;6;2;2;3;1;<\n"
                                  "4711;7;5;3;3;3;2;<\n"));
  EXPECT_EQ(table("process"),
            commas("4711;0;0;defaultproc;0;0;0;2023-11-14 22:13:20.000;2023-11-14 22:15:00.500;0;3\n"
                   "4711;7;5;alpha;0;0;1;2023-11-14 22:13:20.000;2023-11-14 22:14:10.000;0;2\n"
                   "4711;7;6;beta;0;0;5;2023-11-14 22:13:20.000;2023-11-14 22:15:00.500;0;3\n"));
  EXPECT_EQ(table("functions"), commas("4711;7;(no object);0;0;(no function)\n"
                                       "4711;7;prog;3;0;top level\n"
                                       "4711;7;prog;3;1;main\n"
                                       "4711;7;prog;3;2;work\n"
                                       "4711;7;util;4;0;top level\n"
                                       "4711;7;util;4;1;helper\n"));
  EXPECT_EQ(run_model_test::lines_of(table("arcs")).at(2),
            "4711,7,5,2,prog,3,1,main,util,4,1,helper");
}

}  // namespace
