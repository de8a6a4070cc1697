#include "writer/trace_options.h"

#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdlib>
#include <string_view>

namespace kivw {

namespace {

constexpr std::size_t max_runid_length = 9;
constexpr std::size_t host_name_max = 256;

enum trace_field : std::size_t { f_level, f_dir, f_size, f_base, f_runid, f_bufmode, field_count };

std::array<std::string, field_count> split_trace_fields(const char* text) {
  std::array<std::string, field_count> fields;
  if (text == nullptr) return fields;
  std::string_view rest(text);
  for (std::size_t i = 0; i < field_count; ++i) {
    const std::size_t comma = rest.find(',');
    fields[i] = std::string(rest.substr(0, comma));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return fields;
}

// The variable's value when it is set and not empty.
std::string get(const env_lookup& lookup, const char* name) {
  const char* v = lookup(name);
  return v != nullptr ? std::string(v) : std::string();
}

// The variable when set, else the KIV_TRACE field (KIV_LEVEL, KIV_SIZE and
// KIV_BUFMODE win over the field).
std::string variable_first(const env_lookup& lookup, const char* name, const std::string& field) {
  std::string v = get(lookup, name);
  return v.empty() ? field : v;
}

// The KIV_TRACE field when not empty, else the variable (dir and runid).
std::string field_first(const env_lookup& lookup, const char* name, const std::string& field) {
  return field.empty() ? get(lookup, name) : field;
}

std::optional<data_format> level_format(const std::string& level) {
  if (level.empty()) return std::nullopt;
  switch (level[0]) {
    case '1': case 'B': case 'b': return data_format::binary;
    case '2': case 'A': case 'a': return data_format::text;
    default: return std::nullopt;
  }
}

std::string trace_dir(const env_lookup& lookup, const std::string& field) {
  std::string dir = field_first(lookup, "KIV_DIR", field);
  if (!dir.empty()) return dir;
  dir = get(lookup, "KRE_TMP");
  if (!dir.empty()) return dir;
  const std::string kre = get(lookup, "KRE");
  return kre.empty() ? std::string() : kre + "/tmp";
}

// Kilobytes from the text; a missing, unreadable or zero value gives the
// default limit.
std::uint64_t size_limit(const std::string& text) {
  std::uint64_t kb = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), kb);
  (void)end;
  if (ec != std::errc() || kb == 0) kb = default_size_limit_kb;
  return kb * bytes_per_kb;
}

buffer_mode buffering(const std::string& text) {
  if (!text.empty() && text[0] == 'l') return buffer_mode::line;
  if (!text.empty() && text[0] == 'n') return buffer_mode::none;
  return buffer_mode::full;
}

std::string host_name() {
  std::array<char, host_name_max> buf{};
  if (gethostname(buf.data(), buf.size() - 1) != 0) return {};
  return buf.data();
}

}  // namespace

std::optional<trace_options> options_from_environment(std::int32_t os_pid, const env_lookup& lookup_in) {
  const env_lookup lookup = lookup_in ? lookup_in : env_lookup([](const char* n) { return std::getenv(n); });
  const auto fields = split_trace_fields(lookup("KIV_TRACE"));

  const auto format = level_format(variable_first(lookup, "KIV_LEVEL", fields[f_level]));
  if (!format) return std::nullopt;
  trace_options opt;
  opt.dir = trace_dir(lookup, fields[f_dir]);
  if (opt.dir.empty()) return std::nullopt;

  opt.format = *format;
  opt.size_limit = size_limit(variable_first(lookup, "KIV_SIZE", fields[f_size]));
  opt.bufmode = buffering(variable_first(lookup, "KIV_BUFMODE", fields[f_bufmode]));
  if (!fields[f_base].empty()) opt.base = fields[f_base];
  opt.runid = field_first(lookup, "KIV_RUNID", fields[f_runid]);
  if (opt.runid.empty()) opt.runid = std::to_string(os_pid);
  opt.runid.resize(std::min(opt.runid.size(), max_runid_length));
  opt.pid = lookup("KIV_NOPID") != nullptr ? 0 : os_pid;

  opt.trailer.user = get(lookup, "USER");
  opt.trailer.kre = get(lookup, "KRE");
  opt.trailer.hostname = host_name();
  return opt;
}

std::optional<trace_options> options_for_this_process(const std::string& progname) {
  if (const char* pre = std::getenv("KIV_PRE_ALLOC"); pre != nullptr) {
    // Reserve and release the requested amount once, so that the allocator
    // has grown before the writer's own first allocation.
    const long bytes = std::strtol(pre, nullptr, 10);
    if (bytes > 0) {
      void* volatile block = std::malloc(static_cast<std::size_t>(bytes));
      std::free(block);
    }
  }
  auto opt = options_from_environment(static_cast<std::int32_t>(getpid()));
  if (!opt) return opt;
  opt->trailer.progname = progname;
  setenv("KIV_RUNID", opt->runid.c_str(), 1);
  return opt;
}

}  // namespace kivw
