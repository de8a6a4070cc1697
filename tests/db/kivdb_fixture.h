#pragma once

// Converted runs for kivdb's tests: kivgen writes a trace, kiv converts it,
// and the tests load, query and export it with the kivdb program.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "db/database.h"
#include "support/pg_cluster.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"

namespace kivdbtest {

inline kivtest::program_result run(const std::string& program, std::vector<std::string> args,
                                   const std::string& cwd = {}) {
  kivtest::program_run r;
  r.args = std::move(args);
  r.cwd = cwd;
  return kivtest::run_program(program, r);
}

inline kivtest::program_result run_kivdb(std::vector<std::string> args) { return run(KIVDB_BINARY, std::move(args)); }

// Every file of a directory by name, with its bytes.
inline std::map<std::string, std::string> files_of(const std::filesystem::path& dir, const std::string& extension) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.ends_with(extension)) out[name] = kivtest::read_file(e.path());
  }
  return out;
}

inline std::vector<std::vector<std::string>> csv_rows(const std::string& text, char sep = ';') {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t p; (p = line.find(sep, start)) != std::string::npos; start = p + 1)
      fields.push_back(line.substr(start, p - start));
    fields.push_back(line.substr(start));
    rows.push_back(std::move(fields));
  }
  return rows;
}

class kivdb_fixture : public ::testing::Test {
 protected:
  kivtest::scratch_dir scratch_{"kivdb_test"};

  // Writes run `runid` with kivgen and converts it with kiv and the extra
  // options; returns the run's directory (tables and script beside the
  // trace).
  std::filesystem::path make_run(const std::string& runid, const std::vector<std::string>& gen_args,
                                 const std::vector<std::string>& kiv_args = {}) {
    std::vector<std::string> g = {"--dir", scratch_.path().string(), "--runid", runid};
    g.insert(g.end(), gen_args.begin(), gen_args.end());
    const auto gen = run(KIVGEN_BINARY, g);
    EXPECT_EQ(gen.status, 0) << gen.err;
    const std::filesystem::path dir = scratch_.path() / runid;
    // The header names its data files relative to the directory above the
    // run's, as kivgen wrote them.
    std::vector<std::string> k = {"-R", runid, "-T", "kivdb test"};
    k.insert(k.end(), kiv_args.begin(), kiv_args.end());
    const auto conv = run(KIV_BINARY, k, scratch_.path().string());
    EXPECT_EQ(conv.status, 0) << conv.err;
    return dir;
  }

  // Loads the run directory into the target and expects success.
  void load(const std::filesystem::path& run_dir, const std::vector<std::string>& target,
            const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"load", run_dir.string()};
    args.insert(args.end(), target.begin(), target.end());
    args.insert(args.end(), extra.begin(), extra.end());
    const auto r = run_kivdb(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
  }

  // Exports the run and expects every table file and the script back byte
  // for byte.
  void expect_round_trip(const std::filesystem::path& run_dir, const std::string& runid,
                         const std::vector<std::string>& target, const std::string& out_name) {
    const std::filesystem::path out = scratch_.path() / out_name;
    std::vector<std::string> args = {"export"};
    args.insert(args.end(), target.begin(), target.end());
    args.insert(args.end(), {"--run", runid, "--out", out.string()});
    const auto r = run_kivdb(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto expected_tables = files_of(run_dir, ".csv");
    const auto got_tables = files_of(out, ".csv");
    ASSERT_EQ(got_tables.size(), expected_tables.size());
    for (const auto& [name, bytes] : expected_tables) {
      const auto it = got_tables.find(name);
      ASSERT_NE(it, got_tables.end()) << name;
      EXPECT_TRUE(it->second == bytes) << name << " differs after the round trip";
    }
    EXPECT_EQ(kivtest::read_file(out / ("kiv." + runid + ".sql")),
              kivtest::read_file(run_dir / ("kiv." + runid + ".sql")));
  }
};

}  // namespace kivdbtest
