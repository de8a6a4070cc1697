#include "recorder/trace_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "recorder/text_buffer.h"
#include "recorder/write_all.h"
#include "writer/record_table.h"

namespace kivrec {

namespace {

constexpr int max_image_number = 999;
constexpr std::size_t header_block_capacity = 2048;
constexpr std::size_t markup_capacity = 128;  // the XML around a file name in one header block
constexpr std::int64_t ns_per_second = 1'000'000'000;

std::int64_t nanoseconds_between(const timespec& from, const timespec& to) {
  return (to.tv_sec - from.tv_sec) * ns_per_second + (to.tv_nsec - from.tv_nsec);
}

timespec clock_now(clockid_t clock = CLOCK_REALTIME) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return t;
}

int element_width(char conversion, int address_width) {
  if (conversion == 's') return 0;
  return conversion == 'p' ? address_width : integer_width;
}

// "<elem .../>" lines and the format line of one record type.
void entry_text(text_buffer& out, const kivw::record_info& rec, int address_width) {
  out.text("    <entry tag=\"").escaped(std::string_view(&rec.tag, 1)).text("\" name=\"").text(rec.name);
  out.text("\" desc=\"").escaped(rec.desc).text("\">\n");
  for (const kivw::element_info& e : rec.elements) {
    out.text("      <elem name=\"").text(e.name).text("\" size=\"");
    out.number(static_cast<std::uint64_t>(element_width(e.conv, address_width))).text("\"/>\n");
  }
  out.text("      <format fmt=\"");
  for (const kivw::element_info& e : rec.elements) out.character('%').character(e.conv).character(' ');
  out.text("\"/>\n    </entry>\n");
}

}  // namespace

bool trace_stream::name_data_file(unsigned seq, char* out, bool relative) const {
  text_buffer name(out, path_capacity);
  name.text(relative ? "." : settings_.dir).character('/').text(settings_.runid).character('/');
  name.text(base_).character('.').number(static_cast<std::uint64_t>(identity_.pid)).character('.');
  if (seq < 100) name.character('0');
  if (seq < 10) name.character('0');
  name.number(seq).text(".kivdat");
  name.c_str();
  return !name.overflowed();
}

bool trace_stream::companion_path(const char* suffix, char* out) const {
  text_buffer name(out, path_capacity);
  name.text(settings_.dir).character('/').text(settings_.runid).character('/').text(base_).character('.');
  name.number(static_cast<std::uint64_t>(identity_.pid)).text(suffix);
  name.c_str();
  return !name.overflowed();
}

bool trace_stream::open(const stream_settings& settings, const process_identity& identity) {
  settings_ = settings;
  identity_ = identity;
  char path[path_capacity];
  text_buffer dir(path, sizeof path);
  dir.text(settings_.dir).character('/').text(settings_.runid);
  ::mkdir(dir.c_str(), 0777);
  for (int image = 0; image <= max_image_number && header_fd_ < 0; ++image) {
    text_buffer base(base_, sizeof base_);
    base.text("kiv");
    if (image > 0) base.character('-').number(static_cast<std::uint64_t>(image));
    base.c_str();
    text_buffer header(path, sizeof path);
    header.text(settings_.dir).character('/').text(settings_.runid).character('/').text(base_);
    header.character('.').number(static_cast<std::uint64_t>(identity_.pid)).text(".kivhdr");
    header_fd_ = ::open(header.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (header_fd_ < 0 && errno != EEXIST) return false;
  }
  if (header_fd_ < 0) return false;
  started_ = clock_now();
  time_record_.set_address_width(settings_.address_width);
  seq_ = 0;
  records_ = 0;
  write_prologue();
  if (open_data_file()) return true;
  ::close(header_fd_);
  header_fd_ = -1;
  return false;
}

void trace_stream::header_text(std::string_view text) {
  if (header_fd_ >= 0) write_all(header_fd_, text.data(), text.size());
}

void trace_stream::write_prologue() {
  char block[header_block_capacity];
  text_buffer out(block, sizeof block);
  out.text("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<kiv>\n  <version type=\"1\"/>\n");
  out.text("  <filetype type=\"bin\"/>\n  <endianess values=\"l\"/>\n");
  out.text("  <pid value=\"").number(static_cast<std::uint64_t>(identity_.pid)).text("\"/>\n");
  out.text("  <runid value=\"").escaped(settings_.runid).text("\"/>\n");
  // The C library's allocator: minimum chunk, page and alignment sizes.
  out.text("  <al_alloc>\n    <m_entry size=\"32\"/>\n    <mem_block size=\"");
  out.number(static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE))).text("\"/>\n");
  out.text("    <m_group size=\"16\"/>\n  </al_alloc>\n  <entries>\n");
  header_text(out.view());
  for (const kivw::record_info& rec : kivw::header_order()) {
    out.clear();
    entry_text(out, rec, settings_.address_width);
    header_text(out.view());
  }
  header_text("  </entries>\n");
}

void trace_stream::write_trailer() {
  const timespec end = clock_now();
  char block[header_block_capacity];
  text_buffer out(block, sizeof block);
  out.text("  <time_start secs=\"").signed_number(started_.tv_sec).text("\" nsecs=\"");
  out.signed_number(started_.tv_nsec).text("\"/>\n");
  out.text("  <time_end secs=\"").signed_number(end.tv_sec).text("\" nsecs=\"");
  out.signed_number(end.tv_nsec).text("\"/>\n");
  out.text("  <progname name=\"").escaped(identity_.progname).text("\"/>\n");
  out.text("  <user value=\"").escaped(identity_.user).text("\"/>\n");
  out.text("  <kre value=\"\"/>\n  <pacc value=\"\"/>\n");
  out.text("  <hostname value=\"").escaped(identity_.hostname).text("\"/>\n</kiv>\n");
  header_text(out.view());
}

bool trace_stream::open_data_file() {
  char path[path_capacity];
  if (!name_data_file(seq_, path, false)) return false;
  data_fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  file_size_ = 0;
  buffered_ = 0;
  if (data_fd_ >= 0) return true;
  char line[path_capacity + markup_capacity];
  text_buffer error(line, sizeof line);
  error.text("  <error value=\"cannot open trace file ").escaped(path).text("\"/>\n");
  header_text(error.view());
  return false;
}

void trace_stream::flush() {
  if (buffered_ == 0 || data_fd_ < 0) return;
  if (before_flush_ != nullptr) before_flush_(before_flush_context_);
  write_all(data_fd_, buffer_, buffered_);
  buffered_ = 0;
}

void trace_stream::close_data_file() {
  flush();
  ::close(data_fd_);
  data_fd_ = -1;
  char name[path_capacity];
  name_data_file(seq_, name, true);
  char block[path_capacity + markup_capacity];
  text_buffer out(block, sizeof block);
  out.text("  <kivfile>\n    <file value=\"").escaped(name).text("\"/>\n    <size value=\"");
  out.number(file_size_).text("\"/>\n  </kivfile>\n");
  header_text(out.view());
}

void trace_stream::append(const std::uint8_t* bytes, std::size_t size) {
  if (buffered_ + size > buffer_capacity) flush();
  std::memcpy(buffer_ + buffered_, bytes, size);
  buffered_ += size;
  file_size_ += size;
  ++records_;
}

void trace_stream::write_time_record(const timespec& now) {
  time_record_.begin('T').i32(static_cast<std::int32_t>(now.tv_sec)).i32(static_cast<std::int32_t>(now.tv_nsec));
  time_record_.finish();
  append(time_record_.bytes(), time_record_.size());
  since_time_ = 0;
}

void trace_stream::switch_file() {
  close_data_file();
  ++seq_;
  if (!open_data_file()) {
    header_text("  <trace value=\"KIV has been stopped\"/>\n");
    return;
  }
  write_time_record(clock_now());
}

void trace_stream::timestamp() {
  if (!active()) return;
  write_time_record(clock_now());
}

void trace_stream::write(const record_encoder& record) {
  if (!active()) return;
  if (records_ % check_interval == 0 && file_size_ + switch_margin > settings_.size_limit) {
    switch_file();
    if (!active()) return;
  }
  // The coarse clock (a few milliseconds' resolution) costs a fraction of
  // the precise one; the time stamp itself is precise.
  const timespec coarse = clock_now(CLOCK_REALTIME_COARSE);
  if (since_time_ >= time_interval || nanoseconds_between(last_coarse_, coarse) >= time_resolution_ns) {
    write_time_record(clock_now());
    last_coarse_ = coarse;
  }
  append(record.bytes(), record.size());
  ++since_time_;
}

void trace_stream::close() {
  if (!active()) return;
  close_data_file();
  write_trailer();
  ::close(header_fd_);
  header_fd_ = -1;
}

void trace_stream::abandon() {
  if (data_fd_ >= 0) ::close(data_fd_);
  if (header_fd_ >= 0) ::close(header_fd_);
  data_fd_ = -1;
  header_fd_ = -1;
  buffered_ = 0;
}

}  // namespace kivrec
