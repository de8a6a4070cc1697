#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>

#include "reader_test_support.h"

namespace {

using kiv_test::lines_of;
using kiv_test::read_file;
using kiv_test::ReaderTest;

// Runs the kiv program on one header in the test directory; returns its
// exit status, with standard output and error in kiv.out and kiv.err.
int run_kiv(const std::string& header) {
  const std::string cmd = std::string(KIV_BINARY) + " -H " + header + " >kiv.out 2>kiv.err";
  const int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ReaderTest, ProgramConvertsAHeaderIntoItsTables) {
  kivw::trace_session s(options());
  s.hashloc(0x10, "main.c:1");
  s.marker("hello");
  s.close();
  EXPECT_EQ(run_kiv("4711/kiv.7.kivhdr"), 0) << read_file("kiv.err") << read_file("kiv.out");
  EXPECT_EQ(lines_of(table("marker")).size(), 3U);
  EXPECT_EQ(table("hashloc"), "4711;7;16;main.c:1\n");
  EXPECT_EQ(table("runs").substr(0, 7), "4711;7;");
}

TEST_F(ReaderTest, ProgramStopsWithFailureOnAnIllegalTag) {
  kivw::trace_session s(options());
  s.marker("kept");
  s.raw_record('!', "xyz");
  s.marker("never");
  s.close();
  EXPECT_EQ(run_kiv("4711/kiv.7.kivhdr"), EXIT_FAILURE);
  const std::string out = read_file("kiv.out");
  EXPECT_NE(out.find("Illegal event detected. record nr: 3\nFile offset: 22\n"), std::string::npos)
      << out;
  const auto rows = lines_of(table("marker"));
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_NE(rows[1].find(";Marker;;kept"), std::string::npos);
}

}  // namespace
