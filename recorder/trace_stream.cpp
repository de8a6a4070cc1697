#include "recorder/trace_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "recorder/text_buffer.h"
#include "recorder/user_messages.h"
#include "writer/record_table.h"

namespace kivrec {

namespace {

constexpr int max_image_number = 999;
constexpr std::size_t header_block_capacity = 2048;
constexpr std::size_t markup_capacity = 128;  // the XML around a file name in one header block
constexpr std::int64_t ns_per_second = 1'000'000'000;
constexpr mode_t directory_mode = 0755;  // whatever umask the program set
constexpr std::size_t message_capacity = 2 * path_capacity;

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

// Says on standard error why a process has no trace, or why its trace stops.
void trace_stream::cannot_create(const char* what, const char* path, int error, const char* outcome) const {
  char line[message_capacity];
  text_buffer out(line, sizeof line);
  out.text("cannot create ").text(what).character(' ').text(path).text(": ").text(::strerrordesc_np(error));
  out.text("; ").text(outcome).text(" of pid ").number(static_cast<std::uint64_t>(identity_.pid));
  tell_user(out.view());
}

bool trace_stream::create_header() {
  char path[path_capacity];
  for (int image = 0; image <= max_image_number; ++image) {
    text_buffer base(base_, sizeof base_);
    base.text("kiv");
    if (image > 0) base.character('-').number(static_cast<std::uint64_t>(image));
    base.c_str();
    text_buffer header(path, sizeof path);
    header.text(settings_.dir).character('/').text(settings_.runid).character('/').text(base_);
    header.character('.').number(static_cast<std::uint64_t>(identity_.pid)).text(".kivhdr");
    if (header_.create(header.c_str(), true)) return true;
    if (errno != EEXIST) break;
  }
  cannot_create("trace header", path, errno, "no trace");
  return false;
}

bool trace_stream::open(const stream_settings& settings, const process_identity& identity) {
  settings_ = settings;
  identity_ = identity;
  losses_ = {};
  char path[path_capacity];
  text_buffer dir(path, sizeof path);
  dir.text(settings_.dir).character('/').text(settings_.runid);
  if (::mkdir(dir.c_str(), directory_mode) == 0) {
    ::chmod(path, directory_mode);
  } else if (errno != EEXIST) {
    cannot_create("run directory", path, errno, "no trace");
    return false;
  }
  opened_ = create_header();
  if (!opened_) return false;
  started_ = clock_now();
  time_record_.set_address_width(settings_.address_width);
  seq_ = 0;
  records_ = 0;
  write_prologue();
  if (open_data_file()) return true;
  header_.close();
  opened_ = false;
  return false;
}

void trace_stream::header_text(std::string_view text) {
  if (opened_) header_.write(text.data(), text.size());
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
  file_size_ = 0;
  buffered_ = 0;
  active_ = name_data_file(seq_, path, false) && data_.create(path, false);
  if (active_) return true;
  const int error = errno;
  char line[path_capacity + markup_capacity];
  text_buffer note(line, sizeof line);
  note.text("  <error value=\"cannot open trace file ").escaped(path).text("\"/>\n");
  header_text(note.view());
  cannot_create("trace file", path, error, seq_ == 0 ? "no trace" : "the trace stops here");
  return false;
}

void trace_stream::flush() {
  if (buffered_ == 0) return;
  data_.write(buffer_, buffered_);
  buffered_ = 0;
}

// The header lists the bytes that reached the file: kiv reads them whole
// and leaves out only what was lost.
void trace_stream::close_data_file() {
  flush();
  data_.close();
  note_losses(data_);
  char name[path_capacity];
  name_data_file(seq_, name, true);
  char block[path_capacity + markup_capacity];
  text_buffer out(block, sizeof block);
  out.text("  <kivfile>\n    <file value=\"").escaped(name).text("\"/>\n    <size value=\"");
  out.number(data_.written()).text("\"/>\n  </kivfile>\n");
  header_text(out.view());
}

void trace_stream::note_losses(const trace_file& file) {
  if (file.lost() == 0) return;
  if (losses_.bytes == 0) {
    losses_.error = file.error();
    text_buffer path(losses_.path, sizeof losses_.path);
    path.text(file.path()).c_str();
  }
  losses_.bytes += file.lost();
}

void trace_stream::report_losses() {
  if (losses_.bytes == 0) return;
  char line[message_capacity];
  text_buffer out(line, sizeof line);
  out.text("trace of pid ").number(static_cast<std::uint64_t>(identity_.pid)).text(" lost ");
  out.number(losses_.bytes).text(" bytes: cannot write ").text(losses_.path).text(": ");
  out.text(::strerrordesc_np(losses_.error));
  tell_user(out.view());
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

// A trace stopped at a file switch is closed too: its header lists the
// files written before.
void trace_stream::close() {
  if (!opened_) return;
  if (active_) close_data_file();
  active_ = false;
  if (losses_.bytes != 0) {
    char block[path_capacity + markup_capacity];
    text_buffer out(block, sizeof block);
    out.text("  <error value=\"lost ").number(losses_.bytes).text(" bytes, first in ").escaped(losses_.path);
    out.text("\"/>\n");
    header_text(out.view());
  }
  write_trailer();
  header_.close();
  opened_ = false;
  note_losses(header_);
  report_losses();
}

void trace_stream::abandon() {
  data_.close();
  header_.close();
  active_ = false;
  opened_ = false;
  buffered_ = 0;
}

}  // namespace kivrec
