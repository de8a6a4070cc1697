#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "reader/read_progress.h"
#include "reader_test_support.h"
#include "writer/payload_builder.h"

namespace {

using kiv_test::conversion;
using kiv_test::lines_of;
using kiv_test::ReaderTest;

constexpr const char* t0 = "2023-11-14 22:13:20.000";

// A marker row: run id, pid, number, memory record number, previous one,
// time, group, kind, text.
std::string marker(int nr, const std::string& time, const std::string& group,
                   const std::string& kind, const std::string& text, int pid = 7, int recnr = 0,
                   int prev = 0) {
  return std::string("4711;") + std::to_string(pid) + ";" + std::to_string(nr) + ";" +
         std::to_string(recnr) + ";" + std::to_string(prev) + ";" + time + ";" + group + ";" +
         kind + ";" + text;
}

std::string data_name(const kivw::trace_session& s, unsigned seq) { return s.data_name(seq); }

TEST_F(ReaderTest, MarkersOfProcessesIdsAndUsersWithTheirTimes) {
  kivw::trace_session s(options());
  s.process_start(5, 1, "session with blanks");
  s.process_start(6, 1, "plain");
  s.reserve_id(12, 64, 0, "", 2, "oic:thing");
  clock_->set({1'700'000'001, 999'999'999});
  s.marker("user text");
  s.free_id(55, 0, "", 0, 0);
  s.reset_id(12, 0, "", 0, 0);
  s.process_end(5);
  s.process_end(5);
  s.close();
  const conversion c = convert(s.header_path());

  const std::string t1 = "2023-11-14 22:13:21.999";
  const std::vector<std::string> expected = {
      marker(0, t0, "Record", "Begin", "Begin of measurement"),
      marker(1, t0, "Process", "Start", "Start: session 5"),
      marker(2, t0, "Process", "Start", "Start: plain 6"),
      marker(3, t0, "Malid", "Reserve", "Reserve Id 12 oic:thing"),
      marker(4, t1, "Marker", "", "user text"),
      marker(5, t1, "MalId", "Free", "Free Id 99999999 Unknown Malloc ID"),
      // The free id and reset id take the run's memory record numbers 1 and 2.
      marker(6, t1, "MalId", "Reset", "Reset Id 12 oic:thing", 7, 1, 0),
      marker(7, t1, "Process", "End", "End: session 5", 7, 2, 1),
      marker(8, t1, "Process", "End", "End: defaultproc 0", 7, 2, 2),
      marker(9, t1, "Record", "End", "End of measurement", 7, 2, 2),
  };
  EXPECT_EQ(lines_of(table("marker")), expected) << c.err;
  EXPECT_EQ(c.records, 2U);
  EXPECT_EQ(c.out.find("OUT OF SYNC"), std::string::npos);
}

TEST_F(ReaderTest, MarkerFieldsAreCutTo25And10And255Characters) {
  kivw::trace_session s(options());
  s.marker(std::string(300, 'm'));
  s.close();
  const std::string group(30, 'g'), kind(12, 'k'), text(256, 't');
  {
    auto reader = open_reader(s.header_path());
    reader->ReadEvents();
    reader->WriteMarker(group.c_str(), kind.c_str(), "now", text);
    reader->WriteMarker("Short", "k", "now", "t");
  }
  const auto rows = lines_of(table("marker"));
  ASSERT_EQ(rows.size(), 5U);
  EXPECT_EQ(rows[1], marker(1, t0, "Marker", "", std::string(255, 'm')));
  EXPECT_EQ(rows[3], marker(3, "now", group.substr(0, 25), kind.substr(0, 10), text.substr(0, 255)));
  EXPECT_EQ(rows[4], marker(4, "now", "Short", "k", "t"));
}

// Marker numbers and the memory record count belong to the program run:
// the second header of a run continues both, and its 1,000th memory record
// overall writes the record marker right after that record.
TEST_F(ReaderTest, MarkerNumbersAndRecordCountRunOnAcrossHeaders) {
  kivw::trace_session first(options(7));
  for (unsigned i = 0; i < 600; ++i) first.malloc_nf(1, 0, 0x1000 + i, 8, 16, 0, "");
  first.close();
  kivw::trace_session second(options(8));
  for (unsigned i = 0; i < 399; ++i) second.malloc_wf(1, 0, 0x9000 + i, 8, 16, 0, "");
  second.free(1, 0, 0x9000, 0, "");
  second.marker("after");
  second.close();

  EXPECT_EQ(convert(first.header_path()).records, 600U);
  EXPECT_EQ(convert(second.header_path()).records, 1000U);
  const std::vector<std::string> expected = {
      // Each run numbers its own memory records; the previous number shown
      // runs on across the program run.
      marker(0, t0, "Record", "Begin", "Begin of measurement", 7),
      marker(1, t0, "Record", "End", "End of measurement", 7, 600, 0),
      marker(2, t0, "Record", "Begin", "Begin of measurement", 8, 0, 600),
      marker(3, t0, "Record", "recs", "Record nr 1000", 8, 400, 0),
      marker(4, t0, "Marker", "", "after", 8, 400, 400),
      marker(5, t0, "Record", "End", "End of measurement", 8, 400, 400),
  };
  EXPECT_EQ(lines_of(table("marker")), expected);
}

TEST_F(ReaderTest, FlowOutOnlyRunHasBeginAndEndMarkers) {
  kivw::trace_session s(options());
  s.flow_out();
  s.close();
  const conversion c = convert(s.header_path());
  const std::vector<std::string> expected = {
      marker(0, t0, "Record", "Begin", "Begin of measurement"),
      marker(1, t0, "Record", "End", "End of measurement"),
  };
  EXPECT_EQ(lines_of(table("marker")), expected);
  EXPECT_EQ(c.records, 0U);
  EXPECT_EQ(c.out.find("OUT OF SYNC"), std::string::npos);
}

TEST_F(ReaderTest, RunsRowComesFromTheHeader) {
  auto opt = options();
  opt.trailer.progname = "prog";
  opt.trailer.user = "tester";
  opt.trailer.kre = "/kre";
  opt.trailer.pacc = "pacc";
  opt.trailer.hostname = "host";
  kivw::trace_session s(opt);
  s.close();
  convert(s.header_path());
  EXPECT_EQ(table("runs"),
            "4711;7;2023-11-14 22:13:20.000;2023-11-14 22:15:00.500;prog;/kre;pacc;host;tester;"
            "test run;32;65536;16\n");
}

// ---- data files ----------------------------------------------------------

TEST_F(ReaderTest, MissingSecondDataFileEndsTheData) {
  kivw::trace_session s(options());
  s.marker("one");
  s.switch_file();
  s.marker("two");
  s.close();
  std::filesystem::remove(s.data_path(1));
  const conversion c = convert(s.header_path());
  const std::string f0 = data_name(s, 0), f1 = data_name(s, 1);
  EXPECT_EQ(c.err, "Opening file: \"" + f0 + "\"\n closing file " + f0 + "\nOpening file: \"" + f1 +
                       "\"\n error opening " + f1 + "'\n");
  const std::vector<std::string> expected = {
      marker(0, t0, "Record", "Begin", "Begin of measurement"),
      marker(1, t0, "Marker", "", "one"),
      marker(2, t0, "Record", "End", "End of measurement"),
  };
  EXPECT_EQ(lines_of(table("marker")), expected);
}

// The last data file of a run that died has no <kivfile> block and is not
// read; an empty string is one zero byte.
TEST_F(ReaderTest, DataFileTheHeaderDoesNotListIsNotRead) {
  kivw::trace_session s(options());
  s.marker("");
  s.switch_file();
  s.marker("unlisted");
  s.crash();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.err.find(data_name(s, 1)), std::string::npos) << c.err;
  // Without the trailer the run has no start time.
  const std::vector<std::string> expected = {
      marker(0, "1970-01-01 00:00:00.000", "Record", "Begin", "Begin of measurement"),
      marker(1, t0, "Marker", "", ""),
      marker(2, t0, "Record", "End", "End of measurement"),
  };
  EXPECT_EQ(lines_of(table("marker")), expected);
  EXPECT_EQ(c.out.find("OUT OF SYNC"), std::string::npos);
}

TEST_F(ReaderTest, MissingFirstDataFileConvertsNothing) {
  kivw::trace_session s(options());
  s.marker("one");
  s.close();
  std::filesystem::remove(s.data_path(0));
  const conversion c = convert(s.header_path());
  const std::string f0 = data_name(s, 0);
  EXPECT_EQ(c.err, "Opening file: \"" + f0 + "\"\n error opening " + f0 + "'\ncannot open file " + f0 + "\n");
  EXPECT_EQ(table("marker"), "");
}

TEST_F(ReaderTest, HeaderWithoutDataFilesSaysSoAndWritesNoMarkers) {
  kivw::trace_session s(options());
  s.marker("lost");
  s.crash();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.err, "cannot open file: the header " + s.header_path() + " lists no data file\n");
  EXPECT_EQ(table("marker"), "");
  EXPECT_EQ(c.records, 0U);
}

// A data file shorter than its header says is reported once; every record
// before the cut is converted and nothing after it is decoded.
TEST_F(ReaderTest, ShortDataFileConvertsTheRecordsBeforeTheCut) {
  kivw::trace_session s(options());
  s.marker("one");
  s.marker("two");
  s.close();
  const auto declared = std::filesystem::file_size(s.data_path(0));
  std::filesystem::resize_file(s.data_path(0), declared - 2);
  const conversion c = convert(s.header_path());
  const std::string f0 = data_name(s, 0);
  EXPECT_EQ(c.err, "Opening file: \"" + f0 + "\"\nData file \"" + f0 +
                       "\" is shorter than its header says: declared size " +
                       std::to_string(declared) + " bytes, actual size " +
                       std::to_string(declared - 2) + " bytes\n closing file " + f0 + "\n");
  const std::vector<std::string> expected = {
      marker(0, t0, "Record", "Begin", "Begin of measurement"),
      marker(1, t0, "Marker", "", "one"),
      marker(2, t0, "Record", "End", "End of measurement"),
  };
  EXPECT_EQ(lines_of(table("marker")), expected);
}

// A record whose length runs past its file ends that file's data; the next
// file is read as usual.
TEST_F(ReaderTest, RecordCutShortEndsItsFileOnly) {
  kivw::trace_session s(options());
  s.marker("one");
  s.raw_bytes(std::string("C\x10\x00" "ab", 5));
  s.switch_file();
  s.marker("two");
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_NE(c.err.find("Data file \"" + data_name(s, 0) +
                       "\" ends inside a record at offset 18: the record needs 19 bytes, 5 are "
                       "left; the rest of the file is skipped\n"),
            std::string::npos)
      << c.err;
  const std::vector<std::string> expected = {
      marker(0, t0, "Record", "Begin", "Begin of measurement"),
      marker(1, t0, "Marker", "", "one"),
      marker(2, t0, "Marker", "", "two"),
      marker(3, t0, "Record", "End", "End of measurement"),
  };
  EXPECT_EQ(lines_of(table("marker")), expected);
}

// Makes data file seq of a closed run empty and lists it with size 0.
void empty_listed_file(const kivw::trace_session& s, unsigned seq) {
  std::filesystem::resize_file(s.data_path(seq), 0);
  std::string header = kivtest::read_file(s.header_path());
  const std::size_t block = header.find(s.data_name(seq));
  const std::size_t value = header.find("value=\"", header.find("<size", block)) + 7;
  header.replace(value, header.find('"', value) - value, "0");
  kivtest::write_file(s.header_path(), header);
}

// An empty data file holds no record, wherever the header lists it: it is
// opened and closed with nothing in between, and reading goes on with the
// next file. Each layout is one header of the same program run (a pid of
// its own) with three files; file k holds the marker "file k" unless empty.
TEST_F(ReaderTest, EmptyDataFilesAnywhereInTheListAreOpenedClosedAndPassed) {
  struct layout {
    std::int32_t pid;
    std::vector<unsigned> empty;
  };
  const layout layouts[] = {{1, {0}}, {2, {1}}, {3, {2}}, {4, {0, 2}}, {5, {1, 2}}, {6, {0, 1, 2}}};
  constexpr unsigned files = 3;
  std::vector<std::string> expected_markers;
  int nr = 0;
  for (const layout& l : layouts) {
    kivw::trace_session s(options(l.pid));
    const auto is_empty = [&](unsigned k) { return std::find(l.empty.begin(), l.empty.end(), k) != l.empty.end(); };
    std::string expected_err;
    expected_markers.push_back(marker(nr++, t0, "Record", "Begin", "Begin of measurement", l.pid));
    for (unsigned k = 0; k < files; ++k) {
      if (k > 0) s.switch_file();
      if (!is_empty(k)) {
        s.marker("file " + std::to_string(k));
        expected_markers.push_back(marker(nr++, t0, "Marker", "", "file " + std::to_string(k), l.pid));
      }
      expected_err += "Opening file: \"" + s.data_name(k) + "\"\n closing file " + s.data_name(k) + "\n";
    }
    expected_markers.push_back(marker(nr++, t0, "Record", "End", "End of measurement", l.pid));
    s.close();
    for (const unsigned k : l.empty) empty_listed_file(s, k);

    const conversion c = convert(s.header_path());
    EXPECT_EQ(c.err, expected_err) << "pid " << l.pid;
    EXPECT_EQ(kivtest::without_table_notices(c.out), "") << "pid " << l.pid;
  }
  EXPECT_EQ(lines_of(table("marker")), expected_markers);
}

// ---- malformed records ------------------------------------------------------

TEST_F(ReaderTest, OutOfSyncRecordsAreCorrectedAtTheirLength) {
  kivw::trace_session s(options());
  kivw::payload_builder longer;
  longer.put_uint(1'700'000'005, 4).put_uint(0, 4).put_uint(0, 4);
  s.raw_record('T', longer.bytes());
  kivw::payload_builder shorter;
  shorter.put_uint(1'700'000'006, 4);
  s.raw_record('T', shorter.bytes());
  s.marker("after");
  s.raw_record('C', "no zero");
  s.close();
  const conversion c = convert(s.header_path());
  std::vector<std::string> sync;
  for (const auto& line : lines_of(c.out))
    if (line.starts_with("OUT OF SYNC")) sync.push_back(line);
  const std::vector<std::string> expected_sync = {"OUT OF SYNC!!! record: 1Corrected...",
                                                  "OUT OF SYNC!!! record: 2Corrected...",
                                                  "OUT OF SYNC!!! record: 5Corrected..."};
  EXPECT_EQ(sync, expected_sync);
  const auto rows = lines_of(table("marker"));
  ASSERT_EQ(rows.size(), 4U);
  EXPECT_EQ(rows[1], marker(1, t0, "Marker", "", "after"));
  EXPECT_EQ(rows[2], marker(2, t0, "Marker", "", "no zero"));
}

// A string element runs to the next zero byte of the data read, into the
// records after its own if need be; its record is then out of sync and the
// next record is read from its own start. Only the end of the data bounds
// a string: the last record of a file does not reach into the next file.
TEST_F(ReaderTest, StringsRunToTheNextZeroByteOfTheData) {
  kivw::trace_session s(options());
  kivw::payload_builder open_line;
  open_line.put_uint(0x10, 4).put_bytes("open");
  s.raw_record('H', open_line.bytes());
  // 301 payload bytes: the length field 2d 01 holds no zero byte either.
  const std::string long_text(300, 'x');
  s.raw_record('C', kivw::payload_builder().put_string(long_text).bytes());
  s.marker("after");
  s.raw_record('C', "end of file");
  s.switch_file();
  s.marker("next file");
  s.close();
  const conversion c = convert(s.header_path());

  EXPECT_EQ(kivtest::without_table_notices(c.out),
            "OUT OF SYNC!!! record: 1Corrected...\nOUT OF SYNC!!! record: 5Corrected...\n");
  EXPECT_EQ(table("hashloc"), "4711;7;16;openC\x2d\x01" + long_text + "\n");
  const std::vector<std::string> expected = {
      marker(0, t0, "Record", "Begin", "Begin of measurement"),
      marker(1, t0, "Marker", "", std::string(255, 'x')),
      marker(2, t0, "Marker", "", "after"),
      marker(3, t0, "Marker", "", "end of file"),
      marker(4, t0, "Marker", "", "next file"),
      marker(5, t0, "Record", "End", "End of measurement"),
  };
  EXPECT_EQ(lines_of(table("marker")), expected);
}

// An illegal tag stops reading at once (no end marker, nothing after it is
// read) and marks the reader stopped, so that the program ends with a
// failure status; the rows written before it stay.
TEST_F(ReaderTest, IllegalTagStopsReadingAndKeepsTheRowsBeforeIt) {
  kivw::trace_session s(options());
  s.marker("kept");
  s.raw_record('!', "xyz");
  s.marker("never");
  s.close();
  const std::string header = s.header_path();
  ::testing::internal::CaptureStdout();
  {
    auto reader = open_reader(header);
    ::testing::internal::CaptureStderr();
    reader->ReadEvents();
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(reader->stopped());
  }
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.substr(out.find("Illegal")), "Illegal event detected. record nr: 3\nFile offset: 22\n");
  const std::vector<std::string> expected = {
      marker(0, t0, "Record", "Begin", "Begin of measurement"),
      marker(1, t0, "Marker", "", "kept"),
  };
  EXPECT_EQ(lines_of(table("marker")), expected);
}

// ---- decoding against the header ---------------------------------------------

TEST_F(ReaderTest, RecordTypeMissingFromTheHeaderReadsZerosAndItsString) {
  auto opt = options();
  opt.variant.omit_entries = {'l'};
  kivw::trace_session s(opt);
  s.raw_record('l', std::string("hello\0", 6));
  s.close();
  debug_level = 2;
  const conversion c = convert(s.header_path());
  EXPECT_NE(c.err.find("tag: l size: 6 eventnr: 1 id_of_obj: 0 funnr: 0 funcname: hello\n"),
            std::string::npos)
      << c.err;
  EXPECT_EQ(c.out.find("OUT OF SYNC"), std::string::npos);
}

TEST_F(ReaderTest, ObjectNamesComeFromTheMallocIdName) {
  kivw::trace_session s(options());
  s.reserve_id(7, 0, 0, "", 1, "abc");
  s.reserve_id(8, 0, 0, "", 1, "proc:0:init");
  s.reserve_id(9, 0, 0, "", 1, "obj_libfoo");
  for (unsigned id : {7U, 8U, 9U, 10U}) s.object_load(id);
  s.close();
  debug_level = 1;
  const conversion c = convert(s.header_path());
  for (const char* line : {" Load object: 7 \n", " Load object: 8 init\n",
                           " Load object: 9 libfoo\n", " Load object: 10 own Malloc ID\n"})
    EXPECT_NE(c.err.find(std::string("---------------------------------\n") + line),
              std::string::npos)
        << line;
}

// ---- progress ------------------------------------------------------------

// What the event loop told its observer.
struct progress_log : read_progress {
  int begins = 0;
  int ends = 0;
  std::string header;
  std::uint64_t data_bytes = 0;
  std::uint64_t first_records = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> updates;  // bytes read, memory records

  void begin(const std::string& h, std::uint64_t bytes, std::uint64_t records) override {
    ++begins;
    header = h;
    data_bytes = bytes;
    first_records = records;
  }
  void update(std::uint64_t bytes_read, std::uint64_t records) override { updates.emplace_back(bytes_read, records); }
  void end() override { ++ends; }
};

// Replays with log as the observer; returns the number of records read.
std::uint32_t replay_observed(std::unique_ptr<kiv_reader> reader, progress_log& log) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  reader->report_progress_to(&log);
  reader->ReadEvents();
  ::testing::internal::GetCapturedStderr();
  ::testing::internal::GetCapturedStdout();
  return reader->event_number();
}

// Two data files: the bytes told count the first file's whole data once the
// second is being read, and every report comes after the same number of
// records.
TEST_F(ReaderTest, ProgressIsToldOverEveryDataFileOfTheHeader) {
  constexpr int per_file = 5000;
  kivw::trace_session s(options());
  for (int i = 0; i < per_file; ++i) s.malloc_wf(10, 0, 0x1000 + 0x40 * i, 24, 32, 0x4010, "a.c:1");
  s.switch_file();
  for (int i = 0; i < per_file; ++i) s.malloc_wf(10, 0, 0x900000 + 0x40 * i, 24, 32, 0x4010, "a.c:2");
  s.close();
  const auto first_file = std::filesystem::file_size(s.data_path(0));
  const auto both_files = first_file + std::filesystem::file_size(s.data_path(1));

  progress_log log;
  const std::uint32_t records = replay_observed(open_reader(s.header_path()), log);
  EXPECT_EQ(log.begins, 1);
  EXPECT_EQ(log.ends, 1);
  EXPECT_EQ(log.header, s.header_path());
  EXPECT_EQ(log.data_bytes, both_files);
  EXPECT_EQ(log.first_records, 0U);
  ASSERT_EQ(log.updates.size(), records / read_progress::records_per_report);
  ASSERT_GE(log.updates.size(), 2U);
  for (std::size_t i = 1; i < log.updates.size(); ++i) {
    EXPECT_GT(log.updates[i].first, log.updates[i - 1].first);
    EXPECT_GT(log.updates[i].second, log.updates[i - 1].second);
  }
  EXPECT_LT(log.updates.front().first, first_file);
  EXPECT_GT(log.updates.back().first, first_file);
  EXPECT_LE(log.updates.back().first, both_files);
  EXPECT_LE(log.updates.back().second, 2U * per_file);
}

// The observer hears the end of reading on every way out: a stop at an
// illegal tag, and a header whose data cannot be read at all (no begin).
TEST_F(ReaderTest, ProgressEndIsToldOnEveryWayOut) {
  kivw::trace_session stopped(options());
  stopped.marker("kept");
  stopped.raw_record('!', "xyz");
  stopped.close();
  progress_log at_stop;
  replay_observed(open_reader(stopped.header_path()), at_stop);
  EXPECT_EQ(at_stop.begins, 1);
  EXPECT_EQ(at_stop.ends, 1);

  kivw::trace_session without_data(options(8));
  without_data.marker("lost");
  without_data.crash();
  progress_log unread;
  replay_observed(open_reader(without_data.header_path()), unread);
  EXPECT_EQ(unread.begins, 0);
  EXPECT_EQ(unread.ends, 1);
}

}  // namespace
