#include <gtest/gtest.h>

#include <string>

#include "header_fixture.h"

namespace {

TEST_F(HeaderTest, CharacterDataIsTracedWithItsExactLength) {
  const std::string path = write_header("<kiv>a&amp;b\n</kiv>");
  debug_level = 1;
  ::testing::internal::CaptureStderr();
  read_path(path);
  const std::string err = ::testing::internal::GetCapturedStderr();
  // Expat delivers the text in pieces: before the reference, the reference,
  // after it, and the line end.
  EXPECT_NE(err.find("userdata: a\nuserdata: &\nuserdata: b\nuserdata: \n\n"), std::string::npos) << err;
}

TEST_F(HeaderTest, DumpEntriesListsEntriesOnStderrAndFieldsOnStdout) {
  const parsed p = read_text(complete_header);
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  p.hdr->dump_entries();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  debug_level = 1;
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  p.hdr->dump_entries();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "  name: id size: 4\n"
            "  name: addr size: 8\n"
            "  name: size size: 4\n"
            "  name: addr size: 8\n");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "tag: 97 entry_name: malloc_wf\n"
            " desc: allocation with free format: %d %p %d\n"
            "tag: 102 entry_name: free\n"
            " desc: free format: \n");
}

}  // namespace
