#include "recorder/stack_file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

namespace kivrec {

namespace {

constexpr std::size_t read_chunk = 1 << 16;

// Little-endian reads from one record's payload; reads past its end fail.
class payload_reader {
 public:
  explicit payload_reader(std::string_view bytes) : bytes_(bytes) {}

  template <typename T>
  bool take(T* value) {
    if (bytes_.size() < sizeof(T)) return false;
    std::memcpy(value, bytes_.data(), sizeof(T));
    bytes_.remove_prefix(sizeof(T));
    return true;
  }
  bool take_text(std::size_t size, std::string* out) {
    if (bytes_.size() < size) return false;
    out->assign(bytes_.substr(0, size));
    bytes_.remove_prefix(size);
    return true;
  }
  std::string_view rest() const { return bytes_; }

 private:
  std::string_view bytes_;
};

bool read_object(payload_reader& in, stack_file_contents& out) {
  std::uint32_t index = 0;
  recorded_object o;
  std::uint16_t ranges = 0;
  std::uint8_t id_size = 0;
  if (!in.take(&index) || !in.take(&o.first_generation) || !in.take(&o.load_bias) || !in.take(&ranges))
    return false;
  for (std::uint16_t r = 0; r < ranges; ++r) {
    std::uint64_t start = 0, end = 0;
    if (!in.take(&start) || !in.take(&end)) return false;
    o.ranges.emplace_back(start, end);
  }
  if (!in.take(&id_size) || !in.take_text(id_size, &o.build_id)) return false;
  o.path = std::string(in.rest());
  o.loaded = true;
  if (index >= out.objects.size()) out.objects.resize(index + 1);
  out.objects[index] = std::move(o);
  return true;
}

bool read_unload(payload_reader& in, stack_file_contents& out) {
  std::uint32_t index = 0, generation = 0;
  if (!in.take(&index) || !in.take(&generation) || index >= out.objects.size()) return false;
  out.objects[index].end_generation = generation;
  return true;
}

bool read_stack(payload_reader& in, stack_file_contents& out) {
  recorded_stack s;
  std::uint16_t count = 0;
  if (!in.take(&s.key) || !in.take(&s.generation) || !in.take(&count)) return false;
  s.frames.resize(count);
  for (std::uint64_t& f : s.frames)
    if (!in.take(&f)) return false;
  out.stacks.push_back(std::move(s));
  return true;
}

bool read_record(char tag, std::string_view payload, stack_file_contents& out) {
  payload_reader in(payload);
  switch (tag) {
    case stack_format::object_tag:
      return read_object(in, out);
    case stack_format::unload_tag:
      return read_unload(in, out);
    case stack_format::stack_tag:
      return read_stack(in, out);
    default:
      return true;  // a later kind of record: skipped
  }
}

}  // namespace

const recorded_object* stack_file_contents::object_at(std::uint64_t address, std::uint32_t generation) const {
  for (const recorded_object& o : objects) {
    if (!o.loaded || generation < o.first_generation || (o.end_generation != 0 && generation >= o.end_generation))
      continue;
    for (const auto& [start, end] : o.ranges)
      if (address >= start && address < end) return &o;
  }
  return nullptr;
}

bool stack_file_parser::feed(std::string_view bytes, std::size_t* taken, std::string* error) {
  std::string_view rest = bytes;
  *taken = 0;
  while (rest.size() >= stack_format::frame_bytes) {
    const char tag = rest[0];
    std::uint32_t size = 0;
    std::memcpy(&size, rest.data() + 1, sizeof size);
    if (rest.size() - stack_format::frame_bytes < size) break;  // the rest of it comes later
    const std::string_view payload = rest.substr(stack_format::frame_bytes, size);
    rest.remove_prefix(stack_format::frame_bytes + size);
    if (!started_) {
      payload_reader in(payload);
      std::uint32_t version = 0, width = 0;
      if (tag != stack_format::version_tag || !in.take(&version) || !in.take(&width) ||
          version != stack_format::version) {
        *error = path_ + " is not a stack file of this version";
        return false;
      }
      contents_.address_width = width == 4 ? 4 : 8;
      started_ = true;
    } else if (!read_record(tag, payload, contents_)) {
      *error = path_ + ": a damaged record";
      return false;
    }
    *taken = bytes.size() - rest.size();
  }
  return true;
}

bool read_file_from(const std::string& path, std::uint64_t offset, std::string& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > offset)
    out.reserve(out.size() + static_cast<std::size_t>(st.st_size) - offset);
  char chunk[read_chunk];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::pread(fd, chunk, sizeof chunk, static_cast<off_t>(offset));
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    out.append(chunk, static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  ::close(fd);
  return ok;
}

std::optional<stack_file_contents> read_stack_file(const std::string& path, std::string* error) {
  std::string data;
  if (!read_file_from(path, 0, data)) {
    *error = "cannot open " + path;
    return std::nullopt;
  }
  stack_file_parser parser(path);
  std::size_t taken = 0;
  if (!parser.feed(data, &taken, error)) return std::nullopt;
  if (!parser.started()) {
    *error = path + " is empty";
    return std::nullopt;
  }
  return std::move(parser.contents());
}

}  // namespace kivrec
