#pragma once

#include <string>
#include <vector>

#include "recorder/stack_namer.h"

namespace kivrec {

// What naming a run directory did.
struct naming_outcome {
  int named = 0;     // headers that got their names
  int skipped = 0;   // already named, without stacks, or still being written
  std::size_t stacks = 0;
  std::vector<std::string> problems;  // one line each, for standard error
};

// Names the stacks of every header in `run_dir` that is complete: closed,
// or left open by a process that no longer runs (killed). Each such
// header gets a data file of 'H' records, <base>.<pid>.names.kivdat, one
// per stack key with its stack's text, listed first among the header's
// data files so that every location is described before its first use;
// the header is rewritten whole into a new file that replaces it. A
// header already named is left alone.
naming_outcome name_run(const std::string& run_dir, stack_namer& namer);

}  // namespace kivrec
