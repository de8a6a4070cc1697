#include "report/diff_threshold.h"

#include <array>
#include <limits>

#include "report/diff_renderers.h"
#include "report/renderers.h"

namespace kivdb::report {

namespace {

// Digits an amount may have in all and after its decimal point: 18 digits
// always fit the numerator.
constexpr std::size_t max_digits = 18;
constexpr unsigned max_decimals = 6;
constexpr std::uint64_t largest_numerator = std::numeric_limits<std::int64_t>::max();
constexpr unsigned percent_scale = 100;

struct unit_name {
  std::string_view name;
  std::uint64_t bytes;
};

constexpr std::uint64_t kibi = 1024;
constexpr std::uint64_t kilo = 1000;
constexpr std::array<unit_name, 10> units = {{
    {"B", 1},
    {"KiB", kibi},
    {"MiB", kibi * kibi},
    {"GiB", kibi * kibi * kibi},
    {"TiB", kibi * kibi * kibi * kibi},
    {"kB", kilo},
    {"KB", kilo},
    {"MB", kilo * kilo},
    {"GB", kilo * kilo * kilo},
    {"TB", kilo * kilo * kilo * kilo},
}};

[[noreturn]] void fail(std::string_view word, const std::string& why) {
  throw threshold_error("bad threshold \"" + std::string(word) + "\": " + why);
}

std::string figure_names() {
  std::string out;
  for (const summary_figure& f : summary_figures) out += (out.empty() ? "" : ", ") + std::string(f.key);
  return out;
}

std::uint64_t power_of_ten(unsigned n) {
  std::uint64_t p = 1;
  for (unsigned i = 0; i < n; ++i) p *= 10;
  return p;
}

// The kind of test the change starts with, and the rest after it.
threshold::kind read_sign(std::string_view word, std::string_view& rest) {
  if (rest.starts_with(">=")) {
    rest.remove_prefix(2);
    return threshold::kind::at_least;
  }
  if (rest.empty() || (rest.front() != '+' && rest.front() != '-'))
    fail(word, "the change must start with +, - or >= (as in +5%, -1MiB, >=4096)");
  const bool grows = rest.front() == '+';
  rest.remove_prefix(1);
  return grows ? threshold::kind::grows_by : threshold::kind::falls_by;
}

// "12.5" at the start of rest: its digits as a whole number and the count
// of its decimals.
void read_number(std::string_view word, std::string_view& rest, std::uint64_t& digits, unsigned& decimals) {
  std::size_t whole = 0;
  std::size_t fraction = 0;
  bool point = false;
  digits = 0;
  while (!rest.empty() && ((rest.front() >= '0' && rest.front() <= '9') || (rest.front() == '.' && !point))) {
    if (rest.front() == '.') {
      point = true;
    } else {
      digits = digits * 10 + static_cast<std::uint64_t>(rest.front() - '0');
      ++(point ? fraction : whole);
    }
    rest.remove_prefix(1);
    if (whole + fraction > max_digits || fraction > max_decimals) fail(word, "the number has too many digits");
  }
  if (whole + fraction == 0) fail(word, "a number must follow the sign (as in +5%, -1MiB, >=4096)");
  decimals = static_cast<unsigned>(fraction);
}

// The bytes of the unit the word ends with.
std::uint64_t unit_bytes(std::string_view word, std::string_view unit, const summary_figure& figure) {
  for (const unit_name& u : units) {
    if (u.name != unit) continue;
    if (figure.measure != summary_figure::unit::bytes)
      fail(word, std::string(figure.key) + " counts no bytes; give its change without a unit");
    return u.bytes;
  }
  fail(word, "unknown unit \"" + std::string(unit) + "\" (B, KiB, MiB, GiB, TiB, kB, MB, GB, TB, or % after + or -)");
}

void apply_suffix(std::string_view word, std::string_view suffix, threshold& t) {
  if (suffix == "%") {
    if (t.test == threshold::kind::at_least) fail(word, ">= takes an amount, not a percentage");
    t.test = t.test == threshold::kind::grows_by ? threshold::kind::grows_by_percent : threshold::kind::falls_by_percent;
    return;
  }
  if (suffix.empty()) return;
  const std::uint64_t bytes = unit_bytes(word, suffix, *t.figure);
  if (t.numerator > largest_numerator / bytes) fail(word, "the amount is too large");
  t.numerator *= bytes;
}

using wide = __int128;

// x * 10^decimals, for comparing a whole number with the amount.
wide scaled(wide x, const threshold& t) { return x * static_cast<wide>(power_of_ten(t.decimals)); }

}  // namespace

threshold parse_threshold(std::string_view word) {
  const std::size_t colon = word.find(':');
  if (colon == std::string_view::npos)
    fail(word, "a threshold is METRIC:CHANGE (as in live_bytes_at_end:+5%)");
  threshold t;
  t.text = word;
  t.figure = find_figure(word.substr(0, colon));
  if (t.figure == nullptr)
    fail(word, "no figure \"" + std::string(word.substr(0, colon)) + "\" (figures: " + figure_names() + ")");
  std::string_view rest = word.substr(colon + 1);
  t.test = read_sign(word, rest);
  read_number(word, rest, t.numerator, t.decimals);
  apply_suffix(word, rest, t);
  return t;
}

bool passes(const threshold& t, const figure_change& change) {
  const wide delta = change.change();
  const wide amount = t.numerator;
  const wide base = change.base;
  switch (t.test) {
    case threshold::kind::grows_by: return scaled(delta, t) > amount;
    case threshold::kind::falls_by: return scaled(-delta, t) > amount;
    case threshold::kind::grows_by_percent: return scaled(delta * percent_scale, t) > base * amount;
    case threshold::kind::falls_by_percent: return scaled(-delta * percent_scale, t) > base * amount;
    case threshold::kind::at_least: return scaled(static_cast<wide>(change.current), t) >= amount;
  }
  return false;
}

std::string passed_line(const threshold& t, const figure_change& change) {
  std::string line = t.text + " passed: " + grouped(static_cast<std::int64_t>(change.base)) + " -> " + grouped(static_cast<std::int64_t>(change.current)) +
                     " (" + signed_grouped(change.change());
  const std::string percent = percent_text(change.percent());
  if (!percent.empty()) line += ", " + percent;
  return line + ")";
}

}  // namespace kivdb::report
