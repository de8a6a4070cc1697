#pragma once

#include "report/diff_model.h"
#include "report/report_model.h"

namespace kivdb::report {

// Compares the new run's report with the baseline's: every summary figure,
// and every top list of either run (matched by key), entry by entry
// (matched by texts). Lists the model gains later are compared as they
// come.
diff_data compare_runs(const report_data& base, const report_data& current);

}  // namespace kivdb::report
