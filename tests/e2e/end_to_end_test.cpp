// The whole way: kivgen writes a run that holds every record type, the kiv
// program converts it, and the tables it writes must be complete, registered
// in the import script and consistent with each other.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/run_program.h"
#include "support/scratch_dir.h"
#include "writer/trace_decoder.h"

namespace {

const std::string run_id = "e2e";
const std::string every_tag = "HanfrSGRcFZIOsPXBLplbioQqCTMyDYd";

// Tables in the order the converter creates them.
const std::vector<std::string> tables = {"memory",  "sbrk",     "queryevents", "marker", "freemem", "arena",
                                         "arcs",    "symbols",  "flowdata",    "flow",   "process", "hashloc",
                                         "malid",   "color",    "queries",     "runs",   "objects", "functions"};

// Columns of a "memory" row: prefix, tag, run record counter, then the
// event context (process id and arc first, the arc's two functions as
// object/function pairs) and the record's location.
constexpr std::size_t mem_tag = 3;
constexpr std::size_t mem_recnr = 4;
constexpr std::size_t mem_ctx_pid = 6;
constexpr std::size_t mem_ctx_arc = 7;
constexpr std::size_t mem_ctx_parent_obj = 10;
constexpr std::size_t mem_location = 18;
constexpr std::size_t mem_freed_seq = 27;  // last of the eight record columns

// Columns of the other tables that the checks join on.
constexpr std::size_t arcs_pid = 2;
constexpr std::size_t arcs_nr = 3;
constexpr std::size_t arcs_parent_obj = 5;
constexpr std::size_t arcs_child_obj = 9;
constexpr std::size_t flow_pid = 2;
constexpr std::size_t process_pid = 2;
constexpr std::size_t hashloc_key = 2;
constexpr std::size_t freemem_block = 2;
constexpr std::size_t freemem_freer = 3;
constexpr std::size_t freemem_tag = 4;

using row = std::vector<std::string>;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

row split(const std::string& line, char sep) {
  row fields;
  std::string field;
  for (char c : line) {
    if (c == sep) {
      fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  fields.push_back(field);
  return fields;
}

std::uint64_t number(const std::string& text) { return std::stoull(text); }

struct converted {
  std::unique_ptr<kivtest::scratch_dir> dir;
  kivtest::program_result kiv;
  std::string script;
  std::map<std::string, std::string> files;  // table -> content ("" when missing)
  std::set<std::string> missing;
  std::vector<trace_test::decoded_record> records;
};

// Generates the run into a fresh directory and converts it with `args`
// added to the kiv command line.
converted generate_and_convert(const std::vector<std::string>& args) {
  converted c;
  c.dir = std::make_unique<kivtest::scratch_dir>("kiv_e2e");
  const std::string dir = c.dir->path().string();
  const auto gen = kivtest::run_program(KIVGEN_BINARY, {{"--dir", dir, "--runid", run_id, "--seed", "7", "--records",
                                                         "60000", "--size", "64"},
                                                        "",
                                                        {}});
  EXPECT_EQ(gen.status, 0) << gen.err;
  EXPECT_EQ(gen.out, "cd " + dir + " && kiv -R " + run_id + "\n");

  const std::string run_dir = dir + "/" + run_id;
  for (const auto& e : std::filesystem::directory_iterator(run_dir))
    if (e.path().extension() == ".kivhdr") {
      const auto header = trace_test::read_header(e.path().string());
      std::string error;
      c.records = trace_test::decode_run(dir, header, &error);
      EXPECT_EQ(error, "");
    }

  kivtest::program_run run{{"-R", run_id}, dir, {{"TZ", "UTC"}, {"USER", "tester"}}};
  run.args.insert(run.args.end(), args.begin(), args.end());
  c.kiv = kivtest::run_program(KIV_BINARY, run);
  EXPECT_EQ(c.kiv.status, 0) << c.kiv.err;
  // Under the sanitizer build, undefined behaviour is reported without changing the exit status.
  EXPECT_EQ(c.kiv.err.find("runtime error"), std::string::npos) << c.kiv.err;
  c.script = kivtest::read_file(run_dir + "/kiv." + run_id + ".sql");
  for (const auto& t : tables) {
    const std::filesystem::path path = run_dir + "/kiv." + run_id + "." + t + ".1.csv";
    if (!std::filesystem::exists(path)) c.missing.insert(t);
    c.files[t] = kivtest::read_file(path);
  }
  return c;
}

class EndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    semicolon = new converted(generate_and_convert({}));
    comma = new converted(generate_and_convert({"-sd", ","}));
  }
  static void TearDownTestSuite() {
    delete semicolon;
    delete comma;
    semicolon = comma = nullptr;
  }

  // The rows of a table of the default run, split at the separator. Texts
  // that kivgen writes hold no ';', so every ';' is a separator.
  static std::vector<row> rows(const std::string& table) {
    std::vector<row> result;
    for (const auto& line : lines_of(semicolon->files.at(table))) result.push_back(split(line, ';'));
    return result;
  }

  static converted* semicolon;
  static converted* comma;
};

converted* EndToEnd::semicolon = nullptr;
converted* EndToEnd::comma = nullptr;

TEST_F(EndToEnd, TraceHoldsEveryRecordType) {
  std::set<char> seen;
  for (const auto& r : semicolon->records) seen.insert(r.tag);
  for (char tag : every_tag) EXPECT_EQ(seen.count(tag), 1u) << "no record with tag " << tag;
}

TEST_F(EndToEnd, EveryTableIsWrittenAndRegisteredOnceInCreationOrder) {
  EXPECT_EQ(semicolon->missing, std::set<std::string>{});
  for (const auto& t : tables) {
    for (const auto& line : lines_of(semicolon->files.at(t))) EXPECT_NE(line, "") << "empty line in " << t;
    if (t != "queries" && t != "flowdata") continue;
    // Rows of these tables may span lines; the last one is closed by the marker.
    const auto lines = lines_of(semicolon->files.at(t));
    if (!lines.empty()) {
      EXPECT_TRUE(lines.back().ends_with("<<>>")) << t << ": " << lines.back();
    }
  }
  for (const char* t : {"memory", "sbrk", "queryevents", "marker", "freemem", "arena", "arcs", "symbols", "flow",
                        "process", "hashloc", "malid", "color", "queries", "runs", "objects", "functions"})
    EXPECT_NE(semicolon->files.at(t), "") << t << " has no rows";

  std::string expected =
      "USE KIV\nDECLARE @RUNID varchar(10)\nDECLARE @Path varchar(100)\n\nSET @RUNID = '" + run_id +
      "'\nSET @Path = '$(ScriptDir)\\'\n\n";
  for (const auto& t : tables) {
    const std::string args = "@Path, '" + run_id + "', '" + t + "1', '" + t + "', '1'";
    if (t == "memory")
      expected += "execute Do_Import_Kiv_Csv_File_Memory " + args + ";\n";
    else if (t == "queries" || t == "flowdata")
      expected += "execute Do_Import_Kiv_Csv_File " + args + ", '<<>>';\n";
    else
      expected += "execute Do_Import_Kiv_Csv_File " + args + ";\n";
  }
  EXPECT_EQ(semicolon->script, expected);
  EXPECT_EQ(lines_of(semicolon->files.at("runs")).size(), 1u);
}

TEST_F(EndToEnd, MemoryRowsNameArcsOfTheirProcessAndKnownLocations) {
  std::map<std::pair<std::string, std::string>, row> arcs;  // (pid, arc) -> row
  for (const auto& r : rows("arcs")) {
    ASSERT_EQ(r.size(), 12u);
    EXPECT_TRUE(arcs.emplace(std::make_pair(r[arcs_pid], r[arcs_nr]), r).second)
        << "arc " << r[arcs_nr] << " of process " << r[arcs_pid] << " written twice";
  }
  std::set<std::string> keys;
  for (const auto& r : rows("hashloc")) EXPECT_TRUE(keys.insert(r.at(hashloc_key)).second) << "key " << r[hashloc_key];

  std::uint64_t expected_nr = 1;
  int on_arcs = 0;
  for (const auto& r : rows("memory")) {
    ASSERT_GT(r.size(), mem_freed_seq);
    // Every memory record takes the next run-wide record number.
    EXPECT_EQ(number(r[mem_recnr]), expected_nr) << r[mem_tag];
    expected_nr = number(r[mem_recnr]) + 1;
    const std::string& arc = r[mem_ctx_arc];
    if (r[mem_ctx_pid] == "0") {
      EXPECT_EQ(arc, "0") << "record " << r[mem_recnr] << " outside a traced process";
    } else {
      const auto it = arcs.find({r[mem_ctx_pid], arc});
      ASSERT_NE(it, arcs.end()) << "record " << r[mem_recnr] << ": arc " << arc << " of process " << r[mem_ctx_pid];
      // The context names the arc's caller and callee as object/function pairs.
      EXPECT_EQ(row(r.begin() + mem_ctx_parent_obj, r.begin() + mem_ctx_parent_obj + 4),
                (row{it->second[arcs_parent_obj], it->second[arcs_parent_obj + 1], it->second[arcs_child_obj],
                     it->second[arcs_child_obj + 1]}))
          << "record " << r[mem_recnr];
      ++on_arcs;
    }
    const std::string& loc = r[mem_location];
    if (loc != "0") {
      EXPECT_EQ(keys.count(loc), 1u) << "record " << r[mem_recnr] << " location " << loc;
    }
  }
  EXPECT_GT(on_arcs, 0);
}

TEST_F(EndToEnd, FreememNamesEarlierRecordsAndTheRecordThatFreedThem) {
  std::map<std::uint64_t, row> memory;  // record number -> row
  for (auto& r : rows("memory")) memory[number(r.at(mem_recnr))] = r;
  std::set<std::uint64_t> freed;
  std::map<std::string, int> by_tag;
  for (const auto& r : rows("freemem")) {
    ASSERT_EQ(r.size(), 5u);
    const std::uint64_t block = number(r[freemem_block]);
    const std::uint64_t freer = number(r[freemem_freer]);
    const std::string& tag = r[freemem_tag];
    ++by_tag[tag];
    EXPECT_LT(block, freer);
    EXPECT_TRUE(freed.insert(block).second) << "block " << block << " leaves twice";
    const auto made = memory.find(block);
    ASSERT_NE(made, memory.end()) << "block " << block;
    // A block is made by an allocation or takes the number of an in-place realloc.
    const std::string allowed = tag == "F" || tag == "Z" ? "anr" : "ar";
    EXPECT_NE(allowed.find(made->second[mem_tag]), std::string::npos) << "block " << block;
    const auto freeing = memory.find(freer);
    ASSERT_NE(freeing, memory.end()) << "freeing record " << freer;
    EXPECT_EQ(freeing->second[mem_tag], tag) << "freeing record " << freer;
    if (tag == "f" || tag == "r") {
      EXPECT_EQ(number(freeing->second[mem_freed_seq]), block) << "record " << freer;
    }
  }
  for (const char* tag : {"f", "r", "F", "Z"}) EXPECT_GT(by_tag[tag], 0) << tag;
}

TEST_F(EndToEnd, FlowProcessesHaveProcessRows) {
  std::set<std::string> processes;
  for (const auto& r : rows("process")) processes.insert(r.at(process_pid));
  int flow_rows = 0;
  for (const auto& r : rows("flow")) {
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(processes.count(r[flow_pid]), 1u) << "flow of process " << r[flow_pid];
    ++flow_rows;
  }
  EXPECT_GT(flow_rows, 0);
}

// With -sd ',' every separator between columns turns into ',' and nothing
// else changes: the tables have the same lines, character for character,
// except at the separators. Only the object/function pairs of the context
// columns (rows that carry an event context) keep ";", the function
// separator.
TEST_F(EndToEnd, FieldSeparatorReachesEveryTable) {
  EXPECT_EQ(comma->missing, std::set<std::string>{});
  for (const auto& t : tables) {
    const auto plain = lines_of(semicolon->files.at(t));
    const auto with_comma = lines_of(comma->files.at(t));
    ASSERT_EQ(plain.size(), with_comma.size()) << t;
    const bool has_context = t == "memory" || t == "queryevents" || t == "sbrk" || t == "arena";
    const std::size_t pairs = has_context ? 2 : 0;
    std::set<std::size_t> separator_counts;
    for (std::size_t i = 0; i < plain.size(); ++i) {
      ASSERT_EQ(plain[i].size(), with_comma[i].size()) << t << " line " << i + 1;
      std::size_t switched = 0, kept = 0;
      for (std::size_t k = 0; k < plain[i].size(); ++k) {
        if (plain[i][k] == with_comma[i][k]) {
          kept += plain[i][k] == ';';
          continue;
        }
        EXPECT_EQ(plain[i][k], ';') << t << " line " << i + 1;
        EXPECT_EQ(with_comma[i][k], ',') << t << " line " << i + 1;
        ++switched;
      }
      if (plain[i] == "<<>>") continue;
      EXPECT_EQ(kept, pairs) << t << " line " << i + 1 << ": " << with_comma[i];
      separator_counts.insert(switched);
    }
    // Rows of one table have one width.
    if (t != "queries" && t != "flowdata" && t != "marker") {
      EXPECT_LE(separator_counts.size(), 1u) << t;
    }
  }
}

}  // namespace
