#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "header_fixture.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(HeaderTest, DebugLevelOneTracesEveryParserEvent) {
  const std::string path = write_header(
      "<kiv><version type=\"1\"/><entry tag=\"a\" name=\"n\" desc=\"d\"><elem name=\"x\" size=\"4\"/><odd/></entry>"
      "<kivfile><bad/></kivfile><strange>hi</strange></kiv>");
  debug_level = 1;
  ::testing::internal::CaptureStderr();
  const parsed p = read_path(path);
  const std::vector<std::string> expected{
      "\t\tpush 7kiv_hdr",
      "startElement:  'kiv' from 'kiv_hdr'",
      ">tag: kiv",
      "startElement:  'version' from 'kiv_hdr'",
      ">tag: version",
      "endElement:  'version' from 'kiv_hdr'",
      "<tag: version",
      "startElement:  'entry' from 'kiv_hdr'",
      ">tag: entry",
      "\t\tpush 5entry",
      "startElement:  'elem' from 'entry'",
      "endElement:  'elem' from 'entry'",
      "startElement:  'odd' from 'entry'",
      "entry::startElemen: >>>>> Unknown tag 'odd' ",
      "endElement:  'odd' from 'entry'",
      "endElement:  'entry' from 'entry'",
      "\t\tpop  5entry",
      "startElement:  'kivfile' from 'kiv_hdr'",
      ">tag: kivfile",
      "\t\tpush 7kivfile",
      "startElement:  'bad' from 'kivfile'",
      "kivfile::set_attrs >>>>>>>>>> Unknown tag 'bad' ",
      "endElement:  'bad' from 'kivfile'",
      "endElement:  'kivfile' from 'kivfile'",
      "\t\tpop  7kivfile",
      "startElement:  'strange' from 'kiv_hdr'",
      ">tag: strange",
      "kiv_hdr::startElement >>>> Unknown tag 'strange' ",
      "userdata: hi",
      "endElement:  'strange' from 'kiv_hdr'",
      "<tag: strange",
      "endElement:  'kiv' from 'kiv_hdr'",
      "<tag: kiv",
      "\t\tpop  7kiv_hdr",
  };
  EXPECT_EQ(lines_of(::testing::internal::GetCapturedStderr()), expected);
  EXPECT_EQ(p.result, 0);
}

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

TEST_F(HeaderTest, NothingIsTracedAtDebugLevelZero) {
  ::testing::internal::CaptureStderr();
  const parsed p = read_text(complete_header);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(p.result, 0);
}

}  // namespace
