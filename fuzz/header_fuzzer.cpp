// Arbitrary bytes as a trace header: reading, the debug listing of the
// entries, every width lookup and the "runs" row must neither crash nor
// read outside what the document gave.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "header/XmlParser.h"
#include "header/kiv_hdr.h"
#include "output/out_stream.h"
#include "runtime/settings.h"

namespace {

// Lookups cover every signed tag byte and indexes around the fields that
// a record type can have.
constexpr int lowest_tag = -128;
constexpr int highest_tag = 127;
constexpr int lowest_index = -1;
constexpr int highest_index = 9;

std::string header_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kiv_fuzz::silence_output();
  header_path = kiv_fuzz::make_work_dir("header") + "/fuzz.7.kivhdr";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!kiv_fuzz::write_file(header_path, kiv_fuzz::as_text(data, size))) return 0;
  debug_level = 1;
  XmlParser parser(startElement, endElement, dataElement, nullptr);
  kiv_hdr hdr(&parser, header_path, "fuzzed header");
  hdr.read_header();
  hdr.dump_entries();
  // Widths come from the header as they stand (any int): summed in 64 bits.
  std::int64_t widths = 0;
  for (int tag = lowest_tag; tag <= highest_tag; ++tag)
    for (int index = lowest_index; index <= highest_index; ++index)
      widths += hdr.get_elem_size(static_cast<kiv_type>(tag), index);
  // A stream that was never opened drops what it is given.
  static out_stream unopened;
  unopened << widths;
  hdr.dumphdr(unopened);
  debug_level = 0;
  return 0;
}
