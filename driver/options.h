#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/settings.h"

// Maximum table file size when no -M is given (1 GiB).
inline constexpr std::int64_t default_max_size = 1073741824;
// Deducted from every -M value so that a file ends below the limit.
inline constexpr std::int64_t max_size_margin = 2048;

// What the command line asks for.
struct kiv_options {
  enum class action {
    run,                // convert what the settings name
    start_only,         // no arguments: start the runtime, convert nothing
    usage,              // unknown option
    usage_and_version,  // a word without a leading dash
    version,            // -v or -V
    no_error_file,      // -E as the last word: exit with status 1
  };
  action what = action::run;
  std::optional<std::string> header_file;
  std::optional<std::string> trace_dir;
  std::optional<std::string> description;
  std::int64_t max_size = default_max_size;
  int debug_level = 0;
  char data_sep = default_separator;
  char fun_sep = default_separator;
};

// Reads the options in order. Parsing stops at the first word that decides
// the outcome (usage, version, -E without a file name).
kiv_options parse_options(int argc, const char* const* argv);

// The -M size: leading decimal digits, times 2^30, 2^20 or 2^10 when the word
// holds 'G', 'M' or 'K' (first match in that order), less the margin. Computed
// in 64 bits and held at the limits of the type.
std::int64_t parse_max_size(const char* word);
