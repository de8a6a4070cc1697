#pragma once

// The report's model of a run, computed once from the rows of its base
// tables read in kiv's order (run_rows.h): one pass over the freemem rows,
// one over the memory rows and the small tables for names. The renderers
// (renderers.h) only draw it.

#include <string>
#include <vector>

#include "db/database.h"
#include "report/report_model.h"
#include "report/report_settings.h"
#include "report/run_rows.h"

namespace kivdb::report {

// Run ids held by the database, in the order they were loaded.
std::vector<std::string> loaded_runs(database& db);

// Everything the renderers show of the run.
report_data build_report(run_rows& rows, const report_settings& settings = {});
// The same of run `run_id` of a database.
report_data build_report(database& db, const std::string& run_id, const report_settings& settings = {});

// What the notes of empty answers say.
inline constexpr std::string_view no_call_arcs_note =
    "no call-arc data: the run has no function entry and exit records; build the program with "
    "-finstrument-functions to record its call arcs";
inline constexpr std::string_view root_arcs_note =
    "every block alive at the end was made outside the traced functions (on a process's root arc)";
inline constexpr std::string_view no_locations_note =
    "no source locations: the trace names no location for these allocations";
inline constexpr std::string_view no_stacks_note =
    "no call stacks: the run's locations are not named call stacks (kivrec records them)";
inline constexpr std::string_view no_malids_note =
    "no malloc ids: the run reserves none, so every allocation is under an id without a name";

}  // namespace kivdb::report
