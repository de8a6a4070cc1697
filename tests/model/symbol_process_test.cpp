// Symbols of a process replayed from traces written with our writer: where
// an allocated symbol is attached, and the "symbols" and "flowdata" tables
// written when the process ends.

#include <gtest/gtest.h>

#include <string>

#include "model/KivProcess.h"
#include "query_test_support.h"

namespace {

using kiv_model_test::field_of;
using kiv_model_test::lines_of;

class SymbolTest : public kiv_model_test::TraceTest {
 protected:
  static constexpr std::int32_t proc_pid = 11;
  static constexpr std::int32_t caller = -1;
  static constexpr std::int32_t callee = -2;

  // A current process with two special functions and no special 0, so that
  // the bottom frame of its stack has no function.
  void start_process() {
    trace().process_start(proc_pid, 1, "session");
    trace().schedule(0, proc_pid);
    trace().process_special_load(proc_pid, caller, "caller");
    trace().process_special_load(proc_pid, callee, "callee");
  }
  void call() { trace().flow_in(proc_pid, caller, proc_pid, callee); }
  void symbol(std::uint64_t sym, std::int32_t symnr, std::int32_t category, std::uint32_t flags,
              std::uint32_t size, const char* name) {
    trace().symbol_new_sym(sym, symnr, category);
    trace().symbol_alloc(sym, flags, size, name);
  }
  static KivProcess& process(kiv_reader& reader) { return *reader.proc_db().procs().at(proc_pid); }
  static Func_rel& special(KivProcess& proc, std::int32_t id) {
    return *proc.specials.at(static_cast<std::uint32_t>(id));
  }
};

TEST_F(SymbolTest, SymbolWithoutFunctionStaysWithTheProcess) {
  start_process();
  symbol(0x100, 1, KivSymbol::local, 0x1, 8, "before_flow");
  call();
  symbol(0x200, 2, KivSymbol::local, 0x1, 8, "in_callee");
  symbol(0x210, 3, KivSymbol::argument, 0x1, 8, "arg_of_callee");
  symbol(0x220, 4, KivSymbol::external, 0x1, 8, "ext_of_callee");
  symbol(0x230, 5, KivSymbol::dynamic, 0x1, 8, "dyn_of_callee");
  trace().flow_out();  // back on the bottom frame, which has no function
  symbol(0x300, 6, KivSymbol::local, 0x1, 8, "on_bottom_frame");
  auto reader = replay();
  KivProcess& proc = process(*reader);
  ASSERT_EQ(proc.symbol_list.size(), 2u);
  EXPECT_EQ(proc.symbol_list[0]->name, "before_flow");
  EXPECT_EQ(proc.symbol_list[1]->name, "on_bottom_frame");
  const Func_rel& fn = special(proc, callee);
  ASSERT_EQ(fn.locals.size(), 1u);
  EXPECT_EQ(fn.locals[0]->name, "in_callee");
  ASSERT_EQ(fn.arguments.size(), 1u);
  EXPECT_EQ(fn.arguments[0]->name, "arg_of_callee");
  ASSERT_EQ(fn.externals.size(), 1u);
  EXPECT_EQ(fn.externals[0]->name, "ext_of_callee");
  ASSERT_EQ(fn.dynamics.size(), 1u);
  EXPECT_EQ(fn.dynamics[0]->name, "dyn_of_callee");
  EXPECT_TRUE(special(proc, caller).locals.empty());
  EXPECT_EQ(last_.err.find("sym"), std::string::npos) << last_.err;
}

TEST_F(SymbolTest, SymbolOfNoCategoryIsReportedAndWrittenButNotAttached) {
  start_process();
  call();
  symbol(0x100, 1, 9, 0x1, 8, "odd");
  trace().process_end(proc_pid);
  const auto c = convert();
  EXPECT_NE(c.err.find("sym with no category \"odd\"\n"), std::string::npos) << c.err;
  EXPECT_EQ(field_of(table("symbols"), 7), "");
  EXPECT_EQ(lines_of(table("flowdata")).size(), 2u);
}

TEST_F(SymbolTest, UnattachedNoCategorySymbolIsNotReported) {
  start_process();
  symbol(0x100, 1, 9, 0x1, 8, "odd");
  auto reader = replay();
  EXPECT_EQ(process(*reader).symbol_list.size(), 1u);
  EXPECT_EQ(last_.err.find("no category"), std::string::npos);
}

TEST_F(SymbolTest, RepeatedAnnouncementAndUnknownAllocationChangeNothing) {
  start_process();
  trace().symbol_new_sym(0x100, 1, KivSymbol::local);
  trace().symbol_new_sym(0x100, 2, KivSymbol::argument);
  trace().symbol_alloc(0x100, 0x1, 8, "");
  trace().symbol_alloc(0x999, 0x1, 8, "ghost");
  trace().symbol_dims(0x998, 2, 3, 4, 0, 0);
  trace().symbol_dd_name(0x997, "ghost");
  trace().process_end(proc_pid);
  const auto c = convert();
  EXPECT_NE(c.err.find("cannot happen KivProcess::symbol_new\n"), std::string::npos) << c.err;
  EXPECT_NE(c.err.find("can't find sym\n"), std::string::npos) << c.err;
  EXPECT_EQ(table("symbols"), "4711;7;11;0;0;256;8;loc ;1;long local<1> \n");
}

TEST_F(SymbolTest, SecondAllocationKeepsTheLastValuesAndAttachesAgain) {
  start_process();
  call();
  symbol(0x100, 1, KivSymbol::local, 0x1, 8, "");
  trace().flow_out();
  trace().symbol_alloc(0x100, 0x2, 16, "total");
  auto reader = replay();
  KivProcess& proc = process(*reader);
  EXPECT_EQ(special(proc, callee).locals.size(), 1u);
  ASSERT_EQ(proc.symbol_list.size(), 1u);
  const KivSymbol& sym = *proc.symbol_list[0];
  EXPECT_EQ(sym.name, "total");
  EXPECT_EQ(sym.size, 16u);
  EXPECT_EQ(sym.flags, 0x2u);
  EXPECT_EQ(sym.alloc_step, 2u);
}

TEST_F(SymbolTest, MadeNamesInTheSymbolsTable) {
  start_process();
  symbol(0x10, 7, KivSymbol::local, 0x1, 4, "");
  symbol(0x20, 7, KivSymbol::dynamic, 0x0, 4, "");
  symbol(0x30, -1, KivSymbol::argument, 0x0, 4, "");
  symbol(0x40, 3, KivSymbol::external, 0x100000, 4, "");
  trace().process_end(proc_pid);
  convert();
  const auto rows = lines_of(table("symbols"));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], "4711;7;11;0;0;16;4;loc ;1;long local<7> ");
  EXPECT_EQ(rows[1], "4711;7;11;0;1;32;4;dyn ;0;dynamic ");
  EXPECT_EQ(rows[2], "4711;7;11;0;2;48;4;arg ;0;<no_symnr:cannot happen> ");
  EXPECT_EQ(rows[3], "4711;7;11;0;3;64;4;glob;1048576;global<3> ");
}

TEST_F(SymbolTest, DimensionsAndDomainInTheDeclaration) {
  start_process();
  trace().symbol_new_sym(0x10, 1, KivSymbol::external);
  trace().symbol_dims(0x10, 2, 3, 4, 9, 9);
  trace().symbol_alloc(0x10, 0x901, 48, "cnt");
  trace().symbol_new_sym(0x20, 2, KivSymbol::local);
  trace().symbol_dims(0x20, 0, 5, 5, 5, 5);
  trace().symbol_dd_name(0x20, "amount");
  trace().symbol_alloc(0x20, 0x40 | 0x200, 8, "price");
  trace().process_end(proc_pid);
  convert();
  const auto rows = lines_of(table("symbols"));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(field_of(rows[0], 9), "extern combined long cnt(3,4) ");
  EXPECT_EQ(field_of(rows[1], 9), "domain amount price based ");
}

TEST_F(SymbolTest, ProcessWithoutSymbolsWritesOnlyTheEndMarker) {
  start_process();
  call();
  trace().process_end(proc_pid);
  convert();
  EXPECT_EQ(table("symbols"), "");
  EXPECT_EQ(table("flowdata"), "<<>>\n");
}

TEST_F(SymbolTest, ProcessThatNeverEndsWritesNeitherTable) {
  start_process();
  symbol(0x10, 1, KivSymbol::local, 0x1, 4, "x");
  convert();
  EXPECT_EQ(table("symbols"), "");
  EXPECT_EQ(table("flowdata"), "");
}

TEST_F(SymbolTest, FlowStepTotalsCoverEveryGroupOfTheStep) {
  start_process();
  for (int i = 0; i < 5; ++i) {  // flow step 5
    if (i % 2 == 0) call(); else trace().flow_out();
  }
  symbol(0x10, 1, KivSymbol::local, 0x1, 8, "a");
  symbol(0x30, 2, KivSymbol::local, 0x1, 16, "b");
  call();  // flow step 6
  symbol(0x20, 3, KivSymbol::argument, 0x2, 4, "c");
  trace().process_end(proc_pid);
  convert();
  EXPECT_EQ(table("flowdata"),
            "4711;7;11;5;0;24;2;loc :long a \n"
            "<<>>\n"
            "4711;7;11;6;1;4;1;arg :double c \n"
            "<<>>\n"
            "4711;7;11;5;2;24;2;loc :long b \n"
            "<<>>\n");
}

TEST_F(SymbolTest, EndOfProcessLeavesNoPointerToItsSymbols) {
  start_process();
  symbol(0x10, 1, KivSymbol::local, 0x1, 4, "kept_by_process");
  call();
  symbol(0x20, 2, KivSymbol::local, 0x1, 4, "kept_by_callee");
  trace().process_end(proc_pid);
  auto reader = replay();
  KivProcess& proc = process(*reader);
  EXPECT_TRUE(proc.symbols.empty());
  EXPECT_TRUE(proc.symbol_list.empty());
  EXPECT_TRUE(special(proc, callee).locals.empty());
}

TEST_F(SymbolTest, SymbolsOfTheDefaultProcessAreKeptWithoutTables) {
  symbol(0x10, 1, KivSymbol::local, 0x1, 4, "x");
  auto reader = replay();
  EXPECT_EQ(reader->default_process().symbols.size(), 1u);
  EXPECT_EQ(reader->default_process().symbol_list.size(), 1u);
}

}  // namespace
