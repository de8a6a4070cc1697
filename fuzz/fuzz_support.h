#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "writer/trace_options.h"

// What the harnesses and the seed generator share: the header variants a
// data input is read with, a scratch directory and silenced output.
namespace kiv_fuzz {

// Header variants, chosen by the first byte of a data input:
// 0 little-endian, 1 big-endian, 2 widths 8/1/2, 3 widths 0/3/9 (not
// decodable: every number keeps its initial value).
inline constexpr int variant_count = 4;

// Options of a run of process 7 in dir/runid with the given header variant,
// a fixed clock and fixed allocator figures.
kivw::trace_options variant_options(int variant, const std::string& dir, const std::string& runid);

// Creates a fresh scratch directory under the temporary directory, removed
// again when the process exits normally.
std::string make_work_dir(const char* purpose);

// Discards what the converter writes to std::cout and std::cerr.
// The process's own descriptors stay as they are, so the fuzzer's and the
// sanitizers' reports still reach the terminal.
void silence_output();

// Writes bytes to path (truncating); false when the file cannot be written.
bool write_file(const std::string& path, std::string_view bytes);

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace kiv_fuzz
