#include "writer/trace_session.h"

#include <malloc.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <iterator>

#include "writer/record_table.h"

namespace kivw {

namespace {

constexpr std::uint64_t switch_check_interval = 32;    // records between file-size checks
constexpr std::uint64_t switch_margin = 512;           // bytes kept free below the limit
constexpr std::uint64_t time_stamp_interval = 1056;    // records between time stamps
constexpr std::size_t frame_bytes = 3;                 // tag and 2-byte length
constexpr std::size_t max_payload = 65535;
constexpr int length_width = 2;
constexpr mode_t run_dir_mode = 0777;
constexpr std::size_t name_buffer = 4096;

std::string format_name(const char* pattern, const std::string& dir, const std::string& runid,
                        const std::string& base, std::int32_t pid, unsigned seq) {
  char buf[name_buffer];
  std::snprintf(buf, sizeof buf, pattern, dir.c_str(), runid.c_str(), base.c_str(), pid, seq);
  return buf;
}

mallinfo_values system_mallinfo() {
  const struct mallinfo2 mi = ::mallinfo2();
  return {static_cast<std::uint32_t>(mi.arena), static_cast<std::uint32_t>(mi.uordblks + mi.usmblks),
          static_cast<std::uint32_t>(mi.fordblks + mi.fsmblks)};
}

// One element as a text trace prints it: "%u", "%d", "%p" or "%s".
void append_text_element(std::string& line, char conv, const field& value) {
  char buf[32];
  std::to_chars_result r{};
  switch (conv) {
    case 's': line += value.text; return;
    case 'u': r = std::to_chars(buf, std::end(buf), static_cast<std::uint32_t>(value.number)); break;
    case 'd': r = std::to_chars(buf, std::end(buf), static_cast<std::int32_t>(value.number)); break;
    default:
      if (value.number == 0) {
        line += "(nil)";
        return;
      }
      line += "0x";
      r = std::to_chars(buf, std::end(buf), value.number, 16);
  }
  line.append(buf, r.ptr);
}

}  // namespace

trace_session::trace_session(trace_options options) : opt_(std::move(options)), payload_(opt_.order) {
  if (!opt_.clock) opt_.clock = std::make_shared<system_clock>();
  runid_ = opt_.runid.empty() ? std::to_string(opt_.pid) : opt_.runid;
  switch_threshold_ = opt_.size_limit > switch_margin ? opt_.size_limit - switch_margin : 0;

  const std::string dir = run_dir();
  if (::mkdir(dir.c_str(), run_dir_mode) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "cannot create KIV trace dir %s\n", dir.c_str());
    return;
  }
  header_ = std::make_unique<header_writer>();
  if (!header_->open(header_path())) {
    std::fprintf(stderr, "cannot open KIV header file %s\n", header_path().c_str());
    header_.reset();
    return;
  }
  started_ = opt_.trailer.time_start ? *opt_.trailer.time_start : opt_.clock->now();
  header_->write_prologue(opt_, runid_);
  data_ = std::make_unique<data_file>();
  active_ = open_data_file(0);
}

trace_session::~trace_session() { close(); }

std::string trace_session::run_dir() const { return opt_.dir + "/" + runid_; }

std::string trace_session::header_path() const {
  return run_dir() + "/" + opt_.base + "." + std::to_string(opt_.pid) + ".kivhdr";
}

std::string trace_session::data_path(unsigned seq) const {
  return format_name("%s/%s/%s.%d.%03u.kivdat", opt_.dir, runid_, opt_.base, opt_.pid, seq);
}

std::string trace_session::data_name(unsigned seq) const {
  return format_name("%s/%s/%s.%d.%03u.kivdat", ".", runid_, opt_.base, opt_.pid, seq);
}

std::uint64_t trace_session::current_file_size() const { return data_ ? data_->size() : 0; }

bool trace_session::open_data_file(unsigned seq) {
  seq_ = seq;
  if (data_->open(data_path(seq), opt_.format, opt_.bufmode)) return true;
  header_->write_value_line("error", "cammot open KIV trace file " + data_path(seq));
  return false;
}

// ---- framing ----------------------------------------------------------

void trace_session::write_framed(char tag, const field* values, std::size_t count) {
  const record_info* rec = find_record(tag);
  const std::size_t n = rec != nullptr ? rec->elements.size() : 0;
  static const field none{std::uint64_t{0}};
  if (opt_.format == data_format::text) {
    std::string line(1, tag);
    line += ' ';
    for (std::size_t i = 0; i < n; ++i) {
      append_text_element(line, rec->elements[i].conv, i < count ? values[i] : none);
      line += ' ';
    }
    line += '\n';
    data_->write(line);
    return;
  }
  payload_.clear();
  payload_.put_uint(static_cast<unsigned char>(tag), 1).put_uint(0, length_width);
  for (std::size_t i = 0; i < n; ++i) {
    const field& v = i < count ? values[i] : none;
    const int width = opt_.widths.get(tag, i);
    switch (rec->elements[i].conv) {
      case 'u': payload_.put_uint(static_cast<std::uint32_t>(v.number), width); break;
      case 'd': payload_.put_int(static_cast<std::int32_t>(v.number), width); break;
      case 'p': payload_.put_uint(v.number, width); break;
      default: {
        // A string is the record's last element; shorten it rather than let
        // the payload outgrow its 2-byte length.
        const std::size_t used = payload_.size() - frame_bytes;
        const std::size_t room = used < max_payload ? max_payload - used - 1 : 0;
        payload_.put_string(v.text.substr(0, room));
      }
    }
  }
  payload_.patch_uint(1, payload_.size() - frame_bytes, length_width);
  data_->write(payload_.bytes());
}

// ---- the producer's rules ------------------------------------------------

void trace_session::emit(char tag, const field* values, std::size_t count) {
  if (!active_) return;
  if (tag != 'T' && since_time_ >= time_stamp_interval) write_time_record(opt_.clock->now());
  before_record();
  if (!active_) return;
  write_framed(tag, values, count);
  ++records_;
  ++since_time_;
}

void trace_session::before_record() {
  if (records_ == 0 || records_ % switch_check_interval != 0) return;
  if (data_->size() <= switch_threshold_) return;
  switch_file(kivfile_block::write);
}

void trace_session::write_time_record(time_value t) {
  const field v[] = {t.secs, t.nsecs};
  write_framed('T', v, std::size(v));
  ++records_;
  since_time_ = 0;
}

void trace_session::describe_location(std::uint64_t location, std::string_view text) {
  if (location == 0 || !seen_locations_.insert(location).second) return;
  const field v[] = {location, text};
  emit('H', v, std::size(v));
}

void trace_session::check_mallinfo() {
  mallinfo(opt_.mallinfo_source ? opt_.mallinfo_source() : system_mallinfo());
}

void trace_session::close_current(kivfile_block block) {
  data_->close();
  if (block == kivfile_block::write) header_->write_kivfile(data_name(seq_), std::to_string(data_->size()));
}

void trace_session::switch_file(kivfile_block block) {
  if (!active_) return;
  close_current(block);
  if (!open_data_file(seq_ + 1)) {
    header_->write_value_line("error", "cannot open trace file " + std::to_string(seq_));
    header_->write_value_line("trace", "KIV has been stopped");
    active_ = false;
    return;
  }
  write_time_record(opt_.clock->now());
}

// ---- typed records ---------------------------------------------------------

void trace_session::malloc_wf(std::uint32_t id, std::int32_t color, std::uint64_t addr, std::uint32_t size,
                              std::uint32_t tot_size, std::uint64_t location, std::string_view location_text) {
  describe_location(location, location_text);
  const field v[] = {id, color, addr, addr_realloc_, size, tot_size, location};
  emit('a', v, std::size(v));
  addr_realloc_ = 0;
}

void trace_session::malloc_nf(std::uint32_t id, std::int32_t color, std::uint64_t addr, std::uint32_t size,
                              std::uint32_t tot_size, std::uint64_t location, std::string_view location_text) {
  describe_location(location, location_text);
  const field v[] = {id, color, addr, size, tot_size, location};
  emit('n', v, std::size(v));
}

void trace_session::free(std::uint32_t id, std::int32_t color, std::uint64_t addr, std::uint64_t location,
                         std::string_view location_text) {
  describe_location(location, location_text);
  const field v[] = {id, color, addr, location};
  emit('f', v, std::size(v));
}

void trace_session::free_realloc(std::uint32_t id, std::int32_t color, std::uint64_t addr,
                                 std::uint64_t addr_free, std::uint32_t size, std::uint32_t tot_size,
                                 std::uint64_t location, std::string_view location_text) {
  describe_location(location, location_text);
  const field v[] = {id, color, addr, addr_free, size, tot_size, location};
  emit('r', v, std::size(v));
}

void trace_session::flow_in(std::uint32_t parent_id, std::int32_t parent_funnr, std::uint32_t child_id,
                            std::int32_t child_funnr) {
  const field v[] = {parent_id, parent_funnr, child_id, child_funnr};
  emit('I', v, std::size(v));
}

void trace_session::flow_out() { emit('O', nullptr, 0); }

void trace_session::schedule(std::int32_t curr_pid, std::int32_t new_pid) {
  timestamp();
  const field v[] = {curr_pid, new_pid};
  emit('s', v, std::size(v));
}

void trace_session::sbrk(std::uint64_t addr, std::uint32_t size) {
  if (!active_) return;
  if (!have_sbrk_ || addr != last_sbrk_) {
    const field v[] = {addr, size};
    emit('S', v, std::size(v));
    have_sbrk_ = true;
    last_sbrk_ = addr;
  }
  check_mallinfo();
}

void trace_session::sbrk_gap(std::uint64_t l_sbrk, std::uint64_t c_sbrk) {
  if (!active_) return;
  if (!have_gap_ || l_sbrk != last_gap_l_ || c_sbrk != last_gap_c_) {
    const field v[] = {l_sbrk, c_sbrk};
    emit('G', v, std::size(v));
    have_gap_ = true;
    last_gap_l_ = l_sbrk;
    last_gap_c_ = c_sbrk;
  }
  check_mallinfo();
}

void trace_session::mallinfo(const mallinfo_values& values) {
  if (!active_ || (have_mallinfo_ && values == last_mallinfo_)) return;
  const field v[] = {values.arena, values.used, values.freed};
  emit('M', v, std::size(v));
  have_mallinfo_ = true;
  last_mallinfo_ = values;
}

void trace_session::reserve_id(std::uint32_t id, std::uint32_t default_size, std::uint64_t location,
                               std::string_view location_text, std::int32_t nr_colors,
                               std::string_view reserve_type) {
  timestamp();
  describe_location(location, location_text);
  const field v[] = {id, default_size, location, nr_colors, reserve_type};
  emit('R', v, std::size(v));
}

void trace_session::reserve_id_colors(std::int32_t color, std::string_view colorname) {
  const field v[] = {color, colorname};
  emit('c', v, std::size(v));
}

void trace_session::free_id(std::int32_t id, std::uint64_t location, std::string_view location_text,
                            std::int32_t tot_size_wf, std::int32_t tot_size_nf) {
  timestamp();
  describe_location(location, location_text);
  const field v[] = {id, location, tot_size_wf, tot_size_nf};
  emit('F', v, std::size(v));
}

void trace_session::reset_id(std::int32_t id, std::uint64_t location, std::string_view location_text,
                             std::int32_t tot_size_wf, std::int32_t tot_size_nf) {
  describe_location(location, location_text);
  const field v[] = {id, location, tot_size_wf, tot_size_nf};
  emit('Z', v, std::size(v));
}

void trace_session::process_start(std::int32_t pid, std::int32_t parent, std::string_view session_name) {
  timestamp();
  const field v[] = {pid, parent, session_name};
  emit('P', v, std::size(v));
}

void trace_session::process_end(std::int32_t pid) {
  timestamp();
  const field v[] = {pid};
  emit('X', v, std::size(v));
}

void trace_session::object_load(std::uint32_t id_of_obj) {
  const field v[] = {id_of_obj};
  emit('L', v, std::size(v));
}

void trace_session::object_link(std::int32_t pid, std::uint32_t id_of_obj) {
  const field v[] = {pid, id_of_obj};
  emit('p', v, std::size(v));
}

void trace_session::object_function_load(std::uint32_t id_of_obj, std::int32_t funnr,
                                         std::string_view funcname) {
  const field v[] = {id_of_obj, funnr, funcname};
  emit('l', v, std::size(v));
}

void trace_session::object_global_load(std::uint32_t id_of_obj, std::int32_t funnr, std::string_view funcname) {
  const field v[] = {id_of_obj, funnr, funcname};
  emit('b', v, std::size(v));
}

void trace_session::vorex_flow_in(std::uint32_t id_of_obj, std::int32_t fun3glnr, std::int32_t funnr,
                                  std::uint64_t sym, std::string_view args) {
  const field v[] = {id_of_obj, fun3glnr, funnr, sym, args};
  emit('i', v, std::size(v));
}

void trace_session::vorex_flow_out(std::uint32_t id_of_obj, std::int32_t fun3glnr, std::int32_t funnr,
                                   std::string_view args) {
  const field v[] = {id_of_obj, fun3glnr, funnr, args};
  emit('o', v, std::size(v));
}

void trace_session::hashloc(std::uint64_t location, std::string_view source_line) {
  seen_locations_.insert(location);
  const field v[] = {location, source_line};
  emit('H', v, std::size(v));
}

void trace_session::marker(std::string_view text) {
  timestamp();
  const field v[] = {text};
  emit('C', v, std::size(v));
}

void trace_session::timestamp() {
  if (active_) timestamp(opt_.clock->now());
}

void trace_session::timestamp(time_value t) {
  const field v[] = {t.secs, t.nsecs};
  emit('T', v, std::size(v));
  since_time_ = 0;
}

void trace_session::query_in(std::int32_t qid, std::int32_t type, std::string_view query) {
  const field v[] = {qid, type, query};
  emit('Q', v, std::size(v));
}

void trace_session::query_out(std::int32_t qid, std::int32_t linked_qid) {
  const field v[] = {qid, linked_qid};
  emit('q', v, std::size(v));
}

void trace_session::symbol_dims(std::uint64_t sym, std::uint32_t nrdims, std::uint32_t dim0, std::uint32_t dim1,
                                std::uint32_t dim2, std::uint32_t dim3) {
  const field v[] = {sym, nrdims, dim0, dim1, dim2, dim3};
  emit('D', v, std::size(v));
}

void trace_session::symbol_new_sym(std::uint64_t sym, std::int32_t symnr, std::int32_t sym_type) {
  const field v[] = {sym, symnr, sym_type};
  emit('d', v, std::size(v));
}

void trace_session::symbol_alloc(std::uint64_t sym, std::uint32_t flags, std::uint32_t size,
                                 std::string_view name) {
  const field v[] = {sym, flags, size, name};
  emit('y', v, std::size(v));
}

void trace_session::symbol_dd_name(std::uint64_t sym, std::string_view dd_name) {
  const field v[] = {sym, dd_name};
  emit('Y', v, std::size(v));
}

void trace_session::process_special_load(std::uint32_t pid, std::int32_t funnr, std::string_view funcname) {
  const field v[] = {pid, funnr, funcname};
  emit('B', v, std::size(v));
}

// ---- raw layer -----------------------------------------------------------

void trace_session::encoded(char tag, std::initializer_list<field> values) {
  if (active_) write_framed(tag, values.begin(), values.size());
}

void trace_session::raw_record(std::uint8_t tag, std::string_view payload) {
  const std::size_t len = payload.size() < max_payload ? payload.size() : max_payload;
  raw_record(tag, static_cast<std::uint16_t>(len), payload);
}

void trace_session::raw_record(std::uint8_t tag, std::uint16_t declared_length, std::string_view payload) {
  if (!active_) return;
  payload_builder b(opt_.order);
  b.put_uint(tag, 1).put_uint(declared_length, length_width).put_bytes(payload);
  data_->write(b.bytes());
}

void trace_session::raw_bytes(std::string_view bytes) {
  if (active_) data_->write(bytes);
}

void trace_session::raw_header(std::string_view xml) {
  if (header_ && !finished_) header_->write_raw(xml);
}

void trace_session::raw_kivfile(std::string_view file, std::string_view size) {
  if (header_ && !finished_) header_->write_kivfile(file, size);
}

// ---- end of the run ------------------------------------------------------

void trace_session::finish(bool normal) {
  if (finished_ || !header_) return;
  finished_ = true;
  if (!normal) {
    data_->close();
    header_->close();
    active_ = false;
    return;
  }
  if (active_) close_current(kivfile_block::write);
  active_ = false;
  const time_value end = opt_.trailer.time_end ? *opt_.trailer.time_end : opt_.clock->now();
  header_->write_trailer(opt_.trailer, started_, end);
  header_->close();
}

void trace_session::close() { finish(true); }

void trace_session::crash() { finish(false); }

}  // namespace kivw
