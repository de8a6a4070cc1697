#include "trace_decoder.h"

#include <fstream>
#include <regex>
#include <sstream>

namespace trace_test {

namespace {

// Record types whose last element is a zero-terminated string.
bool has_string(char tag) {
  static const std::string with_text = "HRcPBlbioQCyY";
  return with_text.find(tag) != std::string::npos;
}

std::vector<std::string> attribute_values(const std::string& attrs) {
  static const std::regex attr(R"re((\w+)="([^"]*)")re");
  std::vector<std::string> out;
  for (auto it = std::sregex_iterator(attrs.begin(), attrs.end(), attr); it != std::sregex_iterator(); ++it)
    out.push_back((*it)[2]);
  return out;
}

std::uint64_t read_number(const std::string& bytes, std::size_t pos, int width, bool little) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) {
    const auto b = static_cast<unsigned char>(bytes[pos + static_cast<std::size_t>(little ? width - 1 - i : i)]);
    v = (v << 8) | b;
  }
  return v;
}

}  // namespace

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::int64_t as_signed(std::uint64_t value, int width) {
  if (width >= 8 || width <= 0) return static_cast<std::int64_t>(value);
  const std::uint64_t sign = std::uint64_t{1} << (8 * width - 1);
  return static_cast<std::int64_t>((value ^ sign) - sign);
}

const header_entry* decoded_header::entry(char tag) const {
  const header_entry* found = nullptr;
  for (const auto& e : entries)
    if (e.tag == tag) found = &e;
  return found;
}

int decoded_header::width(char tag, std::size_t index) const {
  const header_entry* e = entry(tag);
  return e != nullptr && index < e->elems.size() ? e->elems[index].second : 0;
}

decoded_header read_header(const std::string& path) {
  decoded_header h;
  h.text = read_file(path);
  static const std::regex element(R"re(<(/?)(\w+)([^>]*?)/?>)re");
  header_entry* current = nullptr;
  header_kivfile* file = nullptr;
  for (auto it = std::sregex_iterator(h.text.begin(), h.text.end(), element); it != std::sregex_iterator(); ++it) {
    const bool closing = (*it)[1] == "/";
    const std::string name = (*it)[2];
    const auto values = attribute_values((*it)[3]);
    if (closing) {
      if (name == "entry") current = nullptr;
      if (name == "kivfile") file = nullptr;
      if (name == "kiv") h.closed = true;
      continue;
    }
    if (name == "entry") {
      h.entries.push_back({values.empty() || values[0].empty() ? '\0' : values[0][0],
                           values.size() > 1 ? values[1] : "", values.size() > 2 ? values[2] : "", {}, ""});
      current = &h.entries.back();
    } else if (name == "kivfile") {
      h.files.push_back({});
      file = &h.files.back();
    } else if (current != nullptr && name == "elem") {
      current->elems.emplace_back(values.at(0), std::stoi(values.at(1)));
    } else if (current != nullptr && name == "format") {
      current->format = values.at(0);
    } else if (file != nullptr && (name == "file" || name == "size")) {
      (name == "file" ? file->file : file->size) = values.at(0);
    } else if (h.values.count(name) == 0) {
      h.values[name] = values;
    }
  }
  const auto e = h.values.find("endianess");
  h.little_endian = e == h.values.end() || e->second.empty() || e->second[0].rfind('l', 0) == 0;
  return h;
}

decoded_file decode_data(const std::string& bytes, const decoded_header& header) {
  decoded_file out;
  out.size = bytes.size();
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 3) {
      out.error = "cut frame at " + std::to_string(pos);
      return out;
    }
    decoded_record r;
    r.tag = bytes[pos];
    r.offset = pos;
    r.length = static_cast<std::uint16_t>(read_number(bytes, pos + 1, 2, header.little_endian));
    const std::size_t start = pos + 3;
    const std::size_t end = start + r.length;
    if (end > bytes.size()) {
      out.error = "record past the end at " + std::to_string(pos);
      return out;
    }
    const header_entry* e = header.entry(r.tag);
    if (e == nullptr) {
      out.error = std::string("unknown tag ") + r.tag;
      return out;
    }
    std::size_t p = start;
    for (std::size_t i = 0; i < e->elems.size(); ++i) {
      const bool last = i + 1 == e->elems.size();
      if (last && has_string(r.tag)) {
        const std::size_t zero = bytes.find('\0', p);
        if (zero == std::string::npos || zero >= end) {
          out.error = "unterminated string at " + std::to_string(pos);
          return out;
        }
        r.text = bytes.substr(p, zero - p);
        p = zero + 1;
        continue;
      }
      const int w = e->elems[i].second;
      if (p + static_cast<std::size_t>(w) > end) {
        out.error = "element past the record at " + std::to_string(pos);
        return out;
      }
      r.numbers.push_back(read_number(bytes, p, w, header.little_endian));
      p += static_cast<std::size_t>(w);
    }
    if (p != end) {
      out.error = "elements do not fill the record at " + std::to_string(pos);
      return out;
    }
    out.records.push_back(std::move(r));
    pos = end;
  }
  return out;
}

std::vector<decoded_record> decode_run(const std::string& trace_dir, const decoded_header& header,
                                       std::string* error) {
  std::vector<decoded_record> all;
  for (const auto& f : header.files) {
    const auto decoded = decode_data(read_file(trace_dir + "/" + f.file), header);
    if (!decoded.error.empty() && error != nullptr) *error = f.file + ": " + decoded.error;
    all.insert(all.end(), decoded.records.begin(), decoded.records.end());
  }
  return all;
}

}  // namespace trace_test
