#pragma once

// The three faces of a comparison of two runs. `top` limits the entries
// that grew and that shrank of each list on the terminal and in the JSON;
// the page holds them all and shows `top` until "show all" is pressed.

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "report/diff_model.h"
#include "report/diff_threshold.h"

namespace kivdb::report {

// A threshold, the change of its figure and whether the change passed it.
struct threshold_outcome {
  threshold test;
  figure_change change;
  bool passed = false;
};

void write_diff_text(std::ostream& out, const diff_data& data, std::size_t top);
void write_diff_json(std::ostream& out, const diff_data& data, std::size_t top,
                     const std::vector<threshold_outcome>& thresholds);
void write_diff_html(std::ostream& out, const diff_data& data, std::size_t top);

// A change with its sign: "+1,024", "-3", "0".
std::string signed_grouped(std::int64_t change);
// "+12.5%", "-0.3%", "0.0%"; empty for none.
std::string percent_text(std::optional<double> percent);

}  // namespace kivdb::report
