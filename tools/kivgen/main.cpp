// kivgen: writes a deterministic, plausible trace run with the project's
// trace writer and prints the kiv command line that converts it.

#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "tools/kivgen/run_generator.h"

namespace {

constexpr int exit_usage = 2;
constexpr int exit_failed = 1;

void usage(std::FILE* out) {
  std::fputs(
      "usage: kivgen [options]\n"
      "  --dir <path>        trace directory (created when missing; default .)\n"
      "  --runid <id>        run id: the run directory's name (default kivgen)\n"
      "  --base <name>       base name of the trace files (default kiv)\n"
      "  --seed <n>          seed of the run (default 1)\n"
      "  --records <n>       number of records to write (default 100000)\n"
      "  --size <kb>         data file limit in kilobytes, as KIV_SIZE (default 4096)\n"
      "  --pid <n>           pid of the traced program (default 4242)\n"
      "  --processes <n>     3GL processes started during the run (default 4)\n"
      "  --session-records <n>\n"
      "                      processes run side by side and each ends after n\n"
      "                      records, replaced by a new one (default 0: they start\n"
      "                      in the first half of the run and end in the second)\n"
      "  --big-endian        write big-endian data files\n"
      "  --leaky             never free memory\n"
      "  --help              this text\n",
      out);
}

template <typename T>
bool parse_number(std::string_view text, T& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// A word the shell takes as it stands.
std::string shell_word(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_not_of(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./-+:=,") == std::string::npos;
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Fills `opt` from the command line; returns -1 to go on, else the exit code.
int parse(int argc, char** argv, kivgen::generator_options& opt) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      usage(stdout);
      return 0;
    }
    if (arg == "--big-endian") {
      opt.big_endian = true;
      continue;
    }
    if (arg == "--leaky") {
      opt.leaky = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "kivgen: %s needs a value\n", argv[i]);
      return exit_usage;
    }
    const std::string_view value = argv[++i];
    bool ok = true;
    if (arg == "--dir") opt.dir = value;
    else if (arg == "--runid") opt.runid = value;
    else if (arg == "--base") opt.base = value;
    else if (arg == "--seed") ok = parse_number(value, opt.seed);
    else if (arg == "--records") ok = parse_number(value, opt.records);
    else if (arg == "--size") ok = parse_number(value, opt.size_kb) && opt.size_kb > 0;
    else if (arg == "--pid") ok = parse_number(value, opt.pid);
    else if (arg == "--processes") ok = parse_number(value, opt.processes) && opt.processes > 0;
    else if (arg == "--session-records") ok = parse_number(value, opt.session_records);
    else {
      std::fprintf(stderr, "kivgen: unknown option %s\n", argv[i - 1]);
      usage(stderr);
      return exit_usage;
    }
    if (!ok) {
      std::fprintf(stderr, "kivgen: bad value for %s: %s\n", argv[i - 1], argv[i]);
      return exit_usage;
    }
  }
  if (opt.runid.empty() || opt.runid.find('/') != std::string::npos) {
    std::fputs("kivgen: the run id must be a plain directory name\n", stderr);
    return exit_usage;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  kivgen::generator_options opt;
  if (const int code = parse(argc, argv, opt); code >= 0) return code;
  std::error_code ec;
  std::filesystem::create_directories(opt.dir, ec);
  kivgen::run_generator gen(opt);
  if (!gen.run()) {
    std::fprintf(stderr, "kivgen: cannot write the trace into %s\n", opt.dir.c_str());
    return exit_failed;
  }
  const kivw::trace_session& s = gen.session();
  std::fprintf(stderr, "kivgen: %llu records in %u data files under %s\n",
               static_cast<unsigned long long>(s.record_count()), s.file_count(), s.run_dir().c_str());
  // The header names its data files relative to the trace directory, so
  // kiv runs from there.
  std::printf("cd %s && kiv -R %s\n", shell_word(opt.dir).c_str(), shell_word(opt.runid).c_str());
  return 0;
}
