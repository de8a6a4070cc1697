#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "writer/element_widths.h"
#include "writer/payload_builder.h"
#include "writer/trace_clock.h"

namespace kivw {

// Figures of the native allocator, as a mallinfo record carries them.
struct mallinfo_values {
  std::uint32_t arena = 0;
  std::uint32_t used = 0;
  std::uint32_t freed = 0;
  friend bool operator==(const mallinfo_values&, const mallinfo_values&) = default;
};

// Binary data files ("bin") or text data files ("asc").
enum class data_format { binary, text };

// Buffering of text data files.
enum class buffer_mode { full, line, none };

// Values of the header trailer. Times left unset are read from the
// session's clock when the session opens and closes.
struct header_trailer {
  std::optional<time_value> time_start;
  std::optional<time_value> time_end;
  std::string progname;
  std::string user;
  std::string kre;
  std::string pacc;
  std::string hostname;
};

// Deviations from the normal header, for traces that exercise the
// converter's handling of odd documents. Everything defaults to the header
// a normal run writes.
struct header_variant {
  std::string version = "1";
  std::string filetype;                  // empty: "bin" or "asc" from the data format
  std::string endianess;                 // empty: "l" or "B" from the byte order
  bool omit_version = false;
  bool omit_filetype = false;
  bool omit_endianess = false;
  std::set<char> omit_entries;           // standard entries left out
  std::map<char, std::string> entry_xml; // replaces a standard entry's XML text
  std::vector<std::string> extra_entries;// XML lines added just before </entries>
  std::vector<std::string> extra_top;    // XML lines added just before <entries>
};

// Allocator unit sizes stated in <al_alloc>.
struct allocator_sizes {
  std::int32_t m_entry = 32;
  std::int32_t mem_block = 65536;
  std::int32_t m_group = 16;
};

inline constexpr std::uint64_t default_size_limit_kb = 4096;
inline constexpr std::uint64_t bytes_per_kb = 1024;

// Everything a trace session needs. Tests fill it directly; a traced
// program gets it from options_from_environment().
struct trace_options {
  std::string dir;                 // trace directory (must exist)
  std::string runid;               // empty: the decimal pid
  std::string base = "kiv";
  std::int32_t pid = 0;            // pid in file names and in the header
  std::uint64_t size_limit = default_size_limit_kb * bytes_per_kb;  // bytes per data file
  byte_order order = byte_order::little;
  data_format format = data_format::binary;
  buffer_mode bufmode = buffer_mode::full;
  std::shared_ptr<trace_clock> clock;                 // null: system_clock
  std::function<mallinfo_values()> mallinfo_source;   // null: the system allocator
  header_trailer trailer;
  header_variant variant;
  allocator_sizes alloc;
  element_widths widths;
};

// Looks up an environment variable; returns nullptr when it is unset.
using env_lookup = std::function<const char*(const char*)>;

// Reads the tracing configuration from KIV_TRACE (level,dir,size,base,
// runid,bufmode), KIV_LEVEL, KIV_DIR, KRE_TMP, KRE, KIV_SIZE, KIV_RUNID,
// KIV_BUFMODE and KIV_NOPID. Returns nothing when tracing is off (no or an
// unknown level, or no trace directory). `os_pid` is the process id to use
// when KIV_NOPID is unset. The trailer's user, kre and host name are taken
// from USER, KRE and the host name.
std::optional<trace_options> options_from_environment(std::int32_t os_pid,
                                                      const env_lookup& lookup = nullptr);

// What a traced program does at start-up: options_from_environment() with
// the real environment and process id, KIV_PRE_ALLOC honoured, and the run
// id used put back into the environment as KIV_RUNID.
std::optional<trace_options> options_for_this_process(const std::string& progname);

}  // namespace kivw
