#pragma once

// Thresholds on the change of a summary figure, for CI ("--fail-if
// METRIC:CHANGE"): a run fails when the change passes one of them.
//
//   +AMOUNT   grew by more than AMOUNT        (+0: grew at all)
//   -AMOUNT   fell by more than AMOUNT        (-0: fell at all)
//   +P%       grew by more than P percent of the baseline's value
//   -P%       fell by more than P percent of the baseline's value
//   >=AMOUNT  the new run's value is AMOUNT or more
//
// AMOUNT and P are decimal numbers (4096, 1.5); byte figures take a unit
// after the amount: B, KiB, MiB, GiB, TiB (powers of 1024) or kB, MB, GB,
// TB (powers of 1000). Percentages of a baseline of 0: any growth passes.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "report/diff_model.h"

namespace kivdb::report {

// A threshold that cannot be read; what() names the word and what is
// wrong with it.
class threshold_error : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct threshold {
  enum class kind { grows_by, falls_by, grows_by_percent, falls_by_percent, at_least };
  std::string text;  // the word as given
  const summary_figure* figure = nullptr;
  kind test = kind::grows_by;
  // The amount as an exact fraction: numerator / 10^decimals, the unit
  // already applied; the numerator is at most INT64_MAX.
  std::uint64_t numerator = 0;
  unsigned decimals = 0;
};

// Reads "METRIC:CHANGE"; throws threshold_error.
threshold parse_threshold(std::string_view word);

// Whether the change of the figure passes the threshold.
bool passes(const threshold& t, const figure_change& change);

// The line that says a threshold was passed: "peak_bytes:+1MiB passed:
// 1,000,000 -> 2,100,000 (+1,100,000, +110.0%)".
std::string passed_line(const threshold& t, const figure_change& change);

}  // namespace kivdb::report
