#pragma once

#include <istream>
#include <string>
#include <vector>

namespace kivrec {

// What the user asked for once the program has ended.
struct report_request {
  std::string page;  // --report FILE: the HTML page
  std::string json;  // --json FILE
  bool stacks = false;  // --stacks: the summary's lists with whole stacks
  bool wanted() const { return !page.empty() || !json.empty(); }
};

// From a recorded run to its report, after the program: kiv converts the
// run directory (its tables land beside the trace, so kivdb load works on
// it later) and kivdb reports straight from the tables. Both run as
// programs of their own, found beside kivrec, in the build tree or on PATH.
class run_reporter {
 public:
  // Finds kiv and kivdb and checks that the files asked for can be
  // written, before the program starts; keeps the environment as it is
  // now, so that the helpers run without the recording settings that
  // kivrec adds for the program. Empty when all is well, else the one line
  // to print (without "kivrec: ").
  std::string prepare(const report_request& request);

  // Converts trace_dir/runid and reports it: a heading and the summary on
  // standard output, the page and the JSON where asked. True when both
  // steps worked; otherwise one line on standard error says what failed.
  // Unless quiet, one line on standard error tells where kiv's own output
  // goes.
  bool convert_and_report(const std::string& trace_dir, const std::string& runid, bool quiet) const;

  // The file in the run directory that gets kiv's standard output and
  // error.
  static std::string conversion_log(const std::string& run_dir, const std::string& runid);

 private:
  bool convert(const std::string& trace_dir, const std::string& runid, bool quiet) const;
  bool report(const std::string& run_dir, const std::string& runid) const;

  report_request request_;
  std::string kiv_;
  std::string kivdb_;
  std::vector<std::string> environment_;
};

// kivrec's exit status: the program's, or 1 when the program succeeded
// and its report did not.
int status_after_report(int program_status, bool reported);

// The first line of kiv's output that says why a conversion failed (a
// table that cannot be written, a record that cannot be read, ...); empty
// when there is none.
std::string conversion_problem(std::istream& kiv_output);

}  // namespace kivrec
