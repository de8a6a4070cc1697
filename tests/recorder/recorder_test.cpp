// kivrec end to end: programs with known heap work are recorded and
// converted by kiv, and kiv's tables must show exactly that work.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/run_program.h"
#include "support/scratch_dir.h"

namespace {

using kivtest::program_result;
using kivtest::read_file;
using kivtest::run_program;
using kivtest::scratch_dir;

constexpr const char* runid = "rec";

std::vector<std::string> split(const std::string& line, char sep = ';') {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, sep)) fields.push_back(field);
  if (!line.empty() && line.back() == sep) fields.emplace_back();
  return fields;
}

std::vector<std::vector<std::string>> table_rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) rows.push_back(split(line));
  return rows;
}

// Columns of a "memory" row.
enum memory_column {
  m_pid = 1, m_tag = 3, m_sequence = 4, m_process = 6, m_arc = 7, m_location = 18, m_id = 19, m_addr = 21,
  m_realloc_addr = 26, m_realloc_sequence = 27
};

// One memory record as kiv wrote it, with its call site's function.
struct memory_row {
  std::string pid, tag, sequence, function, id, addr, realloc_addr, realloc_sequence, arc, process;
};

// A recorded and converted run, read back from kiv's tables.
struct converted_run {
  program_result record;
  program_result convert;
  std::vector<memory_row> memory;
  std::set<std::pair<std::string, std::string>> freed;  // pid, record number of blocks that left the model
  std::vector<std::vector<std::string>> process, marker, malid, arcs, flow;
  std::string table(const std::string& name) const { return read_file(dir + "/" + runid + "/kiv." + runid + "." + name + ".1.csv"); }
  std::string dir;

  // Rows of `pid` with `tag` whose call site is in `function`.
  int count(const std::string& pid, const std::string& tag, const std::string& function) const {
    int n = 0;
    for (const memory_row& r : memory) n += r.pid == pid && r.tag == tag && r.function == function;
    return n;
  }
  // Allocations of `pid` still live at the end, by function.
  std::map<std::string, int> leaks(const std::string& pid) const {
    std::map<std::string, int> out;
    for (const memory_row& r : memory)
      if (r.pid == pid && r.tag == "a" && freed.count({pid, r.sequence}) == 0) ++out[r.function];
    return out;
  }
};

// "known_work:leak_one+0x12" -> "leak_one" for the test programs' own
// sites; C++ names are demangled far enough to find the function
// ("_ZN12_GLOBAL__N_19leak_nodeEv" -> "leak_node").
std::string function_of(const std::string& location) {
  const std::size_t colon = location.find(':');
  if (colon == std::string::npos || !(location.starts_with("known_work") || location.starts_with("flow_work")))
    return "";
  std::string name = location.substr(colon + 1, location.find('+') - colon - 1);
  if (!name.starts_with("_Z")) return name;
  std::size_t i = name.rfind("Ev");
  if (i == std::string::npos) return name;
  std::size_t start = i;
  while (start > 0 && !std::isdigit(static_cast<unsigned char>(name[start - 1]))) --start;
  return name.substr(start, i - start);
}

converted_run record_and_convert(const scratch_dir& dir, const std::vector<std::string>& program_args,
                                 const std::vector<std::string>& options = {},
                                 const std::map<std::string, std::optional<std::string>>& env = {},
                                 bool read_tables = true) {
  converted_run run;
  run.dir = dir.path().string();
  std::vector<std::string> args = {"--dir", run.dir, "--runid", runid, "--quiet"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back("--");
  args.insert(args.end(), program_args.begin(), program_args.end());
  run.record = run_program(KIVREC_BINARY, {args, "", env});
  run.convert = run_program(KIV_BINARY, {{"-R", runid}, run.dir, {}});
  run.process = table_rows(run.table("process"));
  if (!read_tables) return run;
  std::map<std::string, std::string> locations;
  for (const auto& row : table_rows(run.table("hashloc")))
    if (row.size() == 4) locations[row[2]] = row[3];
  for (const auto& row : table_rows(run.table("memory"))) {
    if (row.size() <= m_realloc_sequence) continue;
    run.memory.push_back({row[m_pid], row[m_tag], row[m_sequence], function_of(locations[row[m_location]]),
                          row[m_id], row[m_addr], row[m_realloc_addr], row[m_realloc_sequence], row[m_arc],
                          row[m_process]});
  }
  for (const auto& row : table_rows(run.table("freemem")))
    if (row.size() == 5) run.freed.insert({row[1], row[2]});
  run.marker = table_rows(run.table("marker"));
  run.malid = table_rows(run.table("malid"));
  run.arcs = table_rows(run.table("arcs"));
  run.flow = table_rows(run.table("flow"));
  return run;
}

// kiv read every record where the recorder put it.
void expect_clean_conversion(const converted_run& run) {
  EXPECT_EQ(run.convert.status, 0);
  for (const std::string& text : {run.convert.out, run.convert.err}) {
    EXPECT_EQ(text.find("OUT OF SYNC"), std::string::npos) << text;
    EXPECT_EQ(text.find("illegal"), std::string::npos) << text;
    EXPECT_EQ(text.find("Error"), std::string::npos) << text;
    EXPECT_EQ(text.find("DB"), std::string::npos) << text;
  }
}

std::vector<std::string> headers_in(const std::string& run_dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(run_dir))
    if (e.path().extension() == ".kivhdr") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Process rows of traced processes (pid 0 is kiv's default process).
std::vector<std::vector<std::string>> traced_processes(const converted_run& run) {
  std::vector<std::vector<std::string>> rows;
  for (const auto& row : run.process)
    if (row.size() > 6 && row[2] != "0") rows.push_back(row);
  return rows;
}

TEST(Recorder, KnownWorkIsExactInKivsTables) {
  scratch_dir dir("kivrec_known");
  const converted_run run = record_and_convert(dir, {KNOWN_WORK_BINARY});
  ASSERT_EQ(run.record.status, 0) << run.record.err;
  expect_clean_conversion(run);

  // Parent and forked child: one header each, both processes in the table.
  const auto processes = traced_processes(run);
  ASSERT_EQ(processes.size(), 2u);
  const bool first_is_parent = std::stol(processes[0][2]) < std::stol(processes[1][2]);
  const std::string parent = first_is_parent ? processes[0][2] : processes[1][2];
  const std::string child = parent == processes[0][2] ? processes[1][2] : processes[0][2];
  for (const auto& p : processes) {
    EXPECT_EQ(p[3], "known_work");
    if (p[2] == child) {
      EXPECT_EQ(p[6], parent) << "the child names its parent";
    }
  }
  EXPECT_EQ(headers_in(dir / runid).size(), 2u);

  EXPECT_EQ(run.count(parent, "a", "pairs"), 100);
  EXPECT_EQ(run.count(parent, "f", "pairs"), 100);
  EXPECT_EQ(run.count(parent, "a", "thread_work"), 1000);
  EXPECT_EQ(run.count(parent, "f", "thread_work"), 1000);
  EXPECT_EQ(run.count(parent, "a", "realloc_in_place"), 1);
  EXPECT_EQ(run.count(parent, "r", "realloc_in_place"), 1);
  EXPECT_EQ(run.count(parent, "f", "realloc_in_place"), 1);
  EXPECT_EQ(run.count(parent, "a", "realloc_moved"), 3);
  EXPECT_EQ(run.count(parent, "f", "realloc_moved"), 3);
  EXPECT_EQ(run.count(parent, "a", "realloc_edges"), 1);
  EXPECT_EQ(run.count(parent, "f", "realloc_edges"), 1);
  EXPECT_EQ(run.count(parent, "a", "aligned"), 2);
  EXPECT_EQ(run.count(parent, "f", "aligned"), 2);
  EXPECT_EQ(run.count(child, "a", "child_work"), 5);
  EXPECT_EQ(run.count(child, "f", "child_work"), 4);
  EXPECT_EQ(run.count(child, "a", "pairs"), 0) << "the child's trace starts at the fork";

  // The moved realloc names the old block and its record number.
  int moves = 0;
  for (const memory_row& r : run.memory) {
    if (r.function != "realloc_moved" || r.tag != "a" || r.realloc_addr == "0") continue;
    ++moves;
    bool old_found = false;
    for (const memory_row& old : run.memory)
      old_found |= old.addr == r.realloc_addr && old.sequence == r.realloc_sequence && old.tag == "a";
    EXPECT_TRUE(old_found);
  }
  EXPECT_EQ(moves, 1);

  const std::map<std::string, int> parent_leaks = {{"leak_one", 3}, {"leak_two", 2}};
  std::map<std::string, int> own_leaks;
  for (const auto& [function, n] : run.leaks(parent))
    if (!function.empty()) own_leaks[function] = n;
  EXPECT_EQ(own_leaks, parent_leaks);
  std::map<std::string, int> child_leaks;
  for (const auto& [function, n] : run.leaks(child))
    if (!function.empty()) child_leaks[function] = n;
  EXPECT_EQ(child_leaks, (std::map<std::string, int>{{"child_work", 1}}));

  // The program's allocations are under its own malloc id, linked to it.
  bool program_id = false;
  for (const auto& row : run.malid)
    program_id |= row.size() > 5 && row[4] == "proc:" + parent + ":known_work" && row[5] == "proc";
  EXPECT_TRUE(program_id);
  bool fork_marker = false;
  for (const auto& row : run.marker) fork_marker |= row.size() > 8 && row[1] == parent && row[8] == "fork";
  EXPECT_TRUE(fork_marker);
}

TEST(Recorder, CppAllocationsAreCountedWhereTheProgramMadeThem) {
  scratch_dir dir("kivrec_cpp");
  const converted_run run = record_and_convert(dir, {KNOWN_WORK_CPP_BINARY});
  ASSERT_EQ(run.record.status, 0) << run.record.err;
  expect_clean_conversion(run);
  const std::string pid = traced_processes(run).at(0)[2];
  // std::string allocates inside the C++ runtime: the site is the caller.
  EXPECT_EQ(run.count(pid, "a", "make_strings"), 20);
  EXPECT_EQ(run.count(pid, "f", "make_strings"), 20);
  EXPECT_EQ(run.count(pid, "a", "node_pairs_work"), 150);
  EXPECT_EQ(run.count(pid, "f", "node_pairs_work"), 150);
  std::map<std::string, int> own_leaks;
  for (const auto& [function, n] : run.leaks(pid))
    if (!function.empty()) own_leaks[function] = n;
  // printf's buffer for standard output, allocated inside the C library,
  // is never freed: a leak of main.
  EXPECT_EQ(own_leaks, (std::map<std::string, int>{{"leak_node", 2}, {"main", 1}}));
}

TEST(Recorder, InstrumentedProgramGivesRealCallArcs) {
  scratch_dir dir("kivrec_flow");
  const converted_run run = record_and_convert(dir, {FLOW_WORK_BINARY});
  ASSERT_EQ(run.record.status, 0) << run.record.err;
  expect_clean_conversion(run);
  EXPECT_EQ(run.convert.err.find("ERROR"), std::string::npos) << run.convert.err;
  // Arc number -> "caller > callee"; arc 0 is the process's own.
  std::map<std::string, std::string> arcs;
  for (const auto& row : run.arcs)
    if (row.size() == 12) arcs[row[3]] = row[7] + " > " + row[11];
  const std::map<std::string, std::string> expected = {{"0", "3gl process init+term > 3gl process init+term"},
                                                       {"1", "flow_work > main"},
                                                       {"2", "main > outer"},
                                                       {"3", "outer > inner"},
                                                       {"4", "outer > shared"},
                                                       {"5", "main > shared"}};
  EXPECT_EQ(arcs, expected);
  std::map<std::string, int> entries, exits;  // by arc
  for (const auto& row : run.flow) {
    if (row.size() != 8 || row[6] == "0") continue;
    ++(row[7] == ">" ? entries : exits)[row[6]];
  }
  const std::map<std::string, int> calls = {{"1", 1}, {"2", 1}, {"3", 3}, {"4", 1}, {"5", 1}};
  EXPECT_EQ(entries, calls);
  EXPECT_EQ(exits, calls);
  // The memory records of shared() carry the arc it was called by.
  std::multiset<std::string> shared_arcs;
  for (const memory_row& r : run.memory)
    if (r.function == "shared") shared_arcs.insert(r.tag + r.arc);
  EXPECT_EQ(shared_arcs, (std::multiset<std::string>{"a4", "f4", "a5", "f5"}));
}

TEST(Recorder, ThreadsAsProcessesGetTheirOwnProcesses) {
  scratch_dir dir("kivrec_threads");
  const converted_run run = record_and_convert(dir, {KNOWN_WORK_BINARY}, {"--threads-as-processes"});
  ASSERT_EQ(run.record.status, 0) << run.record.err;
  expect_clean_conversion(run);
  std::string parent;
  std::set<std::string> threads;
  for (const auto& p : traced_processes(run)) {
    if (p[3] == "known_work" && (parent.empty() || std::stol(p[2]) < std::stol(parent))) parent = p[2];
    if (p[3] == "known_work-thread") threads.insert(p[2]);
  }
  ASSERT_EQ(threads.size(), 4u);
  std::map<std::string, int> allocations, frees;  // by process
  for (const memory_row& r : run.memory) {
    if (r.function != "thread_work") continue;
    ++(r.tag == "a" ? allocations : frees)[r.process];
  }
  for (const std::string& t : threads) {
    EXPECT_EQ(allocations[t], 250) << t;
    EXPECT_EQ(frees[t], 250) << t;
  }
  EXPECT_EQ(run.count(parent, "a", "pairs"), 100);
  int thread_ends = 0;
  for (const auto& row : run.marker)
    thread_ends += row.size() > 8 && row[7] == "End" && row[8].starts_with("End: known_work-thread ");
  EXPECT_EQ(thread_ends, 4);
}

// Programs of the system, whatever they do with their heap (a compiler
// driver that runs its passes as child processes, an interpreter, a
// database shell), are recorded and converted without a framing error.
TEST(Recorder, RealProgramsAreRecordedAndConvertedCleanly) {
  struct real_program {
    std::vector<std::string> command;
    std::map<std::string, std::optional<std::string>> env;
  };
  scratch_dir work("kivrec_real_src");
  kivtest::write_file(work.path() / "unit.c", "int twice(int x) { return 2 * x; }\n");
  const std::vector<real_program> programs = {
      {{"/usr/bin/cc", "-c", work / "unit.c", "-o", work / "unit.o"}, {}},
      {{"/usr/bin/python3", "-c", "print(sum(len(str(i)) for i in range(2000)))"}, {{"PYTHONMALLOC", "malloc"}}},
      {{"/usr/bin/sqlite3", ":memory:", "create table t(a); insert into t values (1), (2); select sum(a) from t;"}, {}}};
  int recorded = 0;
  for (const real_program& p : programs) {
    if (!std::filesystem::exists(p.command[0])) continue;
    ++recorded;
    scratch_dir dir("kivrec_real");
    const converted_run run = record_and_convert(dir, p.command, {}, p.env, false);
    EXPECT_EQ(run.record.status, 0) << p.command[0] << run.record.err;
    expect_clean_conversion(run);
    EXPECT_FALSE(traced_processes(run).empty()) << p.command[0];
    const std::string memory = run.table("memory");
    EXPECT_GT(std::count(memory.begin(), memory.end(), '\n'), 10) << p.command[0];
  }
  if (recorded == 0) GTEST_SKIP() << "none of cc, python3 and sqlite3 is installed";
}

// The header names the user from USER, else LOGNAME, else the numeric uid;
// kiv carries it into the "runs" table of every header.
TEST(Recorder, HeaderNamesTheUser) {
  constexpr std::size_t runs_user = 8;
  const std::vector<std::pair<std::map<std::string, std::optional<std::string>>, std::string>> cases = {
      {{{"USER", "anna"}, {"LOGNAME", "bert"}}, "anna"},
      {{{"USER", std::nullopt}, {"LOGNAME", "bert"}}, "bert"},
      {{{"USER", ""}, {"LOGNAME", std::nullopt}}, std::to_string(::getuid())}};
  for (const auto& [env, user] : cases) {
    scratch_dir dir("kivrec_user");
    const converted_run run = record_and_convert(dir, {"/bin/true"}, {}, env, false);
    ASSERT_EQ(run.record.status, 0) << run.record.err;
    const auto runs = table_rows(run.table("runs"));
    ASSERT_FALSE(runs.empty());
    for (const auto& row : runs) {
      ASSERT_GT(row.size(), runs_user);
      EXPECT_EQ(row[runs_user], user);
    }
  }
}

TEST(Recorder, FourByteAddressesAreDeclaredAndConvertClean) {
  scratch_dir dir("kivrec_narrow");
  const converted_run run = record_and_convert(dir, {KNOWN_WORK_BINARY}, {"--address-bytes", "4", "--size", "8"});
  ASSERT_EQ(run.record.status, 0) << run.record.err;
  expect_clean_conversion(run);
  const auto headers = headers_in(dir / runid);
  ASSERT_FALSE(headers.empty());
  const std::string header = read_file(dir / runid + "/" + headers[0]);
  EXPECT_NE(header.find("<elem name=\"addr\" size=\"4\"/>"), std::string::npos);
  EXPECT_EQ(header.find("size=\"8\"/>"), std::string::npos);
  std::size_t files = 0;
  for (std::size_t at = header.find("<kivfile>"); at != std::string::npos; at = header.find("<kivfile>", at + 1)) ++files;
  EXPECT_GT(files, 1u) << "8 KiB data files switch";
  std::string parent;  // the forked child's records are in its own header
  for (const auto& p : traced_processes(run))
    if (run.count(p[2], "a", "pairs") != 0) parent = p[2];
  EXPECT_EQ(run.count(parent, "a", "pairs"), 100);
  EXPECT_EQ(run.count(parent, "f", "thread_work"), 1000);
}

TEST(Recorder, ExecClosesTheOldImageAndTheNewOneWritesBesideIt) {
  scratch_dir dir("kivrec_exec");
  const converted_run run = record_and_convert(dir, {KNOWN_WORK_BINARY, "exec"});
  ASSERT_EQ(run.record.status, 0) << run.record.err;
  expect_clean_conversion(run);
  const auto headers = headers_in(dir / runid);
  ASSERT_EQ(headers.size(), 3u);  // the child, the program, /bin/true under the same pid
  int closed = 0;
  for (const std::string& h : headers) {
    const std::string text = read_file(dir / runid + "/" + h);
    closed += text.ends_with("</kiv>\n");
  }
  EXPECT_EQ(closed, 3);
  std::multiset<std::string> names;
  for (const auto& p : traced_processes(run)) names.insert(p[3]);
  EXPECT_EQ(names, (std::multiset<std::string>{"known_work", "known_work", "true"}));
}

TEST(Recorder, KilledProgramLeavesEveryClosedDataFileReadable) {
  scratch_dir dir("kivrec_kill");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::execl(KIVREC_BINARY, "kivrec", "--dir", dir.path().c_str(), "--runid", runid, "--quiet", "--size", "16",
            "--", KNOWN_WORK_BINARY, "spin", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const std::string run_dir = dir / runid;
  // Wait until a few data files have been closed, then kill.
  const auto files = [&run_dir] {
    std::error_code ec;
    std::filesystem::directory_iterator it(run_dir, ec);
    return ec ? 0 : std::distance(it, std::filesystem::directory_iterator());
  };
  for (int i = 0; i < 500 && files() < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const auto headers = headers_in(run_dir);
  ASSERT_EQ(headers.size(), 1u);
  const std::string header = read_file(run_dir + "/" + headers[0]);
  EXPECT_FALSE(header.ends_with("</kiv>\n"));
  EXPECT_NE(header.find("<kivfile>"), std::string::npos);

  const program_result convert = run_program(KIV_BINARY, {{"-R", runid}, dir.path().string(), {}});
  EXPECT_EQ(convert.status, 0);
  EXPECT_EQ(convert.err.find("OUT OF SYNC"), std::string::npos);
  EXPECT_EQ(convert.out.find("OUT OF SYNC"), std::string::npos);
  EXPECT_EQ(convert.out.find("Error"), std::string::npos);
  const std::string markers = read_file(run_dir + "/kiv." + runid + ".marker.1.csv");
  EXPECT_NE(markers.find(";signal 12"), std::string::npos) << "SIGUSR2 marks the trace";
}

TEST(Recorder, FatalSignalStillEndsTheProcessInTheTrace) {
  scratch_dir dir("kivrec_abort");
  const converted_run run = record_and_convert(dir, {KNOWN_WORK_BINARY, "abort"});
  EXPECT_EQ(run.record.status, 128 + SIGABRT);
  expect_clean_conversion(run);
  const auto headers = headers_in(dir / runid);
  ASSERT_EQ(headers.size(), 1u);
  EXPECT_TRUE(read_file(dir / runid + "/" + headers[0]).ends_with("</kiv>\n"));
  bool ended = false;
  for (const auto& row : run.marker) ended |= row.size() > 7 && row[6] == "Process" && row[7] == "End";
  EXPECT_TRUE(ended);
  EXPECT_EQ(run.leaks(traced_processes(run).at(0)[2])["leak_one"], 1);
}

TEST(Recorder, LauncherRejectsBadUse) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"true"}, {"--"}, {"--size", "x", "--", "true"}, {"--address-bytes", "3", "--", "true"},
           {"--bogus", "--", "true"}}) {
    const program_result r = run_program(KIVREC_BINARY, {args, "", {}});
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_NE(r.err.find("usage: kivrec"), std::string::npos);
  }
  const program_result help = run_program(KIVREC_BINARY, {{"--help"}, "", {}});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--address-bytes"), std::string::npos);
}

}  // namespace
