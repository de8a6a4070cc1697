#pragma once

#include <string>
#include <vector>

#include "db/database.h"
#include "report/report_model.h"
#include "report/report_settings.h"

namespace kivdb::report {

// Run ids held by the database, in the order they were loaded.
std::vector<std::string> loaded_runs(database& db);

// Everything the renderers show of run `run_id`, read with one ordered pass
// over the run's memory rows plus the leak views and the small tables.
report_data build_report(database& db, const std::string& run_id,
                         const report_settings& settings = {});

}  // namespace kivdb::report
