// The kiv program on unusual and broken traces: every input below is built
// with our writer (mostly its raw layer), converted by the kiv binary, and
// checked for what it prints, its exit status and what the tables hold
// afterwards. The README's table of unusual traces lists the same cases.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/run_program.h"
#include "support/scratch_dir.h"
#include "writer/record_table.h"
#include "writer/trace_session.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* runid = "4711";
constexpr const char* header = "4711/kiv.7.kivhdr";
constexpr const char* data_file = "4711/kiv.7.000.kivdat";

// One conversion's scratch directory (the working directory of the kiv run)
// and the rows of its tables.
class trace_dir {
 public:
  trace_dir() : dir_("kiv_bad_input") {}

  kivw::trace_options options() const {
    kivw::trace_options opt;
    opt.dir = dir_.path().string();
    opt.runid = runid;
    opt.pid = 7;
    opt.clock = std::make_shared<kivw::fake_clock>(kivw::time_value{1'700'000'000, 0}, 0);
    opt.mallinfo_source = [] { return kivw::mallinfo_values{}; };
    opt.trailer.time_start = kivw::time_value{1'700'000'000, 0};
    opt.trailer.time_end = kivw::time_value{1'700'000'100, 0};
    return opt;
  }
  std::string path(const std::string& name) const { return dir_ / name; }
  std::string table(const std::string& name, int number = 1) const {
    return kivtest::read_file(path("kiv." + std::string(runid) + "." + name + "." + std::to_string(number) + ".csv"));
  }
  bool has_table(const std::string& name, int number = 1) const {
    return fs::exists(path("kiv." + std::string(runid) + "." + name + "." + std::to_string(number) + ".csv"));
  }
  kivtest::program_result kiv(std::vector<std::string> args) const {
    kivtest::program_run run;
    run.args = std::move(args);
    run.cwd = dir_.path().string();
    return kivtest::run_program(KIV_BINARY, run);
  }

 private:
  kivtest::scratch_dir dir_;
};

std::size_t count_lines(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += c == '\n';
  return n;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A run whose records are written by fill; kiv -H converts it.
using trace_builder = std::function<std::vector<std::string>(trace_dir&)>;

std::vector<std::string> convert_header() { return {"-H", header}; }

trace_builder run_of(std::function<void(kivw::trace_session&)> fill,
                     std::function<void(kivw::trace_options&)> shape = nullptr) {
  return [fill, shape](trace_dir& d) {
    kivw::trace_options opt = d.options();
    if (shape) shape(opt);
    kivw::trace_session s(opt);
    fill(s);
    s.close();
    return convert_header();
  };
}

// A header file with the given text and nothing else.
trace_builder header_only(std::string text) {
  return [text](trace_dir& d) {
    fs::create_directories(d.path(runid));
    kivtest::write_file(d.path(header), text);
    return convert_header();
  };
}

// One record of every type with values in every element, through the
// writer's raw layer (which encodes with the run's widths).
void every_record(kivw::trace_session& s) {
  for (const kivw::record_info& rec : kivw::header_order()) {
    if (rec.tag == 'X' || rec.tag == 'T') continue;  // the process stays open, the time fixed
    switch (rec.elements.size()) {
      case 0: s.encoded(rec.tag, {}); break;
      default: s.encoded(rec.tag, {5, 6, 7, 8, 9, 10, 11}); break;
    }
  }
  s.encoded('R', {3, 64, 0, 2, "wide type"});
  s.encoded('C', {"after every record"});
}

trace_builder every_record_with_width(int width) {
  return run_of(every_record, [width](kivw::trace_options& opt) { opt.widths.set_all_numeric(width); });
}

struct bad_input {
  const char* name;
  trace_builder build;
  int status;
  std::vector<std::string> out;  // parts of standard output
  std::vector<std::string> err;  // parts of standard error
  std::function<void(const trace_dir&)> tables;
};

// Test names instead of the bytes of the case.
[[maybe_unused]] void PrintTo(const bad_input& c, std::ostream* os) { *os << c.name; }

const std::string begin_marker = "Record;Begin;Begin of measurement";
const std::string end_marker = "Record;End;End of measurement";

void only_begin_and_end(const trace_dir& d) {
  const std::string markers = d.table("marker");
  EXPECT_EQ(count_lines(markers), 2U) << markers;
  EXPECT_TRUE(contains(markers, begin_marker));
  EXPECT_TRUE(contains(markers, end_marker));
}

void read_to_the_end(const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), end_marker)); }

void no_rows_read(const trace_dir& d) {
  EXPECT_EQ(d.table("marker"), "");
  EXPECT_EQ(d.table("memory"), "");
}

std::vector<bad_input> cases() {
  return {
      {"DataFileCutInsideARecord",
       [](trace_dir& d) {
         auto args = run_of([](kivw::trace_session& s) {
           s.marker("whole");
           s.marker("cut short");
         })(d);
         fs::resize_file(d.path(data_file), fs::file_size(d.path(data_file)) - 4);
         return args;
       },
       0, {}, {"is shorter than its header says"},
       [](const trace_dir& d) {
         EXPECT_TRUE(contains(d.table("marker"), "Marker;;whole\n"));
         EXPECT_FALSE(contains(d.table("marker"), "cut short"));
         EXPECT_TRUE(contains(d.table("marker"), end_marker));
       }},
      {"RecordLengthBeyondTheFile",
       run_of([](kivw::trace_session& s) {
         s.marker("before");
         s.raw_record('C', 500, std::string("x\0", 2));
       }),
       0, {}, {"ends inside a record at offset", "the record needs 503 bytes, 5 are left"},
       [](const trace_dir& d) {
         EXPECT_TRUE(contains(d.table("marker"), "Marker;;before\n"));
         EXPECT_TRUE(contains(d.table("marker"), end_marker));
       }},
      {"DataFileMissing",
       [](trace_dir& d) {
         auto args = run_of([](kivw::trace_session& s) { s.marker("lost"); })(d);
         fs::remove(d.path(data_file));
         return args;
       },
       0, {}, {" error opening ./4711/kiv.7.000.kivdat'", "cannot open file ./4711/kiv.7.000.kivdat"},
       no_rows_read},
      {"SecondDataFileMissing",
       [](trace_dir& d) {
         auto args = run_of([](kivw::trace_session& s) {
           s.marker("first file");
           s.switch_file();
           s.marker("second file");
         })(d);
         fs::remove(d.path("4711/kiv.7.001.kivdat"));
         return args;
       },
       0, {}, {" error opening ./4711/kiv.7.001.kivdat'"},
       [](const trace_dir& d) {
         EXPECT_TRUE(contains(d.table("marker"), "first file"));
         EXPECT_FALSE(contains(d.table("marker"), "second file"));
         EXPECT_TRUE(contains(d.table("marker"), end_marker));
       }},
      {"EmptyDataFile", run_of([](kivw::trace_session&) {}), 0, {}, {}, only_begin_and_end},
      {"HeaderListsNoDataFile",
       [](trace_dir& d) {
         kivw::trace_session s(d.options());
         s.marker("never listed");
         s.crash();
         return convert_header();
       },
       0, {}, {"lists no data file"}, no_rows_read},
      {"DataFileSizeBeyond32Bits",
       [](trace_dir& d) {
         kivw::trace_session s(d.options());
         s.marker("declared");
         s.switch_file(kivw::kivfile_block::omit);
         s.raw_kivfile("./4711/kiv.7.000.kivdat", "3000000000");
         s.close();
         return convert_header();
       },
       0, {}, {"declares a negative size (-1294967296 bytes); nothing of it is read"},
       [](const trace_dir& d) { EXPECT_FALSE(contains(d.table("marker"), "declared")); }},
      {"DataFileShorterThanDeclared",
       [](trace_dir& d) {
         kivw::trace_session s(d.options());
         s.marker("all of it");
         s.switch_file(kivw::kivfile_block::omit);
         s.raw_kivfile("./4711/kiv.7.000.kivdat", "100000");
         s.close();
         return convert_header();
       },
       0, {}, {"is shorter than its header says: declared size 100000 bytes, actual size 24 bytes"},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "Marker;;all of it\n")); }},
      {"HeaderFileMissing", [](trace_dir&) { return convert_header(); }, 0, {}, {"header file ./4711/kiv.7.kivhdr cannot be opened"},
       [](const trace_dir& d) { EXPECT_FALSE(d.has_table("marker")); }},
      {"HeaderEmpty", header_only(""), 0, {}, {"holds no <kiv> element"}, nullptr},
      {"HeaderNotXml", header_only(std::string("\x01\x02kiv\xff", 6)), 0, {}, {"not well-formed (invalid token) at line1"},
       nullptr},
      {"HeaderWithoutKivElement", header_only("<?xml version=\"1.0\"?>\n<other/>\n"), 0, {}, {"holds no <kiv> element"},
       nullptr},
      {"HeaderUnclosed",
       [](trace_dir& d) {
         kivw::trace_session s(d.options());
         s.marker("unclosed header");
         s.switch_file();  // writes the first file's block
         s.crash();
         return convert_header();
       },
       0, {}, {},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "unclosed header")); }},
      {"HeaderVersionTwo",
       run_of([](kivw::trace_session& s) { s.marker("not read"); },
              [](kivw::trace_options& opt) { opt.variant.version = "2"; }),
       0, {"header version \" 2 not supported \n"}, {}, no_rows_read},
      {"HeaderTextFileType",
       run_of([](kivw::trace_session& s) { s.marker("not read"); },
              [](kivw::trace_options& opt) { opt.variant.filetype = "asc"; }),
       0, {}, {}, no_rows_read},
      {"IllegalRecordTag",
       run_of([](kivw::trace_session& s) {
         s.marker("kept");
         s.raw_record('!', "xyz");
         s.marker("never");
       }),
       1, {"Illegal event detected. record nr: 3\nFile offset: 22\n"}, {},
       [](const trace_dir& d) {
         EXPECT_TRUE(contains(d.table("marker"), "Marker;;kept\n"));
         EXPECT_FALSE(contains(d.table("marker"), "never"));
         EXPECT_FALSE(d.has_table("runs"));
       }},
      {"ZeroLengthRecordWithElements",
       run_of([](kivw::trace_session& s) {
         s.raw_record('R', "");
         s.marker("next record");
       }),
       0, {"OUT OF SYNC!!! record: 1Corrected...\n"}, {},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "Marker;;next record\n")); }},
      {"StringWithoutTerminator",
       run_of([](kivw::trace_session& s) {
         s.raw_record('C', "no zero");
         s.marker("next");
       }),
       0, {"OUT OF SYNC!!! record: 1Corrected...\n"}, {},
       [](const trace_dir& d) {
         // The string runs on through the time stamp's tag and length
         // (T 08 00) up to that zero byte.
         EXPECT_TRUE(contains(d.table("marker"), "Marker;;no zeroT\x08\n"));
         EXPECT_TRUE(contains(d.table("marker"), "Marker;;next\n"));
       }},
      {"ElementWidthZeroOnEveryType", every_record_with_width(0), 0, {}, {},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "Reserve Id 0 wide type")); }},
      {"ElementWidthThreeOnEveryType", every_record_with_width(3), 0, {}, {},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "Reserve Id 0 wide type")); }},
      {"ElementWidthEightOnEveryType", every_record_with_width(8), 0, {}, {},
       [](const trace_dir& d) {
         // 32-bit fields keep their initial value, 64-bit ones are decoded.
         EXPECT_TRUE(contains(d.table("marker"), "Reserve Id 0 wide type"));
         EXPECT_EQ(d.table("hashloc"), "4711;7;5;\n");
       }},
      {"ElementWidthNineOnEveryType", every_record_with_width(9), 0, {}, {},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "Reserve Id 0 wide type")); }},
      {"WidthsOfGigabytesAndNegativeWidths",
       run_of(every_record,
              [](kivw::trace_options& opt) {
                opt.variant.entry_xml['a'] =
                    "<entry tag=\"a\" name=\"kiv_e_malloc_wf\" desc=\"Malloc with free\">"
                    "<elem name=\"id\" size=\"4\"/><elem name=\"color\" size=\"4\"/>"
                    "<elem name=\"addr\" size=\"1700000100\"/><elem name=\"addr_realloc\" size=\"2147483647\"/>"
                    "<elem name=\"size\" size=\"4\"/><elem name=\"tot_size\" size=\"4\"/>"
                    "<elem name=\"location\" size=\"4\"/></entry>";
                opt.variant.entry_xml['f'] =
                    "<entry tag=\"f\" name=\"kiv_e_free\" desc=\"Free memory\">"
                    "<elem name=\"id\" size=\"-5\"/><elem name=\"color\" size=\"-2147483648\"/>"
                    "<elem name=\"addr\" size=\"4\"/><elem name=\"location\" size=\"4\"/></entry>";
              }),
       0, {}, {},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "after every record")); }},
      {"BigEndianData",
       run_of([](kivw::trace_session& s) { s.encoded('R', {0x01020304, 64, 0, 2, "big"}); },
              [](kivw::trace_options& opt) { opt.order = kivw::byte_order::big; }),
       0, {}, {},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "Reserve Id 16909060 big")); }},
      {"RecordTypeMissingFromHeader",
       run_of([](kivw::trace_session& s) { s.encoded('R', {9, 64, 0, 2, "no entry"}); },
              [](kivw::trace_options& opt) { opt.variant.omit_entries = {'R'}; }),
       0, {"OUT OF SYNC!!! record: 1Corrected...\n"}, {},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "Reserve Id 0 ")); }},
      {"DuplicateHashloc",
       run_of([](kivw::trace_session& s) {
         s.hashloc(0x10, "first.c:1");
         s.hashloc(0x10, "second.c:2");
       }),
       0, {"Error hashloc 16 already found! \n"}, {},
       [](const trace_dir& d) { EXPECT_EQ(d.table("hashloc"), "4711;7;16;first.c:1\n"); }},
      {"DuplicateReserveId",
       run_of([](kivw::trace_session& s) {
         s.encoded('R', {5, 64, 0, 1, "first"});
         s.encoded('R', {5, 64, 0, 1, "second"});
       }),
       0, {"Error mal_id 5 already found! \n"}, {}, nullptr},
      {"FreeIdOfUnknownId", run_of([](kivw::trace_session& s) { s.encoded('F', {42, 0, 0, 0}); }), 0, {}, {},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "MalId;Free;Free Id 99999999 Unknown Malloc ID")); }},
      {"ProcessNeverStarted",
       run_of([](kivw::trace_session& s) {
         s.encoded('s', {0, 99});
         s.encoded('X', {98});
       }),
       0, {}, {},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "Process;End;End: ")); }},
      {"FreeOfUnknownAddress", run_of([](kivw::trace_session& s) { s.free(5, 0, 0xdead0, 0, ""); }), 0,
       {"Error in FREE: illegal address dead0\n"}, {},
       [](const trace_dir& d) {
         EXPECT_EQ(count_lines(d.table("memory")), 1U);
         EXPECT_EQ(d.table("freemem"), "");
       }},
      {"ColourOutOfRange",
       run_of([](kivw::trace_session& s) {
         s.reserve_id(5, 64, 0, "", 2, "two colours");
         s.reserve_id_colors(7, "beyond");
         s.malloc_wf(5, 7, 0x1000, 8, 16, 0, "");
         s.malloc_wf(5, -1, 0x2000, 8, 16, 0, "");
         s.free(5, 7, 0x1000, 0, "");
       }),
       0, {}, {"Colour 7 \"beyond\" of malloc id 5 ignored: the id keeps colours below 2"},
       [](const trace_dir& d) { EXPECT_EQ(count_lines(d.table("memory")), 3U); }},
      {"HugeColourCount",
       run_of([](kivw::trace_session& s) {
         s.reserve_id(5, 64, 0, "", 0x7fffffff, "many colours");
         s.reserve_id_colors(1000000, "far");
         s.malloc_wf(5, 1000000, 0x1000, 8, 16, 0, "");
         s.free(5, 1000000, 0x1000, 0, "");
       }),
       0, {},
       {"Colour 1000000 \"far\" of malloc id 5 ignored: the id keeps colours below 4096",
        "color table: malloc id 5 declares 2147483647 colours; only the first 4096 are written"},
       [](const trace_dir& d) { EXPECT_EQ(count_lines(d.table("memory")), 2U); }},
      {"FlowToUnknownFunction",
       run_of([](kivw::trace_session& s) {
         s.process_start(7, 1, "session");
         s.schedule(0, 7);
         s.flow_in(3, 1, 4, 2);
         s.flow_out();
         s.flow_out();
         s.vorex_flow_in(9, 1, 1, 0x10, "args");
         s.vorex_flow_out(9, 1, 1, "args");
         s.process_end(7);
       }),
       0, {}, {},
       [](const trace_dir& d) {
         EXPECT_EQ(count_lines(d.table("flow")), 4U);
         EXPECT_TRUE(contains(d.table("marker"), "Process;End;End: session 7\n"));
       }},
      {"QueryOutWithoutQueryIn", run_of([](kivw::trace_session& s) { s.query_out(3, 0); }), 0, {}, {},
       [](const trace_dir& d) {
         EXPECT_EQ(d.table("queryevents"), "");
         read_to_the_end(d);
       }},
      {"HugeSymbolDimensionCount",
       run_of([](kivw::trace_session& s) {
         s.process_start(7, 1, "session");
         s.schedule(0, 7);
         s.symbol_new_sym(0x10, 1, 2);
         s.symbol_dims(0x10, 0xffffffff, 1, 2, 3, 4);
         s.symbol_alloc(0x10, 1, 16, "sym");
         s.process_end(7);
       }),
       0, {}, {},
       [](const trace_dir& d) { EXPECT_EQ(count_lines(d.table("symbols")), 1U); }},
      {"TableFileCannotBeCreated",
       [](trace_dir& d) {
         auto args = run_of([](kivw::trace_session& s) { s.marker("rows of other tables"); })(d);
         fs::create_directory(d.path("kiv.4711.memory.1.csv"));
         return args;
       },
       1, {}, {"kiv: cannot open table file ./kiv.4711.memory.1.csv"},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "rows of other tables")); }},
      {"ScriptCannotBeCreated",
       [](trace_dir& d) {
         auto args = run_of([](kivw::trace_session& s) { s.marker("tables still written"); })(d);
         fs::create_directory(d.path("kiv.4711.sql"));
         return args;
       },
       1, {}, {"kiv: cannot create SQL script ./kiv.4711.sql"},
       [](const trace_dir& d) { EXPECT_TRUE(contains(d.table("marker"), "tables still written")); }},
  };
}

class BadInput : public ::testing::TestWithParam<bad_input> {};

TEST_P(BadInput, IsReportedAndKeepsWhatWasConverted) {
  const bad_input& c = GetParam();
  trace_dir d;
  const kivtest::program_result r = d.kiv(c.build(d));
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  for (const std::string& part : c.out) EXPECT_TRUE(contains(r.out, part)) << "missing on stdout: " << part << "\n" << r.out;
  for (const std::string& part : c.err) EXPECT_TRUE(contains(r.err, part)) << "missing on stderr: " << part << "\n" << r.err;
  if (c.tables) c.tables(d);
}

INSTANTIATE_TEST_SUITE_P(UnusualTraces, BadInput, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<bad_input>& info) { return info.param.name; });

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
  return n;
}

// A directory run stops at the first illegal tag: the next header is not
// converted, the tables written so far are closed and kept, the exit status
// is a failure.
TEST(UnusualDirectories, IllegalTagStopsTheDirectoryRun) {
  trace_dir d;
  for (const std::int32_t pid : {7, 8}) {
    kivw::trace_options opt = d.options();
    opt.pid = pid;
    kivw::trace_session s(opt);
    s.marker("kept " + std::to_string(pid));
    s.raw_record('!', "xyz");
    s.close();
  }
  const kivtest::program_result r = d.kiv({"-R", runid});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(occurrences(r.out, "Processing: "), 1U) << r.out;
  EXPECT_EQ(occurrences(r.out, "Illegal event detected."), 1U) << r.out;
  EXPECT_EQ(occurrences(kivtest::read_file(d.path(std::string(runid) + "/kiv.4711.marker.1.csv")), ";Marker;;kept "), 1U);
  EXPECT_TRUE(fs::exists(d.path(std::string(runid) + "/kiv.4711.sql")));
}

// Entries that are not readable regular files are left out or reported;
// the readable header is converted all the same.
TEST(UnusualDirectories, UnreadableEntriesDoNotStopTheRun) {
  trace_dir d;
  {
    kivw::trace_session s(d.options());
    s.marker("readable");
    s.close();
  }
  const fs::path dir = d.path(runid);
  fs::create_symlink("nowhere.kivhdr", dir / "dangling.kivhdr");
  fs::create_directory(dir / "sub.kivhdr");
  kivtest::write_file(dir / "locked.9.kivhdr", "<kiv><filetype type=\"bin\"/></kiv>\n");
  fs::permissions(dir / "locked.9.kivhdr", fs::perms::none);
  const kivtest::program_result r = d.kiv({"-R", runid});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Processing: kiv.7.kivhdr\n"));
  EXPECT_FALSE(contains(r.out, "dangling"));
  EXPECT_FALSE(contains(r.out, "sub.kivhdr"));
  // Permissions do not hold back the superuser, who reads the file.
  if (::geteuid() != 0) {
    EXPECT_TRUE(contains(r.err, "header file 4711/locked.9.kivhdr cannot be opened")) << r.err;
    EXPECT_TRUE(contains(r.out, "Processing: locked.9.kivhdr\n>>Processing failed...\n")) << r.out;
  }
  EXPECT_TRUE(contains(kivtest::read_file(dir / "kiv.4711.marker.1.csv"), ";Marker;;readable\n"));
}

// A trace directory the program may not write to: every table and the
// script are reported as lost, the conversion still reads everything.
// The superuser writes into any directory unless it is immutable; false
// when the flag cannot be changed (no such capability, or a file system
// without the flag).
bool set_immutable(const fs::path& dir, bool on) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return ok;
}

TEST(UnusualDirectories, UnwritableOutputDirectoryLosesTablesButReadsTheData) {
  trace_dir d;
  {
    kivw::trace_session s(d.options());
    s.marker("read anyway");
    s.close();
  }
  const fs::path dir = d.path(runid);
  const bool superuser = ::geteuid() == 0;
  if (superuser && !set_immutable(dir, true)) GTEST_SKIP() << "the superuser cannot make a directory immutable here";
  if (!superuser) fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
  const kivtest::program_result r = d.kiv({"-R", runid});
  if (superuser) set_immutable(dir, false);
  else fs::permissions(dir, fs::perms::owner_all);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "kiv: cannot create SQL script 4711/kiv.4711.sql")) << r.err;
  EXPECT_TRUE(contains(r.err, "kiv: cannot open table file 4711/kiv.4711.marker.1.csv")) << r.err;
  EXPECT_TRUE(contains(r.err, " closing file ./4711/kiv.7.000.kivdat")) << r.err;
}

}  // namespace
