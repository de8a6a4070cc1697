#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/KivObjectLoad.h"
#include "model/KivObject_db.h"
#include "model/KivOip.h"
#include "model/KivProcess.h"
#include "run_model_fixture.h"

namespace {

using run_model_test::printed;
using run_model_test::RunModelTest;

// The object name is the malloc id's name without its first four
// characters; ":0:init" becomes "init"; shorter names give an empty name.
TEST(ObjectName, ComesFromTheMallocIdName) {
  EXPECT_EQ(object_name_of("obj:prog"), "prog");
  EXPECT_EQ(object_name_of("abcd:0:init"), "init");
  EXPECT_EQ(object_name_of("abcd:0:init2"), ":0:init2");
  EXPECT_EQ(object_name_of("abcd"), "");
  EXPECT_EQ(object_name_of("abc"), "");
  EXPECT_EQ(object_name_of("Unknown Malloc ID"), "own Malloc ID");
}

// The "objects" and "functions" tables: a leading placeholder row, then
// every loaded object in ascending id with its 3GL functions ("top level"
// included, 4GL functions left out); a second load of an id is refused.
TEST_F(RunModelTest, ObjectAndFunctionTables) {
  kivw::trace_session s(options());
  s.reserve_id(3, 0, 0, "", 1, "obj:prog");
  s.reserve_id(4, 0, 0, "", 1, "abcd:0:init");
  s.reserve_id(2, 0, 0, "", 1, "ab");
  s.object_load(4);
  s.object_load(3);
  s.object_load(2);
  s.object_function_load(3, 2, "work");
  s.object_function_load(3, 1, "main");
  s.object_global_load(3, 0, "vmain");
  s.object_function_load(4, 1, "first");
  s.object_function_load(4, 1, "renamed");
  s.object_load(3);
  s.object_function_load(8, 1, "lost");
  s.close();
  const auto p = convert(s.header_path());
  EXPECT_NE(p.out.find("\nError oic_id 3 already found!\n"), std::string::npos) << p.out;
  EXPECT_EQ(rows("objects"), (std::vector<std::string>{"4711;7;0;(no object)", "4711;7;2;",
                                                       "4711;7;3;prog", "4711;7;4;init"}));
  const std::vector<std::string> functions = {
      "4711;7;(no object);0;0;(no function)",
      "4711;7;;2;0;top level",
      "4711;7;prog;3;0;top level",
      "4711;7;prog;3;1;main",
      "4711;7;prog;3;2;work",
      "4711;7;init;4;0;top level",
      "4711;7;init;4;1;renamed",
  };
  EXPECT_EQ(rows("functions"), functions);
}

// A link made before the object is loaded stays on the illegal object: every
// lookup into it is "not found", and the flow goes on.
TEST_F(RunModelTest, ObjectLinkedBeforeItIsLoadedFindsNothing) {
  kivw::trace_session s(options());
  s.process_start(5, 1, "five");
  s.process_special_load(5, 0, "entry");
  s.object_link(5, 3);
  s.object_load(3);
  s.object_function_load(3, 1, "main");
  s.schedule(0, 5);
  s.flow_in(5, 0, 3, 1);
  s.close();
  printed p;
  auto reader = replay(s.header_path(), &p);
  EXPECT_NE(p.err.find("ERROR find_function funnr 1 not found\n"), std::string::npos);
  KivProcess* five = reader->proc_db().get_process(5);
  EXPECT_EQ(five->oips.at(3)->object->name, "Illegal Object");
  EXPECT_EQ(five->first_oip, five->oips.at(3).get());
  EXPECT_EQ(five->nr_arcs, 1U);
  EXPECT_EQ(five->depth(), 1U);
  EXPECT_EQ(five->flow_seq, 1U);
}

// A process fills its tables on its first lookup: functions loaded later
// are not found in it, while a process that links the object afterwards
// sees them.
TEST_F(RunModelTest, FunctionsLoadedAfterTheTablesWereFilled) {
  kivw::trace_session s(options());
  s.object_load(3);
  s.object_function_load(3, 1, "main");
  s.process_start(5, 1, "five");
  s.object_link(5, 3);
  s.schedule(0, 5);
  s.flow_in(3, 1, 3, 1);
  s.object_function_load(3, 2, "late");
  s.flow_in(3, 1, 3, 2);
  s.process_start(6, 1, "six");
  s.object_link(6, 3);
  s.schedule(5, 6);
  s.flow_in(3, 1, 3, 2);
  s.close();
  printed p;
  auto reader = replay(s.header_path(), &p);
  EXPECT_NE(p.err.find("ERROR find_function funnr 2 not found\n"), std::string::npos);
  EXPECT_EQ(reader->proc_db().get_process(5)->nr_arcs, 2U);
  KivProcess* six = reader->proc_db().get_process(6);
  ASSERT_EQ(six->nr_arcs, 2U);
  EXPECT_EQ(six->get_arc(1)->child->name(), "late");
}

// Gaps in function numbers leave empty entries: no node without a
// function, and lookups of a gap report "not found" like numbers beyond
// the table.
TEST_F(RunModelTest, FunctionNumberGapsHaveNoNode) {
  kivw::trace_session s(options());
  s.object_load(3);
  s.object_function_load(3, 1, "one");
  s.object_function_load(3, 4, "four");
  s.object_function_load(3, -3, "negative");
  s.process_start(5, 1, "five");
  s.object_link(5, 3);
  s.object_link(5, 3);
  s.close();
  auto reader = replay(s.header_path());
  KivOip* oip = reader->proc_db().get_process(5)->find_oip(3);
  ASSERT_NE(oip, nullptr);
  EXPECT_EQ(reader->proc_db().get_process(5)->oips.size(), 1U);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(oip->find_function(1, false)->name(), "one");
  EXPECT_EQ(oip->find_function(2, false), nullptr);
  EXPECT_EQ(oip->find_function(4, false), nullptr);
  EXPECT_EQ(oip->find_function(0, false)->name(), "top level");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "ERROR find_function funnr 2 not found\nERROR find_function funnr 4 not found\n");
  ASSERT_EQ(oip->functions.size(), 4U);
  for (const auto& node : oip->functions) {
    if (node) {
      EXPECT_NE(node->loc, nullptr);
    }
  }
  oip->free_func_tables();
  EXPECT_FALSE(oip->filled);
  EXPECT_TRUE(oip->functions.empty());
}

// Unknown ids designate the illegal object, which is never written and
// collects the functions loaded for ids that were never loaded.
TEST_F(RunModelTest, IllegalObjectStandsInForUnloadedIds) {
  kivw::trace_session s(options());
  s.object_function_load(9, 0, "orphan");
  s.close();
  auto reader = replay(s.header_path());
  KivObject_db& db = reader->object_db();
  EXPECT_EQ(db.get_oic(9), &db.illegal_object());
  EXPECT_EQ(db.get_oic(12345), &db.illegal_object());
  EXPECT_EQ(db.illegal_object().id_of_obj, 0U);
  EXPECT_EQ(db.illegal_object().function(0)->name, "orphan");
  Func_loc loc(9, 1, "f", false);
  EXPECT_EQ(loc.get_obj_name(reader.get()), "Illegal Object");
  Func_loc special(9, 0, "s", false);
  EXPECT_EQ(special.get_obj_name(reader.get()), "(process internal)");
}

}  // namespace
