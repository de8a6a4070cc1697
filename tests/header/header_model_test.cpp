#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "header_fixture.h"
#include "output/out_stream.h"

namespace {

std::string kiv_doc(const std::string& body) { return "<kiv>\n" + body + "</kiv>\n"; }

TEST_F(HeaderTest, CompleteHeaderFillsEveryField) {
  const parsed p = read_text(complete_header);
  ASSERT_EQ(p.result, 0);
  const kiv_hdr& h = *p.hdr;
  EXPECT_TRUE(h.started);
  EXPECT_EQ(h.version, 1);
  EXPECT_EQ(h.filetype, "bin");
  EXPECT_TRUE(h.little_endian);
  EXPECT_EQ(h.pid, 4242);
  EXPECT_EQ(h.runid, "4711");
  EXPECT_EQ(h.m_entry, 16);
  EXPECT_EQ(h.mem_block, 4096);
  EXPECT_EQ(h.m_group, 65536);
  EXPECT_EQ(h.time_start_secs, 1000000000);
  EXPECT_EQ(h.time_start_nsecs, 123456789);
  EXPECT_EQ(h.time_end_secs, 1000000061);
  EXPECT_EQ(h.time_end_nsecs, 999999999);
  EXPECT_EQ(h.progname, "prog");
  EXPECT_EQ(h.user, "anna");
  EXPECT_EQ(h.kre, "kre7");
  EXPECT_EQ(h.pacc, "pacc1");
  EXPECT_EQ(h.hostname, "host1");
  EXPECT_EQ(h.description, "my run");
  EXPECT_EQ(h.name(), "kiv_hdr");

  ASSERT_EQ(h.entries.size(), 2u);
  const entry& a = *h.entries[0];
  EXPECT_EQ(a.name(), "entry");
  EXPECT_EQ(a.tag, 'a');
  EXPECT_EQ(a.entry_name, "malloc_wf");
  EXPECT_EQ(a.desc, "allocation with free");
  EXPECT_EQ(a.format, "%d %p %d");
  ASSERT_EQ(a.elems.size(), 3u);
  EXPECT_EQ(a.elems[1]->elem_name, "addr");
  EXPECT_EQ(a.elems[1]->name(), "");
  EXPECT_EQ(h.find_entry(kiv_e_free), h.entries[1].get());

  EXPECT_EQ(h.get_elem_size(kiv_e_malloc_wf, 0), 4);
  EXPECT_EQ(h.get_elem_size(kiv_e_malloc_wf, 1), 8);
  EXPECT_EQ(h.get_elem_size(kiv_e_malloc_wf, 2), 4);
  EXPECT_EQ(h.get_elem_size(kiv_e_free, 0), 8);

  ASSERT_EQ(h.files.size(), 2u);
  EXPECT_EQ(h.files[0]->file, "trace/run/prog.4242.000.kivdat");
  EXPECT_EQ(h.files[0]->size, 1234);
  EXPECT_EQ(h.files[1]->file, "trace/run/prog.4242.001.kivdat");
  EXPECT_EQ(h.files[1]->size, 99);
}

TEST_F(HeaderTest, FieldSizeOfUnknownTypeOrIndexIsZero) {
  const parsed p = read_text(complete_header);
  EXPECT_EQ(p.hdr->get_elem_size(kiv_e_schedule, 0), 0);
  EXPECT_EQ(p.hdr->find_entry(kiv_e_schedule), nullptr);
  EXPECT_EQ(p.hdr->get_elem_size(kiv_e_free, 1), 0);
  EXPECT_EQ(p.hdr->get_elem_size(kiv_e_free, -1), 0);
}

TEST_F(HeaderTest, HeaderLeftOpenAfterEntriesStillReads) {
  const std::string text = header_until_entries() +
                           " <kivfile><file value=\"d.000.kivdat\"/><size value=\"10\"/></kivfile>\n"
                           " <kivfile><file value=\"d.001";
  const parsed p = read_text(text);
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.hdr->get_elem_size(kiv_e_malloc_wf, 1), 8);
  EXPECT_EQ(p.hdr->get_elem_size(kiv_e_free, 0), 8);
  // The second block was cut inside its <file> tag: only its object exists.
  ASSERT_EQ(p.hdr->files.size(), 2u);
  EXPECT_EQ(p.hdr->files[0]->file, "d.000.kivdat");
  EXPECT_EQ(p.hdr->files[1]->file, "");
  EXPECT_EQ(p.hdr->time_end_secs, 0);
}

TEST_F(HeaderTest, ByteOrderIsLittleUnlessTheValueSaysOtherwise) {
  EXPECT_FALSE(read_text(kiv_doc("<endianess values=\"B\"/>\n")).hdr->little_endian);
  EXPECT_TRUE(read_text(kiv_doc("<endianess values=\"little\"/>\n")).hdr->little_endian);
  EXPECT_TRUE(read_text(kiv_doc("<pid value=\"1\"/>\n")).hdr->little_endian);
  // An element with no value is not 'l'.
  EXPECT_FALSE(read_text(kiv_doc("<endianess/>\n")).hdr->little_endian);
}

TEST_F(HeaderTest, ModelHoldsANewerVersion) {
  const parsed p = read_text(kiv_doc("<version type=\"2\"/>\n"));
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.hdr->version, 2);
}

TEST_F(HeaderTest, EntryTagIsItsFirstCharacterAsASignedChar) {
  const parsed p = read_text(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
      "<kiv><entry tag=\"ab\" name=\"n\" desc=\"d\"/><entry tag=\"\xE9\" name=\"accent\"/></kiv>");
  ASSERT_EQ(p.hdr->entries.size(), 2u);
  EXPECT_EQ(p.hdr->entries[0]->tag, 'a');
  EXPECT_NE(p.hdr->find_entry(kiv_e_malloc_wf), nullptr);
  // Expat hands the ISO-8859-1 byte over as UTF-8, whose first byte is 0xC3.
  EXPECT_EQ(p.hdr->entries[1]->tag, static_cast<signed char>(0xC3));
}

TEST_F(HeaderTest, LaterEntryWithTheSameTagWins) {
  const parsed p = read_text(kiv_doc(
      "<entries>\n"
      "<entry tag=\"f\" name=\"old\"><elem name=\"addr\" size=\"4\"/></entry>\n"
      "<entry tag=\"f\" name=\"new\"><elem name=\"addr\" size=\"8\"/><elem name=\"x\" size=\"2\"/></entry>\n"
      "</entries>\n"));
  EXPECT_EQ(p.hdr->entries.size(), 2u);
  EXPECT_EQ(p.hdr->find_entry(kiv_e_free)->entry_name, "new");
  EXPECT_EQ(p.hdr->get_elem_size(kiv_e_free, 0), 8);
  EXPECT_EQ(p.hdr->get_elem_size(kiv_e_free, 1), 2);
}

TEST_F(HeaderTest, KnownElementsCountAtAnyDepthAndUnknownOnesAreIgnored) {
  const parsed p = read_text(kiv_doc(
      "<m_entry size=\"24\"/>\n"
      "<wrapper><pid value=\"77\"><mystery a=\"1\"/></pid></wrapper>\n"
      "<entries><entry tag=\"n\" name=\"nf\"><comment/><group><elem name=\"id\" size=\"4\"/></group>"
      "<format fmt=\"%d\"/></entry></entries>\n"
      "<kivfile><note/><file value=\"x.kivdat\"/><size value=\"5\"/></kivfile>\n"
      "<error value=\"lost\"/><trace value=\"t\"/>\n"));
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.hdr->m_entry, 24);
  EXPECT_EQ(p.hdr->pid, 77);
  EXPECT_EQ(p.hdr->get_elem_size(kiv_e_malloc_nf, 0), 4);
  EXPECT_EQ(p.hdr->find_entry(kiv_e_malloc_nf)->format, "%d");
  ASSERT_EQ(p.hdr->files.size(), 1u);
  EXPECT_EQ(p.hdr->files[0]->file, "x.kivdat");
  EXPECT_EQ(p.hdr->files[0]->size, 5);
}

TEST_F(HeaderTest, AttributesAreTakenByPositionAndMissingOnesReadEmpty) {
  const parsed p = read_text(kiv_doc(
      "<version/><filetype/><runid/>\n"
      "<time_start whenever=\"5\"/>\n"
      "<entry tag=\"x\" name=\"two only\"><elem name=\"id\"/></entry>\n"
      "<entry/>\n"));
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.hdr->version, 0);
  EXPECT_EQ(p.hdr->filetype, "");
  EXPECT_EQ(p.hdr->runid, "");
  EXPECT_EQ(p.hdr->time_start_secs, 5);
  EXPECT_EQ(p.hdr->time_start_nsecs, 0);
  ASSERT_EQ(p.hdr->entries.size(), 2u);
  EXPECT_EQ(p.hdr->entries[0]->entry_name, "two only");
  EXPECT_EQ(p.hdr->entries[0]->desc, "");
  EXPECT_EQ(p.hdr->entries[0]->elems[0]->size, 0);
  EXPECT_EQ(p.hdr->entries[1]->tag, 0);
  EXPECT_EQ(p.hdr->entries[1]->entry_name, "");
}

TEST_F(HeaderTest, NumbersReadLikeStrtolAndKeepThirtyTwoBits) {
  const parsed p = read_text(kiv_doc(
      "<pid value=\"12abc\"/><version type=\"abc\"/><m_entry size=\" -5\"/>\n"
      "<mem_block size=\"4294967297\"/><m_group size=\"+7\"/>\n"));
  EXPECT_EQ(p.hdr->pid, 12);
  EXPECT_EQ(p.hdr->version, 0);
  EXPECT_EQ(p.hdr->m_entry, -5);
  EXPECT_EQ(p.hdr->mem_block, 1);
  EXPECT_EQ(p.hdr->m_group, 7);
}

TEST_F(HeaderTest, TextArrivesAsUtf8) {
  const parsed p = read_text(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<kiv><user value=\"J\xF6rg\"/></kiv>\n");
  EXPECT_EQ(p.hdr->user, "J\xC3\xB6rg");
}

TEST_F(HeaderTest, HeadersWithoutAKivDocumentEndWithResultTwo) {
  for (const std::string& text : {std::string(), std::string("<?xml version=\"1.0\"?>\n"),
                                 std::string("<other><entry tag=\"a\" name=\"n\"/></other>\n")}) {
    SCOPED_TRACE(text);
    const std::string path = write_header(text);
    ::testing::internal::CaptureStderr();
    const parsed p = read_path(path);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "header file " + path + " holds no <kiv> element\n");
    EXPECT_EQ(p.result, 2);
    EXPECT_FALSE(p.hdr->started);
  }
  // What was handled before the end stays in the model.
  const parsed p = read_text("<other><entry tag=\"a\" name=\"n\"/></other>\n");
  EXPECT_EQ(p.hdr->entries.size(), 1u);
}

TEST_F(HeaderTest, MalformedXmlReportsExpatsMessageAndLine) {
  ::testing::internal::CaptureStderr();
  const parsed p = read_text("<kiv>\n<version type=\"1\"/>\n<a></b>\n<pid value=\"5\"/>\n</kiv>\n");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "mismatched tag at line3\n");
  EXPECT_EQ(p.result, 2);
  EXPECT_EQ(p.hdr->version, 1);
  EXPECT_EQ(p.hdr->pid, 0);

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(read_text("hello world\n").result, 2);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "syntax error at line1\n");
}

TEST_F(HeaderTest, MissingHeaderFileGivesResultThreeAndAnEmptyModel) {
  const std::string path = dir_ / "missing.kivhdr";
  ::testing::internal::CaptureStderr();
  const parsed p = read_path(path);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "header file " + path + " cannot be opened\n");
  EXPECT_EQ(p.result, 3);
  EXPECT_TRUE(p.hdr->entries.empty());
  EXPECT_EQ(p.hdr->filetype, "");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(read_path(dir_.path().string()).result, 3);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "header file " + dir_.path().string() + " cannot be opened\n");
}

TEST_F(HeaderTest, DocumentLeftOpenDoesNotDisturbTheNextHeader) {
  {
    parsed open_doc = read_text("<kiv><entries><entry tag=\"a\" name=\"cut\"><elem name=\"id\" size=\"4\"/>");
    EXPECT_EQ(open_doc.result, 0);
    // While the first model is still alive the next one parses above it.
    const parsed next = read_path(write_header(complete_header, "next.kivhdr"));
    EXPECT_EQ(next.result, 0);
    EXPECT_EQ(next.hdr->get_elem_size(kiv_e_malloc_wf, 2), 4);
    EXPECT_EQ(open_doc.hdr->entries.size(), 1u);
  }
  EXPECT_TRUE(el_stack.empty());
  const parsed after = read_text(complete_header);
  EXPECT_EQ(after.result, 0);
  EXPECT_EQ(after.hdr->files.size(), 2u);
}

TEST_F(HeaderTest, EndOfKivWhileAChildIsOpenIsHarmless) {
  const parsed p = read_text("<kiv><kiv></kiv><pid value=\"3\"/></kiv>");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.hdr->pid, 0);
  EXPECT_TRUE(el_stack.empty());
}

TEST_F(HeaderTest, RunsRowHasThirteenFieldsWithLocalTimes) {
  const parsed p = read_text(complete_header);
  const std::string path = dir_ / "runs.csv";
  {
    out_stream os;
    ASSERT_TRUE(os.open(path, true));
    os << *p.hdr << '\n';
    data_sep = ',';
    p.hdr->dumphdr(os);
  }
  EXPECT_EQ(kivtest::read_file(path),
            "4711;4242;2001-09-09 01:46:40.123;2001-09-09 01:47:41.999;prog;kre7;pacc1;host1;anna;my run;16;4096;65536\n"
            "4711,4242,2001-09-09 01:46:40.123,2001-09-09 01:47:41.999,prog,kre7,pacc1,host1,anna,my run,16,4096,65536");
}

TEST_F(HeaderTest, RunsRowOfAnEmptyModel) {
  ::testing::internal::CaptureStderr();
  const parsed p = read_path(dir_ / "missing.kivhdr", "");
  ::testing::internal::GetCapturedStderr();
  const std::string path = dir_ / "runs.csv";
  {
    out_stream os;
    ASSERT_TRUE(os.open(path, true));
    os << *p.hdr;
  }
  EXPECT_EQ(kivtest::read_file(path), ";0;1970-01-01 00:00:00.000;1970-01-01 00:00:00.000;;;;;;;0;0;0");
}

}  // namespace
