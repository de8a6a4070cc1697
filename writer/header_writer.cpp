#include "writer/header_writer.h"

#include <string>

namespace kivw {

namespace {

// One element line with attribute values, e.g. <pid value="12"/>.
std::string element_line(std::string_view indent, std::string_view name,
                         std::initializer_list<std::pair<std::string_view, std::string_view>> attrs) {
  std::string line(indent);
  line += '<';
  line += name;
  for (const auto& [key, value] : attrs) {
    line += ' ';
    line += key;
    line += "=\"";
    line += header_writer::escape(value);
    line += '"';
  }
  line += "/>\n";
  return line;
}

const char* endianess_text(const trace_options& options) {
  return options.order == byte_order::little ? "l" : "B";
}

const char* filetype_text(const trace_options& options) {
  return options.format == data_format::binary ? "bin" : "asc";
}

}  // namespace

header_writer::~header_writer() { close(); }

bool header_writer::open(const std::string& path) {
  close();
  file_ = std::fopen(path.c_str(), "w");
  return file_ != nullptr;
}

void header_writer::put(std::string_view text) {
  if (file_ == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), file_);
  std::fflush(file_);
}

std::string header_writer::escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

void header_writer::write_entry(const record_info& rec, const trace_options& options) {
  const std::string tag(1, rec.tag);
  std::string text = "    <entry tag=\"" + escape(tag) + "\" name=\"" + rec.name + "\" desc=\"" +
                     escape(rec.desc) + "\">\n";
  for (std::size_t i = 0; i < rec.elements.size(); ++i) {
    const std::string size = std::to_string(options.widths.get(rec.tag, i));
    text += element_line("      ", "elem", {{"name", rec.elements[i].name}, {"size", size}});
  }
  text += element_line("      ", "format", {{"fmt", format_line(rec)}});
  text += "    </entry>\n";
  put(text);
}

void header_writer::write_prologue(const trace_options& options, std::string_view runid) {
  const header_variant& v = options.variant;
  std::string text = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<kiv>\n";
  if (!v.omit_version) text += element_line("  ", "version", {{"type", v.version}});
  if (!v.omit_filetype)
    text += element_line("  ", "filetype", {{"type", v.filetype.empty() ? filetype_text(options) : v.filetype}});
  if (!v.omit_endianess)
    text += element_line("  ", "endianess",
                         {{"values", v.endianess.empty() ? endianess_text(options) : v.endianess}});
  text += element_line("  ", "pid", {{"value", std::to_string(options.pid)}});
  text += element_line("  ", "runid", {{"value", runid}});
  text += "  <al_alloc>\n";
  text += element_line("    ", "m_entry", {{"size", std::to_string(options.alloc.m_entry)}});
  text += element_line("    ", "mem_block", {{"size", std::to_string(options.alloc.mem_block)}});
  text += element_line("    ", "m_group", {{"size", std::to_string(options.alloc.m_group)}});
  text += "  </al_alloc>\n";
  for (const std::string& line : v.extra_top) text += line + "\n";
  text += "  <entries>\n";
  put(text);
  for (const record_info& rec : header_order()) {
    if (v.omit_entries.count(rec.tag) != 0) continue;
    const auto replaced = v.entry_xml.find(rec.tag);
    if (replaced != v.entry_xml.end()) {
      put(replaced->second + "\n");
      continue;
    }
    write_entry(rec, options);
  }
  std::string tail;
  for (const std::string& line : v.extra_entries) tail += line + "\n";
  tail += "  </entries>\n";
  put(tail);
}

void header_writer::write_kivfile(std::string_view file, std::string_view size) {
  std::string text = "  <kivfile>\n";
  text += element_line("    ", "file", {{"value", file}});
  text += element_line("    ", "size", {{"value", size}});
  text += "  </kivfile>\n";
  put(text);
}

void header_writer::write_value_line(std::string_view element, std::string_view value) {
  put(element_line("  ", element, {{"value", value}}));
}

void header_writer::write_raw(std::string_view text) {
  put(std::string(text) + "\n");
}

void header_writer::write_trailer(const header_trailer& trailer, time_value start, time_value end) {
  std::string text;
  text += element_line("  ", "time_start",
                       {{"secs", std::to_string(start.secs)}, {"nsecs", std::to_string(start.nsecs)}});
  text += element_line("  ", "time_end",
                       {{"secs", std::to_string(end.secs)}, {"nsecs", std::to_string(end.nsecs)}});
  text += element_line("  ", "progname", {{"name", trailer.progname}});
  text += element_line("  ", "user", {{"value", trailer.user}});
  text += element_line("  ", "kre", {{"value", trailer.kre}});
  text += element_line("  ", "pacc", {{"value", trailer.pacc}});
  text += element_line("  ", "hostname", {{"value", trailer.hostname}});
  text += "</kiv>\n";
  put(text);
}

void header_writer::close() {
  if (file_ == nullptr) return;
  std::fclose(file_);
  file_ = nullptr;
}

}  // namespace kivw
