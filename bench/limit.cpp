// The floor under a conversion: writes the rows of a "memory" table through
// the table writer with no decoding and no model work. The rows are those of
// a table kiv wrote: up to sample_rows of them are read and split into
// fields (numbers are kept as numbers, so they are formatted again), then
// written round-robin until the requested number of rows is out.
//
//   kiv_limit <sample.csv> <rows> <output.csv>
//
// Prints one line: rows, bytes, wall seconds and CPU seconds (user + system)
// of the writing alone.
#include <sys/resource.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "driver/settings.h"
#include "output/out_stream.h"
#include "output/row_writer.h"

namespace {

constexpr std::size_t sample_rows = 4096;
constexpr int exit_usage = 2;
constexpr int exit_failed = 1;

// One field of a sample row: a signed or unsigned number, or a text (kept
// in the row's text store).
struct field {
  enum kind_t : std::uint8_t { signed_number, unsigned_number, text } kind;
  std::uint64_t value;  // the number's bits, or the text's offset
  std::uint32_t length;  // the text's length
};
struct row {
  std::vector<field> fields;
  std::string texts;
};

// A field is written back as a number when formatting the number gives the
// same text (no leading zeros, no plus sign).
field parse_field(std::string_view text, std::string& texts) {
  std::int64_t s = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), s);
  if (ec == std::errc() && p == text.data() + text.size() && std::to_string(s) == text)
    return {field::signed_number, static_cast<std::uint64_t>(s), 0};
  std::uint64_t u = 0;
  auto [q, ec2] = std::from_chars(text.data(), text.data() + text.size(), u);
  if (ec2 == std::errc() && q == text.data() + text.size() && std::to_string(u) == text)
    return {field::unsigned_number, u, 0};
  const std::size_t offset = texts.size();
  texts.append(text);
  return {field::text, offset, static_cast<std::uint32_t>(text.size())};
}

std::vector<row> read_sample(const char* path) {
  std::vector<row> rows;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (rows.size() < sample_rows && std::getline(in, line)) {
    row r;
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = line.find(data_sep, start);
      r.fields.push_back(parse_field(std::string_view(line).substr(start, end - start), r.texts));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    rows.push_back(std::move(r));
  }
  return rows;
}

// Every field but the last is followed by the separator, as fields() and
// text_field() write them in kiv.
void write_row(out_stream& stream, const row& r) {
  row_writer os(stream, data_sep);
  const std::size_t last = r.fields.size() - 1;
  for (std::size_t i = 0; i < last; ++i) {
    const field& f = r.fields[i];
    switch (f.kind) {
      case field::signed_number: os.fields(static_cast<std::int64_t>(f.value)); break;
      case field::unsigned_number: os.fields(f.value); break;
      case field::text: os.text_field(std::string_view(r.texts).substr(f.value, f.length)); break;
    }
  }
  const field& f = r.fields[last];
  switch (f.kind) {
    case field::signed_number: os << static_cast<std::int64_t>(f.value); break;
    case field::unsigned_number: os << f.value; break;
    case field::text: os << std::string_view(r.texts).substr(f.value, f.length); break;
  }
  os << '\n';
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return secs(u.ru_utime) + secs(u.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: kiv_limit <sample.csv> <rows> <output.csv>\n", stderr);
    return exit_usage;
  }
  const std::vector<row> sample = read_sample(argv[1]);
  std::uint64_t rows = 0;
  const std::string_view count = argv[2];
  if (sample.empty() || std::from_chars(count.data(), count.data() + count.size(), rows).ec != std::errc()) {
    std::fputs("kiv_limit: no sample rows or a bad row count\n", stderr);
    return exit_usage;
  }
  const double cpu0 = cpu_seconds();
  const auto wall0 = std::chrono::steady_clock::now();
  std::uint64_t bytes = 0;
  {
    out_stream os;
    if (!os.open(argv[3], true)) {
      std::fprintf(stderr, "kiv_limit: %s: %s\n", argv[3], os.error().c_str());
      return exit_failed;
    }
    for (std::uint64_t i = 0; i < rows; ++i) write_row(os, sample[i % sample.size()]);
    bytes = os.tellp();
  }
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall0;
  std::printf("rows %llu bytes %llu wall %.3f cpu %.3f\n", static_cast<unsigned long long>(rows),
              static_cast<unsigned long long>(bytes), wall.count(), cpu_seconds() - cpu0);
  return 0;
}
