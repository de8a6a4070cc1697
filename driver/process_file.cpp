#include "driver/process_file.h"

#include <iostream>
#include <memory>

#include "header/XmlParser.h"
#include "header/kiv_hdr.h"
#include "reader/kiv_reader.h"

namespace {

constexpr int max_supported_version = 1;
constexpr const char* converted_file_type = "bin";

int check_header(const kiv_hdr& hdr) {
  if (hdr.version > max_supported_version) {
    std::cout << "header version \" " << hdr.version << " not supported " << '\n';
    return process_unsupported;
  }
  if (hdr.filetype != converted_file_type) return process_failed;
  return process_converted;
}

// Replays the data files, then writes the tables that describe the final
// state of the run, in this order. A run whose reading stopped is not
// dumped: its state is incomplete.
int convert(kiv_reader& reader) {
  reader.read_files();
  const std::uint64_t records = reader.ReadEvents();
  if (reader.stopped()) return process_stopped;
  reader.dump_proc_db(records);
  reader.dump_hash_db();
  reader.dump_malid_db(records);
  reader.dump_query_db();
  reader.dump_runid_db();
  reader.dump_object_db();
  return process_converted;
}

}  // namespace

int process_file(csv_file_sequence* sequence, sql_script* script, const std::string& dir,
                 const std::string& name, const std::string& description, bool first,
                 std::int64_t max_size, read_progress* progress) {
  const std::string path = dir + "/" + name;
  XmlParser parser(startElement, endElement, dataElement, nullptr);
  kiv_reader reader(&parser, sequence, script, dir.c_str(), path.c_str(), description.c_str(),
                    first, max_size);
  reader.report_progress_to(progress);
  const int result = check_header(reader.header());
  return result == process_converted ? convert(reader) : result;
}
