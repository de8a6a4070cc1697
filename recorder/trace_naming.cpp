#include "recorder/trace_naming.h"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "recorder/stack_file_reader.h"
#include "writer/header_writer.h"

namespace kivrec {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view header_suffix = ".kivhdr";
constexpr std::string_view names_suffix = ".names.kivdat";
constexpr std::string_view header_end = "</kiv>\n";
constexpr std::string_view file_list_start = "  <kivfile>\n";
constexpr std::string_view file_value = "<file value=\"";
constexpr std::size_t record_frame_bytes = 3;
constexpr std::size_t max_payload = 65535;
constexpr std::size_t time_record_bytes = record_frame_bytes + 8;

std::optional<std::string> read_whole(const fs::path& path) {
  std::string text;
  if (!read_file_from(path.string(), 0, text)) return std::nullopt;
  return text;
}

std::string xml_unescaped(std::string_view text) {
  static const std::pair<std::string_view, char> entities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool replaced = false;
    for (const auto& [entity, c] : entities) {
      if (text.substr(i).starts_with(entity)) {
        out += c;
        i += entity.size() - 1;
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i];
  }
  return out;
}

// The value of the first <file value="..."/> of the header's data file list.
std::optional<std::string> first_data_file(const std::string& header) {
  const std::size_t list = header.find(file_list_start);
  if (list == std::string::npos) return std::nullopt;
  const std::size_t start = header.find(file_value, list);
  if (start == std::string::npos) return std::nullopt;
  const std::size_t value = start + file_value.size();
  const std::size_t end = header.find('"', value);
  if (end == std::string::npos) return std::nullopt;
  return xml_unescaped(std::string_view(header).substr(value, end - value));
}

// A header left open by a process that still runs is still being written.
bool still_written(const std::string& header) {
  if (header.ends_with(header_end)) return false;
  constexpr std::string_view pid_tag = "<pid value=\"";
  const std::size_t at = header.find(pid_tag);
  if (at == std::string::npos) return false;
  const long pid = std::strtol(header.c_str() + at + pid_tag.size(), nullptr, 10);
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

void put_le(std::string& out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
}

void append_record(std::string& out, char tag, std::string_view payload) {
  out += tag;
  put_le(out, payload.size(), 2);
  out += payload;
}

// The names file starts with the time stamp the first data file starts
// with, so that its records carry the trace's first time.
std::string opening_time_record(const fs::path& first_data) {
  std::ifstream in(first_data, std::ios::binary);
  std::string record(time_record_bytes, '\0');
  if (in.read(record.data(), static_cast<std::streamsize>(record.size())) && record[0] == 'T' &&
      static_cast<unsigned char>(record[1]) == time_record_bytes - record_frame_bytes && record[2] == 0)
    return record;
  std::string payload;
  put_le(payload, 0, time_record_bytes - record_frame_bytes);
  std::string fallback;
  append_record(fallback, 'T', payload);
  return fallback;
}

struct pending_names {
  std::string data;  // the names file
  std::size_t stacks = 0;
};

pending_names names_of(const stack_file_contents& contents, stack_namer& namer, const fs::path& first_data) {
  pending_names out;
  out.data = opening_time_record(first_data);
  const auto width = static_cast<std::size_t>(contents.address_width);
  // The same address in the same generation is the same code: each is
  // looked up once.
  std::unordered_map<std::uint64_t, std::unordered_map<std::uint64_t, const std::vector<std::string>*>> seen;
  std::unordered_map<const recorded_object*, object_file> files;
  kivstack::stack_text_builder text(max_payload - width - 1 < kivstack::max_text_bytes ? max_payload - width - 1
                                                                                        : kivstack::max_text_bytes);
  std::string payload;
  for (const recorded_stack& stack : contents.stacks) {
    text.clear();
    auto& by_address = seen[stack.generation];
    for (const std::uint64_t address : stack.frames) {
      const std::vector<std::string>*& names = by_address[address];
      if (names == nullptr) {
        const recorded_object* object = contents.object_at(address, stack.generation);
        const object_file* file = nullptr;
        if (object != nullptr) {
          auto [it, added] = files.try_emplace(object, object_file{object->path, object->build_id, object->load_bias});
          file = &it->second;
        }
        names = &namer.frames(file, address);
      }
      for (const std::string& frame : *names) text.add(frame);
    }
    payload.clear();
    put_le(payload, stack.key, width);
    payload += text.text();
    payload += '\0';
    append_record(out.data, 'H', payload);
    ++out.stacks;
  }
  return out;
}

bool write_file(const fs::path& path, std::string_view data, mode_t mode) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  const bool closed = std::fclose(f) == 0;
  if (written && closed) ::chmod(path.c_str(), mode);
  return written && closed;
}

// The header with the names file listed first among its data files,
// written to a new file that then replaces it.
bool relist_header(const fs::path& header_path, const std::string& base, const std::string& header,
                   const std::string& names_value, std::size_t names_size) {
  std::ostringstream entry;
  entry << file_list_start << "    <file value=\"" << kivw::header_writer::escape(names_value) << "\"/>\n    <size value=\""
        << names_size << "\"/>\n  </kivfile>\n";
  std::string text = header;
  text.insert(header.find(file_list_start), entry.str());
  struct stat st {};
  const mode_t mode = ::stat(header_path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0644;
  // Not named like a header: kiv never takes it for one.
  const fs::path fresh = header_path.parent_path() / (base + ".naming");
  if (!write_file(fresh, text, mode)) return false;
  std::error_code ec;
  fs::rename(fresh, header_path, ec);
  if (!ec) return true;
  fs::remove(fresh, ec);
  return false;
}

enum class header_result { named, skipped, failed };

header_result name_header(const fs::path& header_path, stack_namer& namer, naming_outcome& outcome) {
  const auto header = read_whole(header_path);
  if (!header) {
    outcome.problems.push_back("cannot read " + header_path.string());
    return header_result::failed;
  }
  if (header->find(std::string(names_suffix) + "\"") != std::string::npos || still_written(*header))
    return header_result::skipped;
  std::string base = header_path.filename().string();
  base.resize(base.size() - header_suffix.size());
  const fs::path stack_path = header_path.parent_path() / (base + stack_format::suffix);
  const auto data_value = first_data_file(*header);
  if (!fs::exists(stack_path) || !data_value) return header_result::skipped;
  std::string error;
  const auto contents = read_stack_file(stack_path.string(), &error);
  if (!contents) {
    outcome.problems.push_back(error);
    return header_result::failed;
  }
  const fs::path first_data = header_path.parent_path() / fs::path(*data_value).filename();
  const pending_names names = names_of(*contents, namer, first_data);
  const std::string names_name = base + std::string(names_suffix);
  const std::string names_value = data_value->substr(0, data_value->rfind('/') + 1) + names_name;
  struct stat st {};
  const mode_t mode = ::stat(header_path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0644;
  if (!write_file(header_path.parent_path() / names_name, names.data, mode) ||
      !relist_header(header_path, base, *header, names_value, names.data.size())) {
    outcome.problems.push_back("cannot write the names of " + header_path.string());
    return header_result::failed;
  }
  outcome.stacks += names.stacks;
  return header_result::named;
}

}  // namespace

naming_outcome name_run(const std::string& run_dir, stack_namer& namer) {
  naming_outcome outcome;
  std::error_code ec;
  std::vector<fs::path> headers;
  for (const auto& entry : fs::directory_iterator(run_dir, ec))
    if (entry.path().filename().string().ends_with(header_suffix)) headers.push_back(entry.path());
  if (ec) {
    outcome.problems.push_back("cannot read the run directory " + run_dir + ": " + ec.message());
    return outcome;
  }
  for (const fs::path& header : headers) {
    switch (name_header(header, namer, outcome)) {
      case header_result::named: ++outcome.named; break;
      case header_result::skipped: ++outcome.skipped; break;
      case header_result::failed: break;
    }
  }
  return outcome;
}

}  // namespace kivrec
