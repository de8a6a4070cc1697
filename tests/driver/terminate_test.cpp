#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "driver/kiv_main.h"
#include "output/out_stream.h"
#include "support/scratch_dir.h"

namespace {

// Termination (an uncaught exception) reports the handler's line and aborts, after the
// rows already written have been put on disk.
TEST(TerminateHandlerDeathTest, FlushesTablesReportsAndAborts) {
  kivtest::scratch_dir dir("kiv_terminate");
  const std::string path = dir / "rows.csv";
  EXPECT_DEATH(
      {
        out_stream os;
        os.open(path, true);
        os << "1;2;3\n";
        std::set_terminate(kiv_terminate_handler);
        std::terminate();
      },
      "^Some error occurred: debug and break at kiv_terminate_handler\n$");
  EXPECT_EQ(kivtest::read_file(path), "1;2;3\n");
}

}  // namespace
