// What writing the rows of a conversion costs: writes the rows of a
// "memory" table through the table writer with no decoding and no model
// work. The rows are those of a table kiv wrote: up to sample_rows of them
// are read and split into fields (numbers are kept as numbers, so they are
// formatted again), then written round-robin until the requested number of
// rows is out.
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
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "output/out_stream.h"
#include "output/row_writer.h"
#include "runtime/settings.h"

namespace {

constexpr std::size_t sample_rows = 4096;
constexpr int exit_usage = 2;
constexpr int exit_failed = 1;

// A sample row as kiv writes it: runs of numbers of one signedness and
// texts, each field followed by the separator except the last.
struct piece {
  enum kind_t : std::uint8_t { signed_run, unsigned_run, text } kind;
  std::uint32_t first;  // index of the run's first number, or the text's offset
  std::uint32_t count;  // numbers in the run, or the text's length
};
struct row {
  std::vector<piece> pieces;
  std::vector<std::int64_t> signed_numbers;
  std::vector<std::uint64_t> unsigned_numbers;
  std::string texts;
};

// Appends one field, extending the last run when it has the same kind. A
// field is a number when formatting the number gives the same text (no
// leading zeros, no plus sign).
void add_field(row& r, std::string_view text) {
  const auto same = [&](piece::kind_t kind) { return !r.pieces.empty() && r.pieces.back().kind == kind; };
  const auto add_number = [&](piece::kind_t kind, std::size_t index) {
    if (same(kind)) ++r.pieces.back().count;
    else r.pieces.push_back({kind, static_cast<std::uint32_t>(index), 1});
  };
  std::int64_t s = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), s);
  if (ec == std::errc() && p == text.data() + text.size() && std::to_string(s) == text) {
    r.signed_numbers.push_back(s);
    return add_number(piece::signed_run, r.signed_numbers.size() - 1);
  }
  std::uint64_t u = 0;
  auto [q, ec2] = std::from_chars(text.data(), text.data() + text.size(), u);
  if (ec2 == std::errc() && q == text.data() + text.size() && std::to_string(u) == text) {
    r.unsigned_numbers.push_back(u);
    return add_number(piece::unsigned_run, r.unsigned_numbers.size() - 1);
  }
  r.pieces.push_back({piece::text, static_cast<std::uint32_t>(r.texts.size()), static_cast<std::uint32_t>(text.size())});
  r.texts.append(text);
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
      add_field(r, std::string_view(line).substr(start, end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    rows.push_back(std::move(r));
  }
  return rows;
}

// Every field is followed by the separator, as fields() and text_field()
// write them in kiv; the last one by the line end instead.
void write_row(out_stream& stream, const row& r) {
  row_writer os(stream, data_sep);
  for (std::size_t i = 0; i < r.pieces.size(); ++i) {
    const piece& pc = r.pieces[i];
    const bool last = i + 1 == r.pieces.size();
    const std::uint32_t n = last && pc.kind != piece::text ? pc.count - 1 : pc.count;
    switch (pc.kind) {
      case piece::signed_run:
        os.fields(std::span<const std::int64_t>(r.signed_numbers).subspan(pc.first, n));
        if (last) os << r.signed_numbers[pc.first + n];
        break;
      case piece::unsigned_run:
        os.fields(std::span<const std::uint64_t>(r.unsigned_numbers).subspan(pc.first, n));
        if (last) os << r.unsigned_numbers[pc.first + n];
        break;
      case piece::text: {
        const std::string_view text = std::string_view(r.texts).substr(pc.first, pc.count);
        if (last) os << text;
        else os.text_field(text);
        break;
      }
    }
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
