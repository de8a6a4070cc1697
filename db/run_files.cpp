#include "db/run_files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "db/image_splitter.h"
#include "db/load_error.h"
#include "db/record_parser.h"

namespace kivdb {

mapped_file::mapped_file(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category());
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    const int error = errno;
    ::close(fd_);
    throw std::system_error(error, std::generic_category());
  }
  size_ = static_cast<std::size_t>(st.st_size);
  if (size_ == 0) return;
  void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
  if (p == MAP_FAILED) {
    const int error = errno;
    ::close(fd_);
    throw std::system_error(error, std::generic_category());
  }
  data_ = static_cast<const char*>(p);
  ::madvise(p, size_, MADV_SEQUENTIAL);
}

mapped_file::~mapped_file() {
  if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
  if (fd_ >= 0) ::close(fd_);
}

namespace {

[[noreturn]] void unreadable(const script_manifest& m, const manifest_file& f, const std::error_code& code) {
  throw load_error(m.script.string(), f.line,
                   "table file " + (m.dir / f.file_name).string() + " cannot be read: " + code.message());
}

}  // namespace

std::unique_ptr<mapped_file> map_table_file(const script_manifest& m, const manifest_file& f) {
  try {
    return std::make_unique<mapped_file>((m.dir / f.file_name).string());
  } catch (const std::system_error& e) {
    unreadable(m, f, e.code());
  }
}

open_table_file::open_table_file(const script_manifest& m, const manifest_file& f) {
  fd_ = ::open((m.dir / f.file_name).c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    const std::error_code code(errno, std::generic_category());
    if (fd_ >= 0) ::close(fd_);
    unreadable(m, f, code);
  }
  size_ = static_cast<std::size_t>(st.st_size);
}

open_table_file::~open_table_file() { ::close(fd_); }

std::vector<const manifest_file*> files_in_label_order(const script_manifest& m) {
  std::vector<const manifest_file*> out;
  for (std::string_view table : image_splitter::label_order())
    for (const manifest_file& f : m.files)
      if (f.table == table) out.push_back(&f);
  const auto first = image_splitter::label_order();
  for (const manifest_file& f : m.files)
    if (std::find(first.begin(), first.end(), f.table) == first.end()) out.push_back(&f);
  return out;
}

void read_table_rows(const script_manifest& m, std::string_view table, char field_sep, char fun_sep,
                     const std::function<void(std::span<field>)>& each) {
  const table_def& def = *find_table(table);
  std::vector<flowdata_entry> entries;
  record_parser parser(def, field_sep, fun_sep, m.run_id);
  std::int64_t row = 0;
  for (const manifest_file& f : m.files) {
    if (f.table != table) continue;
    const auto file = map_table_file(m, f);
    const char* p = file->data();
    const char* end = p + file->size();
    std::uint64_t line = 1;
    while (p != end) {
      const std::uint64_t record_line = line;
      try {
        p = parser.parse(p, end, row++, line, entries);
      } catch (const parse_failure& e) {
        throw load_error((m.dir / f.file_name).string(), record_line, e.what());
      }
      entries.clear();
      each(parser.fields());
    }
  }
}

image_plan read_image_plan(const script_manifest& m, char field_sep, char fun_sep) {
  image_plan plan;
  const table_def& runs = *find_table("runs");
  const std::size_t run_pid = stored_index(runs, "pid");
  const std::size_t start = stored_index(runs, "start_time");
  const std::size_t end = stored_index(runs, "end_time");
  read_table_rows(m, runs.name, field_sep, fun_sep, [&](std::span<field> r) {
    plan.add_run(static_cast<std::int32_t>(r[run_pid].number), r[start].text, r[end].text);
  });
  const table_def& marker = *find_table("marker");
  const std::size_t pid = stored_index(marker, "pid");
  const std::size_t rec = stored_index(marker, "rec");
  const std::size_t time = stored_index(marker, "time");
  const std::size_t group = stored_index(marker, "grp");
  const std::size_t kind = stored_index(marker, "kind");
  const std::size_t text = stored_index(marker, "text");
  read_table_rows(m, marker.name, field_sep, fun_sep, [&](std::span<field> r) {
    plan.add_marker(static_cast<std::int32_t>(r[pid].number), static_cast<std::uint64_t>(r[rec].number),
                    r[time].text, r[group].text, r[kind].text, r[text].text);
  });
  plan.finish();
  return plan;
}

std::string describe_cut(const std::vector<cut_finding>& findings) {
  std::string out;
  for (const cut_finding& f : findings) out += (out.empty() ? "" : "; ") + f.text();
  return out;
}

}  // namespace kivdb
