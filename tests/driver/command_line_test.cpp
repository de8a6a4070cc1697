#include <gtest/gtest.h>

#include <string>

#include "kiv_run.h"
#include "runtime/version.h"
#include "support/scratch_dir.h"

namespace {

void expect_output(const kivtest::program_result& r, int status, const std::string& out, const std::string& err) {
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
}

TEST(CommandLine, NoArgumentsDoesNothing) { expect_output(kiv({}), 0, "", ""); }

TEST(CommandLine, UnknownOptionPrintsUsageOnly) {
  expect_output(kiv({"-x"}), 0, usage_text, "");
  expect_output(kiv({"-d", "-a", "-R", "dir"}), 0, usage_text, "");
}

TEST(CommandLine, WordWithoutDashPrintsUsageAndVersion) {
  expect_output(kiv({"trace"}), 0, usage_text, version_text(false));
  expect_output(kiv({"-R", "dir", "trace"}), 0, usage_text, version_text(false));
  // -sx takes no argument, so the word after it must be an option.
  expect_output(kiv({"-sx", "word"}), 0, usage_text, version_text(false));
}

TEST(CommandLine, VersionOptionStopsBeforeAnyConversion) {
  kivtest::scratch_dir dir("kiv_cli");
  kivtest::write_file(dir / "old.1.kivhdr", header_text(2, "bin"));
  expect_output(kiv({"-R", dir.path().string(), "-v"}), 0, "", version_text(false));
  expect_output(kiv({"-V", "-x"}), 0, "", version_text(false));
}

TEST(CommandLine, ErrorFileOptionAsLastWordExitsWithOne) {
  expect_output(kiv({"-E"}), 1, "", "");
  expect_output(kiv({"-d", "-E"}), 1, "", "");
  expect_output(kiv({"-E", "errors.txt"}), 0, "", "");
}

TEST(CommandLine, MissingSingleHeaderIsReportedAndExitIsZero) {
  kivtest::scratch_dir dir("kiv_cli");
  expect_output(kiv({"-H", "missing.kivhdr"}, dir.path().string()), 0, "",
                "header file ./missing.kivhdr cannot be opened\n");
}

TEST(CommandLine, UnreadableDirectorySelectsNothing) {
  expect_output(kiv({"-R", "/nonexistent/kiv/traces"}), 0, "", "");
}

TEST(CommandLine, SingleHeaderOfANewerVersionIsRejected) {
  kivtest::scratch_dir dir("kiv_cli");
  kivtest::write_file(dir / "new.kivhdr", header_text(2, "bin"));
  expect_output(kiv({"-H", "new.kivhdr"}, dir.path().string()), 0, "header version \" 2 not supported \n", "");
}

TEST(CommandLine, AbsoluteHeaderNameIsReadBelowTheCurrentDirectory) {
  kivtest::scratch_dir dir("kiv_cli");
  std::filesystem::create_directory(dir.path() / "traces");
  kivtest::write_file(dir / "traces/new.kivhdr", header_text(2, "bin"));
  expect_output(kiv({"-H", "/traces/new.kivhdr"}, dir.path().string()), 0, "header version \" 2 not supported \n",
                "");
}

TEST(CommandLine, NonXmlHeaderGivesTheParserMessage) {
  kivtest::scratch_dir dir("kiv_cli");
  kivtest::write_file(dir / "bad.kivhdr", "this is not xml\n");
  expect_output(kiv({"-H", "bad.kivhdr"}, dir.path().string()), 0, "", "syntax error at line1\n");
}

TEST(CommandLine, DebugOptionTracesTheHeader) {
  kivtest::scratch_dir dir("kiv_cli");
  kivtest::write_file(dir / "h.kivhdr",
                      "<kiv><version type=\"1\"/><entry tag=\"f\" name=\"free\" desc=\"d\">"
                      "<elem name=\"addr\" size=\"8\"/><format fmt=\"%p\"/><odd/></entry>"
                      "<kivfile><bad/></kivfile><strange>hi</strange></kiv>");
  const kivtest::program_result r = kiv({"-d", "-H", "h.kivhdr"}, dir.path().string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "  name: addr size: 8\n");
  EXPECT_EQ(r.err,
            "\t\tpush 7kiv_hdr\n"
            "startElement:  'kiv' from 'kiv_hdr'\n"
            ">tag: kiv\n"
            "startElement:  'version' from 'kiv_hdr'\n"
            ">tag: version\n"
            "endElement:  'version' from 'kiv_hdr'\n"
            "<tag: version\n"
            "startElement:  'entry' from 'kiv_hdr'\n"
            ">tag: entry\n"
            "\t\tpush 5entry\n"
            "startElement:  'elem' from 'entry'\n"
            "endElement:  'elem' from 'entry'\n"
            "startElement:  'format' from 'entry'\n"
            "endElement:  'format' from 'entry'\n"
            "startElement:  'odd' from 'entry'\n"
            "entry::startElemen: >>>>> Unknown tag 'odd' \n"
            "endElement:  'odd' from 'entry'\n"
            "endElement:  'entry' from 'entry'\n"
            "\t\tpop  5entry\n"
            "startElement:  'kivfile' from 'kiv_hdr'\n"
            ">tag: kivfile\n"
            "\t\tpush 7kivfile\n"
            "startElement:  'bad' from 'kivfile'\n"
            "kivfile::set_attrs >>>>>>>>>> Unknown tag 'bad' \n"
            "endElement:  'bad' from 'kivfile'\n"
            "endElement:  'kivfile' from 'kivfile'\n"
            "\t\tpop  7kivfile\n"
            "startElement:  'strange' from 'kiv_hdr'\n"
            ">tag: strange\n"
            "kiv_hdr::startElement >>>> Unknown tag 'strange' \n"
            "userdata: hi\n"
            "endElement:  'strange' from 'kiv_hdr'\n"
            "<tag: strange\n"
            "endElement:  'kiv' from 'kiv_hdr'\n"
            "<tag: kiv\n"
            "\t\tpop  7kiv_hdr\n"
            "tag: 102 entry_name: free\n"
            " desc: d format: %p\n");
}

}  // namespace
