#include <gtest/gtest.h>

#include <algorithm>

#include "model/KivProcess.h"
#include "run_model_fixture.h"

namespace {

using run_model_test::RunModelTest;

std::size_t blocks_made(const KivProcess::mal_stat& ms) {
  return static_cast<std::size_t>(std::count_if(ms.colors.begin(), ms.colors.end(),
                                                [](const auto* c) { return c != nullptr; }));
}

// A process that allocates from many malloc ids, each declaring thousands of
// colours, holds counter blocks only for the colours its records use: the
// declared counts must not turn every allocation record into thousands of
// blocks. The counters of the used colour are those of an allocation and a
// free; a colour beyond the id's count has none.
TEST_F(RunModelTest, ManyDeclaredColoursMakeProcessBlocksOnlyForColoursUsed) {
  constexpr int ids = 50;
  kivw::trace_session s(options());
  s.process_start(7, 1, "session");
  for (int i = 0; i < ids; ++i) s.reserve_id(100 + i, 64, 0, "", 4096, "many");
  s.schedule(0, 7);
  for (int i = 0; i < ids; ++i) s.malloc_wf(100 + i, 3, 0x1000 + 16 * i, 8, 16, 0, "");
  s.free(100, 3, 0x1000, 0, "");
  s.malloc_wf(100, 5000, 0x9000, 8, 16, 0, "");
  s.close();
  const auto reader = replay(s.header_path());
  KivProcess* proc = reader->proc_db().get_process(7);
  for (int i = 0; i < ids; ++i) {
    const KivProcess::mal_stat& ms = *proc->get_mc_stat(100 + i);
    EXPECT_EQ(blocks_made(ms), 1U) << "id " << 100 + i;
    EXPECT_LE(ms.colors.size(), 4U);
  }
  const KivStat<int>* used = proc->get_p_c_stat(100, 3);
  ASSERT_NE(used, nullptr);
  KivStat<int> expected(KivProcess::color_divisor);
  expected.allocate_wf(8, 16);
  expected.free_no_count(8, 16);
  EXPECT_EQ(used->cur_wf.size, expected.cur_wf.size);
  EXPECT_EQ(used->in_use.tot_size, expected.in_use.tot_size);
  EXPECT_EQ(proc->get_p_c_stat(100, 5000), nullptr);
}

}  // namespace
