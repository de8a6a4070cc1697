// One trace with symbols and queries, converted whole: the "symbols",
// "flowdata", "queries" and "queryevents" files are compared byte for byte.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "model/KivSymbol.h"
#include "query_test_support.h"

namespace {

class QuerySymbolTrace : public kiv_model_test::TraceTest {
 protected:
  static constexpr std::int32_t proc_pid = 11;
  static constexpr std::int32_t caller = -1;
  static constexpr std::int32_t callee = -2;

  void write_trace() {
    auto& t = trace();
    t.process_start(proc_pid, 1, "session");
    t.schedule(0, proc_pid);
    t.process_special_load(proc_pid, caller, "caller");
    t.process_special_load(proc_pid, callee, "callee");
    at(1);
    // Flow step 0: before the first flow record.
    t.symbol_new_sym(0x800, 7, KivSymbol::local);
    t.symbol_alloc(0x800, 0x1, 8, "");
    t.symbol_new_sym(0x4000, 9, KivSymbol::local);  // never allocated
    t.query_in(0, 'p', "select cnt\nfrom t");
    t.flow_in(proc_pid, caller, proc_pid, callee);  // flow step 1
    t.query_out(21, 0);
    at(2);
    t.symbol_new_sym(0x1000, 1, KivSymbol::external);
    t.symbol_dims(0x1000, 2, 3, 4, 0, 0);
    t.symbol_alloc(0x1000, 0x901, 48, "cnt");
    t.symbol_new_sym(0x2000, 3, KivSymbol::dynamic);
    t.symbol_dd_name(0x2000, "amount");
    t.symbol_alloc(0x2000, 0x40, 16, "");
    t.query_in(0, 'b', "");
    t.query_out(21, 30);
    at(3);
    t.flow_out();  // flow step 2
    t.symbol_new_sym(0x3000, -1, KivSymbol::argument);
    t.symbol_alloc(0x3000, 0x4 | 0x4000, 4, "");
    t.query_in(0, 'x', "");
    t.query_out(0, 0);
    at(4);
    t.query_in(0, 'p', "delete from t");
    t.query_out(22, 21);
    t.process_end(proc_pid);
  }

  // The four tables of the trace above.
  void expect_tables() {
    EXPECT_EQ(table("symbols"),
              "4711;7;11;0;0;2048;8;loc ;1;long local<7> \n"
              "4711;7;11;1;1;4096;48;ext ;2305;extern combined long cnt(3,4) \n"
              "4711;7;11;1;2;8192;16;dyn ;64;domain amount dynamic \n"
              "4711;7;11;2;3;12288;4;arg ;16388;string <no_symnr:cannot happen> mb \n"
              "4711;7;11;0;4;16384;0;loc ;0; \n");

    EXPECT_EQ(table("flowdata"),
              "4711;7;11;0;0;8;2;loc :long local<7> \n"
              "<<>>\n"
              "4711;7;11;1;1;64;2;ext :extern combined long cnt(3,4) \n"
              "dyn :domain amount dynamic \n"
              "<<>>\n"
              "4711;7;11;2;2;4;1;arg :string <no_symnr:cannot happen> mb \n"
              "<<>>\n"
              "4711;7;11;0;3;8;2;loc : \n"
              "<<>>\n");

    const std::string end = "2023-11-14 22:15:00.500";
    EXPECT_EQ(table("queries"),
              "4711;7;11;21;21;" + time_text(1) + ";" + time_text(2) + ";" + end + ";select cnt\nfrom t<<>>\n" +
              "4711;7;11;22;21;" + time_text(4) + ";" + end + ";" + end + ";delete from t<<>>\n");

    // Context: pid, arc, flow step and depth at the time of the row, the
    // arc's ends, the Vorex call, and the operation's own sequence number.
    EXPECT_EQ(table("queryevents"),
              "4711;7;1;" + time_text(1) + ";21;21;p;0;0;0;0;11;0;1;2;11;0;11;0;;0;;1\n" +
              "4711;7;2;" + time_text(2) + ";21;30;b;0;0;0;0;11;1;1;2;11;-1;11;-2;;0;;2\n" +
              "4711;7;3;" + time_text(3) + ";0;0;x;0;0;0;0;11;0;2;1;11;0;11;0;;0;;3\n" +
              "4711;7;4;" + time_text(4) + ";22;21;p;0;0;0;0;11;0;2;1;11;0;11;0;;0;;4\n");
  }
};

TEST_F(QuerySymbolTrace, TablesOfOneRun) {
  write_trace();
  const auto c = convert();
  EXPECT_EQ(c.out, "QueryIn: unknown type '120'\n");
  expect_tables();
}

TEST_F(QuerySymbolTrace, TablesOfOneRunThroughTheProgram) {
  write_trace();
  trace().close();
  const std::string cmd = std::string(KIV_BINARY) + " -H " + trace().header_path() + " >kiv.out 2>kiv.err";
  const int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << kiv_model_test::read_file("kiv.err");
  EXPECT_NE(kiv_model_test::read_file("kiv.out").find("QueryIn: unknown type '120'\n"), std::string::npos);
  expect_tables();
}

}  // namespace
