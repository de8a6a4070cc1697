// kivgen end to end: its runs decode cleanly, hold every kind of record in a
// consistent story, and the same seed writes the same bytes.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "writer/test_dir.h"
#include "writer/trace_decoder.h"

namespace {

using trace_test::decoded_record;
using trace_test::test_dir;

struct gen_result {
  int status = -1;
  std::string out;
};

gen_result kivgen(const std::string& args) {
  gen_result r;
  const std::string cmd = std::string(KIVGEN_BINARY) + " " + args + " 2>/dev/null";
  std::FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p) != nullptr) r.out += buf;
  r.status = pclose(p);
  return r;
}

struct run {
  trace_test::decoded_header header;
  std::vector<decoded_record> records;
  std::string error;
};

run load(const std::string& dir, const std::string& runid) {
  run r;
  for (const auto& e : std::filesystem::directory_iterator(dir + "/" + runid))
    if (e.path().extension() == ".kivhdr") r.header = trace_test::read_header(e.path().string());
  r.records = trace_test::decode_run(dir, r.header, &r.error);
  return r;
}

std::map<std::string, std::string> all_files(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file())
      files[std::filesystem::relative(e.path(), dir).string()] = trace_test::read_file(e.path().string());
  return files;
}

TEST(Kivgen, RunIsConsistentAndHoldsEveryRecordType) {
  test_dir dir;
  const auto g = kivgen("--dir " + dir.str() + " --runid demo --records 60000 --size 64 --seed 3");
  ASSERT_EQ(g.status, 0);
  EXPECT_EQ(g.out, "cd " + dir.str() + " && kiv -R demo\n");
  const run r = load(dir.str(), "demo");
  ASSERT_EQ(r.error, "");
  EXPECT_TRUE(r.header.closed);
  EXPECT_GT(r.header.files.size(), 3u);
  EXPECT_GE(r.records.size(), 60000u);

  std::map<char, int> count;
  std::map<std::uint64_t, std::vector<std::uint64_t>> functions;  // object -> 3GL function numbers
  std::map<std::uint64_t, std::vector<std::uint64_t>> globals;    // object -> Vorex function numbers
  std::set<std::string> families;
  std::set<char> operations;
  std::map<std::uint64_t, std::uint64_t> live;  // address -> id of live with-free blocks
  std::map<std::uint64_t, std::int64_t> tot_wf, tot_nf;
  std::map<std::uint64_t, std::uint32_t> block_tot;
  int unknown_frees = 0, realloc_moves = 0, totals_differ = 0, totals_match = 0;
  for (const auto& rec : r.records) {
    ++count[rec.tag];
    const auto& n = rec.numbers;
    switch (rec.tag) {
      case 'l': functions[n[0]].push_back(n[1]); break;
      case 'b': globals[n[0]].push_back(n[1]); break;
      case 'Q': operations.insert(static_cast<char>(n[1])); break;
      case 'R': families.insert(rec.text.substr(0, rec.text.find_first_of(": "))); break;
      case 'a':
        if (n[3] != 0) ++realloc_moves;
        live[n[2]] = n[0];
        block_tot[n[2]] = static_cast<std::uint32_t>(n[5]);
        tot_wf[n[0]] += static_cast<std::int64_t>(n[5]);
        break;
      case 'n': tot_nf[n[0]] += static_cast<std::int64_t>(n[4]); break;
      case 'r':
        ASSERT_EQ(live.count(n[2]), 1u) << "realloc of a live block";
        tot_wf[n[0]] += static_cast<std::int64_t>(n[5]) - block_tot[n[2]];
        block_tot[n[2]] = static_cast<std::uint32_t>(n[5]);
        break;
      case 'f':
        if (live.count(n[2]) == 0 || live[n[2]] != n[0]) {
          ++unknown_frees;
          break;
        }
        tot_wf[n[0]] -= block_tot[n[2]];
        live.erase(n[2]);
        break;
      case 'F':
      case 'Z': {
        const auto id = n[0];
        const bool same = trace_test::as_signed(n[2], 4) == tot_wf[id] && trace_test::as_signed(n[3], 4) == tot_nf[id];
        ++(same ? totals_match : totals_differ);
        std::erase_if(live, [id](const auto& kv) { return kv.second == id; });
        tot_wf[id] = tot_nf[id] = 0;
        break;
      }
      default: break;
    }
  }
  for (const char tag : std::string("HanfrSGRcFZIOsPXBLplbioQqCTMyDYd")) EXPECT_GT(count[tag], 0) << tag;
  EXPECT_EQ(count['P'], 4);
  EXPECT_EQ(count['X'], 3);  // one process keeps running
  for (const auto& [obj, nrs] : functions)
    for (std::size_t i = 0; i < nrs.size(); ++i) EXPECT_EQ(nrs[i], i + 1) << "object " << obj;
  for (const auto& [obj, nrs] : globals)
    for (std::size_t i = 0; i < nrs.size(); ++i) EXPECT_EQ(nrs[i], i) << "object " << obj;
  EXPECT_EQ(families, (std::set<std::string>{"proc", "dlock", "xml", "oic", "qdb", "make_new_sql_stmt",
                                             "dbs_session", "general", "string", "ui"}));
  EXPECT_EQ(operations, (std::set<char>{'p', 'b', 'c', 'e', 'f', 's'}));
  EXPECT_GT(realloc_moves, 0);
  EXPECT_GT(unknown_frees, 0);
  EXPECT_LT(unknown_frees, count['f'] / 20);
  EXPECT_GT(totals_match, 0);
  EXPECT_GT(totals_differ, 0);
}

TEST(Kivgen, SameSeedSameBytesAndOptionsChangeTheRun) {
  test_dir one, two, three, four;
  const std::string args = " --runid r --records 20000 --size 16 --seed 11";
  ASSERT_EQ(kivgen("--dir " + one.str() + args).status, 0);
  ASSERT_EQ(kivgen("--dir " + two.str() + args).status, 0);
  ASSERT_EQ(kivgen("--dir " + three.str() + " --runid r --records 20000 --size 16 --seed 12").status, 0);
  const auto first = all_files(one.str());
  EXPECT_GT(first.size(), 2u);
  // Whole-file comparisons; printing the contents would drown the report.
  EXPECT_TRUE(first == all_files(two.str()));
  EXPECT_FALSE(first == all_files(three.str()));

  ASSERT_EQ(kivgen("--dir " + four.str() + args + " --big-endian --leaky").status, 0);
  const run r = load(four.str(), "r");
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.header.values.at("endianess"), std::vector<std::string>{"B"});
  for (const auto& rec : r.records) EXPECT_EQ(std::string("fFZ").find(rec.tag), std::string::npos) << rec.tag;
}

// Sessions that come and go: the new one starts just before the oldest ends,
// each runs its length before it ends and frees its own ids, and all but the
// last end.
TEST(Kivgen, SessionRecordsReplaceProcessesThroughTheRun) {
  test_dir dir;
  ASSERT_EQ(kivgen("--dir " + dir.str() + " --runid t --records 40000 --processes 3 --session-records 4000").status, 0);
  const run r = load(dir.str(), "t");
  ASSERT_EQ(r.error, "");
  std::map<std::uint64_t, std::size_t> started_at;  // pid -> record index of its start
  std::size_t starts = 0, ends = 0, most_running = 0;
  std::map<std::uint64_t, std::string> id_names;
  std::set<std::uint64_t> freed_ids;
  for (std::size_t i = 0; i < r.records.size(); ++i) {
    const auto& rec = r.records[i];
    if (rec.tag == 'R') id_names[rec.numbers[0]] = rec.text;
    if (rec.tag == 'F') freed_ids.insert(rec.numbers[0]);
    if (rec.tag == 'P') {
      EXPECT_EQ(started_at.count(rec.numbers[0]), 0u) << "pid " << rec.numbers[0] << " started twice";
      started_at[rec.numbers[0]] = i;
      ++starts;
    } else if (rec.tag == 'X') {
      ASSERT_EQ(started_at.count(rec.numbers[0]), 1u) << "end of pid " << rec.numbers[0] << " that never started";
      const std::string own = "proc:" + std::to_string(rec.numbers[0]) + ":";
      for (const auto& [id, name] : id_names) {
        if (!name.starts_with(own)) continue;
        EXPECT_EQ(freed_ids.count(id), 1u) << name << " outlives its session";
      }
      const bool run_ending = i + 10 >= r.records.size();
      if (!run_ending) {
        EXPECT_GE(i - started_at[rec.numbers[0]], 4000u) << "pid " << rec.numbers[0];
      }
      started_at.erase(rec.numbers[0]);
      ++ends;
    }
    most_running = std::max(most_running, started_at.size());
  }
  EXPECT_GE(starts, 3u * 40000 / 4000 - 3);
  EXPECT_EQ(ends, starts - 1);
  EXPECT_EQ(most_running, 4u);  // the new one starts just before the oldest ends
}

TEST(Kivgen, RejectsBadOptions) {
  EXPECT_NE(kivgen("--records many").status, 0);
  EXPECT_NE(kivgen("--bogus 1").status, 0);
  EXPECT_NE(kivgen("--size 0").status, 0);
  EXPECT_NE(kivgen("--session-records -1").status, 0);
  EXPECT_NE(kivgen("--runid a/b").status, 0);
  EXPECT_EQ(kivgen("--help").status, 0);
}

}  // namespace
