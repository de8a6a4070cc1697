#pragma once

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "header/element.h"
#include "header/entry.h"
#include "header/kiv_type.h"
#include "header/kivfile.h"

class XmlParser;
class out_stream;

// Layout model of one trace header: the run's identity and the width of
// every field of every record type.
class kiv_hdr : public element {
 public:
  kiv_hdr(XmlParser* parser, const std::string& path, const std::string& description);
  ~kiv_hdr() override;

  static constexpr int header_read = 0;
  // The document is not well formed or holds no <kiv> element.
  static constexpr int header_parse_error = 2;
  static constexpr int header_not_open = 3;

  // header_read, header_parse_error or header_not_open.
  int read_header();
  // Debug listing of all entries (debug level 1 and above).
  void dump_entries() const;
  // Width in bytes of field index of record type type; 0 when unknown.
  int get_elem_size(kiv_type type, int index) const;
  // The entry for a record type, or null.
  const entry* find_entry(kiv_type type) const;
  // Writes the run's row of the "runs" table, without the line end.
  void dumphdr(out_stream& os) const;

  void startElement(element* self, const char* name, const char** attrs) override;
  void endElement(element* self, const char* name) override;

  bool started = false;
  std::string filetype;
  int version = 0;
  int m_entry = 0;
  int mem_block = 0;
  int m_group = 0;
  bool little_endian = true;
  int pid = 0;
  std::string progname;
  std::string runid;
  std::string user;
  std::string kre;
  std::string pacc;
  std::string hostname;
  std::string description;
  int time_start_secs = 0;
  int time_start_nsecs = 0;
  int time_end_secs = 0;
  int time_end_nsecs = 0;
  std::vector<std::unique_ptr<entry>> entries;
  std::vector<std::unique_ptr<kivfile>> files;
  std::map<kiv_type, entry*> entry_map;

 private:
  bool parse(const char* data, std::streamoff size);
  bool take_element(const char* name, const char** attrs);
  void add_entry(const char* name, const char** attrs);

  XmlParser* parser_;
  std::ifstream header_stream_;
  std::string header_path_;
};

out_stream& operator<<(out_stream& os, const kiv_hdr& hdr);
