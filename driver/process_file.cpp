#include "driver/process_file.h"

#include <iostream>
#include <memory>

#include "header/XmlParser.h"
#include "header/kiv_hdr.h"

namespace {

constexpr int max_supported_version = 1;
constexpr const char* converted_file_type = "bin";

// Builds and reads the header model of one conversion.
// MERGE: this becomes the construction of kiv_reader (parser, sequence,
// script, dir, path, description, first, max_size), which builds the header
// model itself; process_file then takes the model from the reader.
std::unique_ptr<kiv_hdr> open_conversion(XmlParser& parser, const std::string& path,
                                         const std::string& description) {
  auto hdr = std::make_unique<kiv_hdr>(&parser, path, description);
  hdr->read_header();
  hdr->dump_entries();
  return hdr;
}

int check_header(const kiv_hdr& hdr) {
  if (hdr.version > max_supported_version) {
    std::cout << "header version \" " << hdr.version << " not supported " << '\n';
    return process_unsupported;
  }
  if (hdr.filetype != converted_file_type) return process_failed;
  return process_converted;
}

}  // namespace

int process_file([[maybe_unused]] csv_file_sequence* sequence, [[maybe_unused]] sql_script* script,
                 const std::string& dir, const std::string& name, const std::string& description,
                 [[maybe_unused]] bool first, [[maybe_unused]] std::int64_t max_size) {
  const std::string path = dir + "/" + name;
  XmlParser parser(startElement, endElement, dataElement, nullptr);
  const std::unique_ptr<kiv_hdr> hdr = open_conversion(parser, path, description);
  const int result = check_header(*hdr);
  // MERGE: when result is process_converted, run the event loop (ReadEvents)
  // and the dumps in order: processes with the record count, locations,
  // malloc ids with the record count, queries, runs, objects.
  return result;
}
