#pragma once

// The "frames" table: each location whose "hashloc" text is a named call
// stack (as kivrec writes it) split into one row per frame, so that SQL can
// ask by function. A text that is not such a stack (a source position of
// another tracer, an empty text) gives no rows; its location keeps its text
// in "hashloc".

#include <cstdint>
#include <functional>
#include <string>

#include "db/database.h"

namespace kivdb {

// Reads the run's "hashloc" rows back a page at a time (a page's texts
// and frames are all that is held) and stores their frames, keyed like
// their location (pid, image, location) with the location's row_nr.
// Calls checkpoint between pages. Returns the rows stored.
std::uint64_t store_stack_frames(database& db, const std::string& run_id, const std::function<void()>& checkpoint);

}  // namespace kivdb
