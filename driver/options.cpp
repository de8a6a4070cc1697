#include "driver/options.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

using action = kiv_options::action;

// Words an option takes: itself alone, or itself and its argument.
constexpr int option_alone = 1;
constexpr int option_with_argument = 2;
constexpr int parsing_ends = 0;

constexpr int gib_shift = 30;
constexpr int mib_shift = 20;
constexpr int kib_shift = 10;

// The limit of the type on the side of the number's sign.
std::int64_t saturated(bool negative) {
  return negative ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
}

int unit_shift(const char* word) {
  if (std::strchr(word, 'G')) return gib_shift;
  if (std::strchr(word, 'M')) return mib_shift;
  if (std::strchr(word, 'K')) return kib_shift;
  return 0;
}

// A separator option keeps its value when no word (or an empty one) follows.
void take_separator(char& sep, const char* word) {
  if (word && word[0] != '\0') sep = word[0];
}

// Applies the option at argv[i]; returns how many words it takes, or 0 when
// parsing ends with opts.what set.
int apply_option(kiv_options& opts, int argc, const char* const* argv, int i) {
  const char* word = argv[i];
  const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
  switch (word[1]) {
    case 'R': if (next) opts.trace_dir = next; return option_with_argument;
    case 'H': if (next) opts.header_file = next; return option_with_argument;
    case 'T': if (next) opts.description = next; return option_with_argument;
    case 'M': if (next) opts.max_size = parse_max_size(next); return option_with_argument;
    case 'd': opts.debug_level = 1; return option_alone;
    case 'D': opts.debug_level = 2; return option_alone;
    case 'v':
    case 'V': opts.what = action::version; return parsing_ends;
    case 'E':
      if (!next) opts.what = action::no_error_file;
      return next ? option_with_argument : parsing_ends;
    case 's':
      if (word[2] == 'd') take_separator(opts.data_sep, next);
      else if (word[2] == 'f') take_separator(opts.fun_sep, next);
      else return option_alone;
      return option_with_argument;
    default: opts.what = action::usage; return parsing_ends;
  }
}

}  // namespace

std::int64_t parse_max_size(const char* word) {
  const std::int64_t number = std::strtoll(word, nullptr, 10);
  const bool negative = number < 0;
  std::int64_t scaled = 0;
  if (__builtin_mul_overflow(number, std::int64_t{1} << unit_shift(word), &scaled)) return saturated(negative);
  std::int64_t result = 0;
  if (__builtin_sub_overflow(scaled, max_size_margin, &result)) return saturated(negative);
  return result;
}

kiv_options parse_options(int argc, const char* const* argv) {
  kiv_options opts;
  if (argc < 2) {
    opts.what = action::start_only;
    return opts;
  }
  for (int i = 1; i < argc;) {
    if (argv[i][0] != '-') {
      opts.what = action::usage_and_version;
      return opts;
    }
    const int taken = apply_option(opts, argc, argv, i);
    if (taken == parsing_ends) return opts;
    i += taken;
  }
  return opts;
}
