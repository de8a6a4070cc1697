#include "header/kiv_hdr.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string_view>

#include "header/XmlParser.h"
#include "header/attributes.h"
#include "header/el_stack.h"
#include "header/time_text.h"
#include "output/out_stream.h"
#include "runtime/settings.h"

namespace {

// Largest piece Expat takes in one call; a header is far smaller.
constexpr std::streamoff max_parse_chunk = INT_MAX;

bool is(const char* name, const char* tag) { return std::strcmp(name, tag) == 0; }

std::streamoff stream_size(std::ifstream& in) {
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  return size > 0 ? size : 0;
}

}  // namespace

// A directory is not a header: it is left unopened so that reading reports it.
kiv_hdr::kiv_hdr(XmlParser* parser, const std::string& path, const std::string& description_text)
    : element("kiv_hdr"), description(description_text), parser_(parser), header_path_(path) {
  std::error_code ec;
  if (!std::filesystem::is_directory(path, ec)) header_stream_.open(path, std::ios::binary);
  EL_STACK_PUSH(this);
}

kiv_hdr::~kiv_hdr() = default;

int kiv_hdr::read_header() {
  if (!header_stream_.is_open()) {
    std::cerr << "header file " << header_path_ << " cannot be opened" << '\n';
    return header_not_open;
  }
  const std::streamoff size = stream_size(header_stream_);
  std::string buffer(static_cast<std::size_t>(size), '\0');
  header_stream_.read(buffer.data(), size);
  if (!parse(buffer.data(), header_stream_.gcount())) return header_parse_error;
  if (started) return header_read;
  std::cerr << "header file " << header_path_ << " holds no <kiv> element" << '\n';
  return header_parse_error;
}

// Hands the buffer to Expat as not final, so a document whose writer never
// closed it still parses.
bool kiv_hdr::parse(const char* data, std::streamoff size) {
  XML_Parser p = parser_->get_parser();
  do {
    const int len = static_cast<int>(std::min(size, max_parse_chunk));
    if (XML_Parse(p, data, len, 0) == XML_STATUS_ERROR) {
      std::cerr << XML_ErrorString(XML_GetErrorCode(p)) << " at line" << XML_GetCurrentLineNumber(p) << '\n';
      return false;
    }
    data += len;
    size -= len;
  } while (size > 0);
  return true;
}

void kiv_hdr::dump_entries() const {
  if (!debug_level) return;
  for (const auto& e : entries) {
    std::cerr << "tag: " << e->tag << " entry_name: " << e->entry_name << '\n';
    std::cerr << " desc: " << e->desc << " format: " << e->format << '\n';
    for (const auto& field : e->elems) std::cout << "  name: " << field->elem_name << " size: " << field->size << '\n';
  }
}

const entry* kiv_hdr::find_entry(kiv_type type) const {
  const auto it = entry_map.find(type);
  return it == entry_map.end() ? nullptr : it->second;
}

int kiv_hdr::get_elem_size(kiv_type type, int index) const {
  const entry* e = find_entry(type);
  if (!e || index < 0 || static_cast<std::size_t>(index) >= e->elems.size()) return 0;
  return e->elems[static_cast<std::size_t>(index)]->size;
}

void kiv_hdr::dumphdr(out_stream& os) const {
  os << runid << data_sep << pid << data_sep
     << time_text(time_start_secs, static_cast<std::uint32_t>(time_start_nsecs)) << data_sep
     << time_text(time_end_secs, static_cast<std::uint32_t>(time_end_nsecs)) << data_sep << progname << data_sep
     << kre << data_sep << pacc << data_sep << hostname << data_sep << user << data_sep << description << data_sep
     << m_entry << data_sep << mem_block << data_sep << m_group;
}

out_stream& operator<<(out_stream& os, const kiv_hdr& hdr) {
  hdr.dumphdr(os);
  return os;
}

void kiv_hdr::add_entry(const char* name, const char** attrs) {
  entries.push_back(std::make_unique<entry>(name));
  entry* e = entries.back().get();
  e->set_attrs(name, attrs);
  entry_map[static_cast<kiv_type>(e->tag)] = e;
}

// Returns false for an element this document does not know.
bool kiv_hdr::take_element(const char* name, const char** attrs) {
  using handler = void (*)(kiv_hdr&, const char**);
  struct known_element {
    const char* name;
    handler take;
  };
  static constexpr known_element known[] = {
      {"kiv", [](kiv_hdr& h, const char**) { h.started = true; }},
      {"version", [](kiv_hdr& h, const char** a) { h.version = attr_number(a, 0); }},
      {"filetype", [](kiv_hdr& h, const char** a) { h.filetype = attr_value(a, 0); }},
      {"endianess", [](kiv_hdr& h, const char** a) { h.little_endian = attr_value(a, 0)[0] == 'l'; }},
      {"pid", [](kiv_hdr& h, const char** a) { h.pid = attr_number(a, 0); }},
      {"runid", [](kiv_hdr& h, const char** a) { h.runid = attr_value(a, 0); }},
      {"al_alloc", [](kiv_hdr&, const char**) {}},
      {"m_entry", [](kiv_hdr& h, const char** a) { h.m_entry = attr_number(a, 0); }},
      {"mem_block", [](kiv_hdr& h, const char** a) { h.mem_block = attr_number(a, 0); }},
      {"m_group", [](kiv_hdr& h, const char** a) { h.m_group = attr_number(a, 0); }},
      {"entries", [](kiv_hdr&, const char**) {}},
      {"entry", [](kiv_hdr& h, const char** a) { h.add_entry("entry", a); }},
      {"kivfile", [](kiv_hdr& h, const char**) { h.files.push_back(std::make_unique<kivfile>("kivfile")); }},
      {"time_start",
       [](kiv_hdr& h, const char** a) {
         h.time_start_secs = attr_number(a, 0);
         h.time_start_nsecs = attr_number(a, 1);
       }},
      {"time_end",
       [](kiv_hdr& h, const char** a) {
         h.time_end_secs = attr_number(a, 0);
         h.time_end_nsecs = attr_number(a, 1);
       }},
      {"progname", [](kiv_hdr& h, const char** a) { h.progname = attr_value(a, 0); }},
      {"user", [](kiv_hdr& h, const char** a) { h.user = attr_value(a, 0); }},
      {"kre", [](kiv_hdr& h, const char** a) { h.kre = attr_value(a, 0); }},
      {"pacc", [](kiv_hdr& h, const char** a) { h.pacc = attr_value(a, 0); }},
      {"hostname", [](kiv_hdr& h, const char** a) { h.hostname = attr_value(a, 0); }},
  };
  for (const known_element& k : known) {
    if (!is(name, k.name)) continue;
    k.take(*this, attrs);
    return true;
  }
  return false;
}

void kiv_hdr::startElement(element*, const char* name, const char** attrs) {
  if (debug_level) std::cerr << ">tag: " << name << '\n';
  if (!take_element(name, attrs) && debug_level)
    std::cerr << "kiv_hdr::startElement >>>> Unknown tag '" << name << "' " << '\n';
}

void kiv_hdr::endElement(element*, const char* name) {
  if (debug_level) std::cerr << "<tag: " << name << '\n';
  if (!is(name, "kiv")) return;
  EL_STACK_POP(this);
  started = true;
}
