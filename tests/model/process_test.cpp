#include <gtest/gtest.h>

#include "model/KivProcess.h"

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
  EXPECT_EQ(def.pid, 0U);
  EXPECT_EQ(def.main_pid, 0U);

  KivProcess* five = traced(5);
  db.add_process(five);
  EXPECT_EQ(db.get_process(5), five);
  EXPECT_EQ(db.get_process(9), &def);
  EXPECT_FALSE(db.procs().contains(9));

  five->free_process();
  EXPECT_EQ(db.get_process(5), &def);

  KivProcess* zero = traced(0);
  db.add_process(zero);
  EXPECT_EQ(db.get_process(0), zero);
  EXPECT_EQ(db.get_process(5), zero);
  EXPECT_EQ(db.get_process(9), &def);

  KivProcess* again = traced(5);
  db.add_process(again);
  EXPECT_EQ(db.get_process(5), again);
}

}  // namespace
