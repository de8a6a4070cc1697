#pragma once

#include <string>
#include <vector>

#include "support/run_program.h"

// Standard output without the "csv_file: " notices of the table files: the
// table and reader tests check those, the driver tests its own messages.
inline std::string without_table_notices(const std::string& out) {
  std::string kept;
  std::size_t pos = 0;
  while (pos < out.size()) {
    const std::size_t end = out.find('\n', pos);
    const std::size_t next = end == std::string::npos ? out.size() : end + 1;
    if (out.compare(pos, 10, "csv_file: ") != 0) kept.append(out, pos, next - pos);
    pos = next;
  }
  return kept;
}

// Runs the kiv binary with args in cwd (empty: the test's directory).
inline kivtest::program_result kiv(std::vector<std::string> args, const std::string& cwd = {}) {
  kivtest::program_run run;
  run.args = std::move(args);
  run.cwd = cwd;
  kivtest::program_result result = kivtest::run_program(KIV_BINARY, run);
  result.out = without_table_notices(result.out);
  return result;
}

inline const std::string usage_text =
    "-H <header file> header file to use to read in kiv trace\n"
    "-E <error file> file place debug output into (redirects stderr/cerr)\n"
    "-vV prints version\n"
    "-d  debug level 1\n"
    "-D  debug level 2\n"
    "-sd <sep> record separation character to used in the csv output files ','\n"
    "-sf <sep> seperation between object and function (default '@')\n"
    "-R <directory> directory containing kiv trace files\n"
    "-T \"description of run\"\n";

// A header of the given version and file type with one record type.
inline std::string header_text(int version, const std::string& filetype) {
  return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<kiv>\n<version type=\"" + std::to_string(version) +
         "\"/>\n<filetype type=\"" + filetype +
         "\"/>\n<runid value=\"4711\"/>\n<entries>\n<entry tag=\"a\" name=\"malloc_wf\" desc=\"alloc\">\n"
         "<elem name=\"id\" size=\"4\"/>\n</entry>\n</entries>\n</kiv>\n";
}
