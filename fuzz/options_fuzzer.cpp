// Arbitrary argument vectors through the option parser. Words are the
// input split at zero bytes; the program name comes first as the shell
// would pass it. Only the parser runs: no conversion, no exit.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words{"kiv"};
  std::string word;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] != 0) {
      word += static_cast<char>(data[i]);
      continue;
    }
    words.push_back(word);
    word.clear();
  }
  if (!word.empty()) words.push_back(word);
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);
  const kiv_options opts = parse_options(static_cast<int>(words.size()), argv.data());
  if (opts.debug_level < 0 || opts.debug_level > 2) __builtin_trap();
  // The size computation on its own, for every word; the values must stay
  // where the optimiser cannot drop the calls.
  for (const std::string& w : words) {
    const std::int64_t size = parse_max_size(w.c_str());
    asm volatile("" : : "g"(size) : "memory");
  }
  return 0;
}
