#include "db/record_parser.h"

#include <algorithm>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kivdb {

namespace {

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t max_i64 = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// Up to this many digits a decimal cannot overflow 64 bits.
constexpr std::size_t safe_digits = std::numeric_limits<std::uint64_t>::digits10;

// Digits of a canonical decimal; false on anything else or overflow.
bool parse_digits(std::string_view text, std::uint64_t& value) {
  if (text.empty() || (text[0] == '0' && text.size() > 1)) return false;
  const bool may_overflow = text.size() > safe_digits;
  std::uint64_t v = 0;
  for (char c : text) {
    const unsigned d = static_cast<unsigned char>(c) - '0';
    if (d > 9) return false;
    if (may_overflow && v > (max_u64 - d) / 10) return false;
    v = v * 10 + d;
  }
  value = v;
  return true;
}

// Fields are a few bytes long: a plain loop finds their ends sooner than a
// call to memchr would.
const char* find(const char* from, const char* to, char c) {
  for (; from != to; ++from)
    if (*from == c) return from;
  return nullptr;
}

// Lines are hundreds of bytes long: memchr's wide compares pay off there.
const char* find_line_end(const char* from, const char* to) {
  return static_cast<const char*>(std::memchr(from, '\n', static_cast<std::size_t>(to - from)));
}

// Every place of c in [from, to), in order. A row of the "memory" table
// holds about ninety separators in 550 bytes: comparing sixteen (with AVX2
// thirty-two) bytes at a time finds them in a fraction of the time a byte
// loop takes.
#if defined(__x86_64__)
__attribute__((target("avx2"))) void find_all_avx2(const char* from, const char* to, char c,
                                                   std::vector<const char*>& out) {
  constexpr std::ptrdiff_t chunk = sizeof(__m256i);
  const __m256i needle = _mm256_set1_epi8(c);
  const char* p = from;
  for (; to - p >= chunk; p += chunk) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, needle)));
    for (; mask != 0; mask &= mask - 1) out.push_back(p + __builtin_ctz(mask));
  }
  for (; p != to; ++p)
    if (*p == c) out.push_back(p);
}

const bool has_avx2 = __builtin_cpu_supports("avx2");
#endif

void find_all(const char* from, const char* to, char c, std::vector<const char*>& out) {
#if defined(__x86_64__)
  if (has_avx2) return find_all_avx2(from, to, c, out);
#endif
  const char* p = from;
#if defined(__SSE2__)
  constexpr std::ptrdiff_t chunk = sizeof(__m128i);
  const __m128i needle = _mm_set1_epi8(c);
  for (; to - p >= chunk; p += chunk) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, needle)));
    for (; mask != 0; mask &= mask - 1) out.push_back(p + __builtin_ctz(mask));
  }
#endif
  for (; p != to; ++p)
    if (*p == c) out.push_back(p);
}

const char* find_last(const char* from, const char* to, char c) {
  while (to != from)
    if (*--to == c) return to;
  return nullptr;
}

// Labels are a few bytes long: compared inline rather than by a call.
bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

std::size_t count(std::string_view s, char c) {
  std::size_t n = 0;
  for (char x : s) n += x == c;
  return n;
}

const char* what_number(col_type type) {
  switch (type) {
    case col_type::int32: return "a 32-bit number";
    case col_type::uint32: return "an unsigned 32-bit number";
    default: return "a number";
  }
}

std::string shown(std::string_view text) {
  constexpr std::size_t longest = 40;
  return "'" + std::string(text.substr(0, longest)) + (text.size() > longest ? "...'" : "'");
}

}  // namespace

bool parse_int64(std::string_view text, std::int64_t& value) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  std::uint64_t v = 0;
  if (!parse_digits(text, v)) return false;
  if (negative) {
    if (v == 0 || v > max_i64 + 1) return false;
    value = static_cast<std::int64_t>(0 - v);
    return true;
  }
  if (v > max_i64) return false;
  value = static_cast<std::int64_t>(v);
  return true;
}

bool parse_uint64(std::string_view text, std::int64_t& value) {
  std::uint64_t v = 0;
  if (!parse_digits(text, v)) return false;
  value = static_cast<std::int64_t>(v);
  return true;
}

namespace {

// 32-bit columns: the value must fit; an unsigned one becomes its 32-bit
// two's complement (4294967295 is stored as -1).
bool parse_int32(std::string_view text, std::int64_t& value) {
  std::int64_t v = 0;
  if (!parse_int64(text, v) || v < std::numeric_limits<std::int32_t>::min() ||
      v > std::numeric_limits<std::int32_t>::max())
    return false;
  value = v;
  return true;
}

bool parse_uint32(std::string_view text, std::int64_t& value) {
  std::uint64_t v = 0;
  if (!parse_digits(text, v) || v > std::numeric_limits<std::uint32_t>::max()) return false;
  value = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  return true;
}

// Inlined into the per-field loop: one switch per field.
inline bool parse_number(col_type type, std::string_view text, std::int64_t& value) {
  switch (type) {
    case col_type::uint64: return parse_uint64(text, value);
    case col_type::int32: return parse_int32(text, value);
    case col_type::uint32: return parse_uint32(text, value);
    default: return parse_int64(text, value);
  }
}

}  // namespace

record_parser::record_parser(const table_def& table, char field_sep, char fun_sep, std::string_view run_id)
    : table_(table), field_sep_(field_sep), one_separator_(field_sep == fun_sep), run_id_(run_id) {
  int stored = 0;
  for (const column& c : table.columns) {
    const bool label = c.type == col_type::label;
    layout_.push_back({c.type, c.joined ? fun_sep : field_sep, c.name, label ? -1 : stored});
    if (!label) ++stored;
  }
  fields_.resize(table.row_width());
  converted_.assign(fields_.size(), 1);
  separators_.reserve(layout_.size() * 2);
}

void record_parser::convert_only(std::span<const std::string_view> columns) {
  converted_.assign(fields_.size(), 0);
  columns_.clear();
  for (std::size_t i = 0; i < layout_.size(); ++i) {
    const field_layout& s = layout_[i];
    // The run id is checked on every row.
    const bool wanted = s.stored == 0 || std::find(columns.begin(), columns.end(), s.name) != columns.end();
    if (s.stored < 0 || !wanted) continue;
    converted_[static_cast<std::size_t>(s.stored)] = 1;
    columns_.push_back(i);
  }
}

void record_parser::set(int column, std::string_view text) {
  const field_layout& s = layout_[static_cast<std::size_t>(column)];
  if (s.stored < 0) {
    if (!same_text(text, s.name))
      throw parse_failure("field " + std::to_string(column + 1) + " is " + shown(text) + ", expected the label '" +
                          std::string(s.name) + "'");
    return;
  }
  field& f = fields_[static_cast<std::size_t>(s.stored)];
  f.text = text;
  f.null = false;
  if (s.type != col_type::text && converted_[static_cast<std::size_t>(s.stored)] &&
      !parse_number(s.type, text, f.number))
    throw parse_failure("field " + std::to_string(column + 1) + " (" + std::string(s.name) + ") is not " +
                        what_number(s.type) + ": " + shown(text));
}

void record_parser::wrong_count(std::string_view line, bool too_many) const {
  throw parse_failure(std::string(too_many ? "too many" : "too few") + " fields: " + std::to_string(field_count(line)) +
                      ", expected " + std::to_string(layout_.size()));
}

// Fields of a record held on one line (or, for "queries", up to its end
// marker). A free text column takes whatever the fixed columns on both
// sides leave, separators included.
void record_parser::split_line(std::string_view line) {
  if (table_.free_text < 0) return split_fields(line);
  // With a free text a missing field shows as a misplaced one; the count
  // of separators tells which it is.
  try {
    split_fields(line);
  } catch (const parse_failure&) {
    if (field_count(line) < layout_.size()) wrong_count(line, false);
    throw;
  }
}

std::size_t record_parser::field_count(std::string_view line) const {
  std::size_t fields = count(line, field_sep_) + 1;
  for (const field_layout& s : layout_)
    if (s.sep_before != field_sep_) {
      fields += count(line, s.sep_before);
      break;
    }
  return fields;
}

// With one separator character the places of all separators tell the
// fields: a free text takes the separators its fixed fields on both sides
// leave over. Only the fields asked for are set.
void record_parser::split_at_separators(std::string_view line) {
  separators_.clear();
  find_all(line.data(), line.data() + line.size(), field_sep_, separators_);
  const std::size_t n = layout_.size();
  const std::size_t count = separators_.size();
  if (count < n - 1) wrong_count(line, false);
  const int free = table_.free_text;
  if (free < 0 && count > n - 1) wrong_count(line, true);
  const std::size_t extra = count - (n - 1);
  // The separator after field i; fields after the free text count theirs
  // from the right.
  auto after = [&](std::size_t i) { return free >= 0 && i >= static_cast<std::size_t>(free) ? i + extra : i; };
  auto split = [&](std::size_t i) {
    const char* start = i == 0 ? line.data() : separators_[after(i - 1)] + 1;
    const char* end = i + 1 == n ? line.data() + line.size() : separators_[after(i)];
    set(static_cast<int>(i), {start, static_cast<std::size_t>(end - start)});
  };
  if (columns_.empty()) {
    for (std::size_t i = 0; i < n; ++i) split(i);
  } else {
    for (const std::size_t i : columns_) split(i);
  }
}

void record_parser::split_fields(std::string_view line) {
  if (one_separator_) return split_at_separators(line);
  const int n = static_cast<int>(layout_.size());
  const int free = table_.free_text;
  const int left_end = free >= 0 ? free : n - 1;
  const char* cur = line.data();
  const char* right = line.data() + line.size();
  for (int i = 0; i < left_end; ++i) {
    const char* sep = find(cur, right, layout_[static_cast<std::size_t>(i) + 1].sep_before);
    if (sep == nullptr) wrong_count(line, false);
    set(i, {cur, static_cast<std::size_t>(sep - cur)});
    cur = sep + 1;
  }
  if (free < 0) {
    if (find(cur, right, field_sep_) != nullptr) wrong_count(line, true);
    set(n - 1, {cur, static_cast<std::size_t>(right - cur)});
    return;
  }
  for (int j = n - 1; j > free; --j) {
    const char* sep = find_last(cur, right, layout_[static_cast<std::size_t>(j)].sep_before);
    if (sep == nullptr) wrong_count(line, false);
    set(j, {sep + 1, static_cast<std::size_t>(right - sep - 1)});
    right = sep;
  }
  set(free, {cur, static_cast<std::size_t>(right - cur)});
}

const char* record_parser::parse(const char* data, const char* end, std::int64_t row_nr, std::uint64_t& lines,
                                 std::vector<flowdata_entry>& entries) {
  const char* next = nullptr;
  if (table_.form == record_form::query) {
    next = parse_query(data, end, lines);
  } else if (table_.form == record_form::flowdata) {
    next = parse_flowdata(data, end, row_nr, lines, entries);
  } else {
    const char* eol = find_line_end(data, end);
    if (eol == nullptr) throw parse_failure("the last row has no line end (a cut file?)");
    split_line({data, static_cast<std::size_t>(eol - data)});
    ++lines;
    next = eol + 1;
  }
  if (!same_text(fields_.front().text, run_id_))
    throw parse_failure("row of run " + shown(fields_.front().text) + " in a file of run '" + std::string(run_id_) +
                        "'");
  fields_.back() = {{}, row_nr, false};
  return next;
}

const char* record_parser::parse_query(const char* data, const char* end, std::uint64_t& lines) {
  const std::string_view rest(data, static_cast<std::size_t>(end - data));
  const std::string marker = std::string(record_end_marker) + "\n";
  const std::size_t stop = rest.find(marker);
  if (stop == std::string_view::npos) throw parse_failure("record without its end marker <<>>");
  const std::string_view record = rest.substr(0, stop);
  split_line(record);
  lines += count(record, '\n') + 1;
  return data + stop + marker.size();
}

// A record is its leading fields, the first entry on the same line, one
// entry per further line and a line "<<>>". A process without symbols
// leaves a record that is only that line: its fields are NULL.
const char* record_parser::parse_flowdata(const char* data, const char* end, std::int64_t row_nr,
                                          std::uint64_t& lines, std::vector<flowdata_entry>& entries) {
  auto line_at = [end](const char* p) {
    const char* eol = find_line_end(p, end);
    if (eol == nullptr) throw parse_failure("record without its end marker <<>>");
    return std::string_view(p, static_cast<std::size_t>(eol - p));
  };
  std::string_view line = line_at(data);
  ++lines;
  if (line == record_end_marker) {
    for (field& f : fields_) f = {{}, 0, true};
    fields_.front() = {run_id_, 0, false};
    return line.data() + line.size() + 1;
  }
  const int n = static_cast<int>(layout_.size());
  const char* cur = line.data();
  const char* right = line.data() + line.size();
  for (int i = 0; i < n; ++i) {
    const char* sep = find(cur, right, field_sep_);
    if (sep == nullptr) wrong_count(line, false);
    set(i, {cur, static_cast<std::size_t>(sep - cur)});
    cur = sep + 1;
  }
  std::string_view entry(cur, static_cast<std::size_t>(right - cur));
  for (std::int64_t nr = 0;; ++nr) {
    const std::size_t colon = entry.find(':');
    if (colon == std::string_view::npos) throw parse_failure("symbol entry without ':' " + shown(entry));
    entries.push_back({row_nr, nr, entry.substr(0, colon), entry.substr(colon + 1)});
    entry = line_at(entry.data() + entry.size() + 1);
    ++lines;
    if (entry == record_end_marker) return entry.data() + entry.size() + 1;
  }
}

}  // namespace kivdb
