#include "reader/kiv_reader.h"

#include <algorithm>
#include <iostream>
#include <string_view>

#include "header/kiv_hdr.h"
#include "header/kivfile.h"
#include "memory/KivHashLoc.h"
#include "memory/KivReserveId_db.h"
#include "model/KivObject_db.h"
#include "model/KivProcess.h"
#include "model/KivQuery.h"
#include "output/csv_file.h"
#include "output/sql_script.h"
#include "runtime/settings.h"

kiv_program_counters kiv_counters;

namespace {

constexpr std::string_view header_suffix = ".kivhdr";
// Record counter divisor of the default process.
constexpr int default_process_divisor = 100;
// Marker fields are cut to these lengths.
constexpr std::size_t marker_group_max = 25;
constexpr std::size_t marker_kind_max = 10;
constexpr std::size_t marker_text_max = 255;
// A "Record nr" marker is written every this many memory records.
constexpr unsigned long long record_marker_step = 1000;

std::string_view cut(std::string_view text, std::size_t max) { return text.substr(0, max); }

}  // namespace

kiv_reader::kiv_reader(XmlParser* parser, csv_file_sequence* sequence, sql_script* script,
                       const char* dir, const char* path, const char* description, bool first,
                       file_pos max)
    : max_(max),
      start_time_(this),
      end_time_(this),
      now_(this),
      path_(path),
      base_path_(path),
      dir_(dir),
      first_(first),
      sequence_(sequence),
      script_(script) {
  hdr_ = std::make_unique<kiv_hdr>(parser, path_, description != nullptr ? description : "");
  if (const auto pos = base_path_.rfind(header_suffix); pos != std::string::npos)
    base_path_.erase(pos, header_suffix.size());
  hdr_->read_header();
  hdr_->dump_entries();

  little_endian_ = hdr_->little_endian;
  cursor_.set_little_endian(little_endian_);
  cache_widths();

  start_time_.set(static_cast<std::uint32_t>(hdr_->time_start_secs),
                  static_cast<std::uint32_t>(hdr_->time_start_nsecs));
  end_time_.set(static_cast<std::uint32_t>(hdr_->time_end_secs),
                static_cast<std::uint32_t>(hdr_->time_end_nsecs));
  now_ = start_time_;

  object_db_ = std::make_unique<KivObject_db>(this);
  hashloc_db_ = std::make_unique<KivHashLoc_db>();
  malid_db_ = std::make_unique<KivReserveId_db>(this);
  proc_db_ = std::make_unique<KivProcess_db>();
  query_db_ = std::make_unique<KivQuery_db>();
  defproc_ = std::make_unique<KivProcess>(this, default_process_divisor);
  defproc_->start_time = start_time_.text;
  proc_db_->set_default(defproc_.get());

  script_->set_path(dir_, hdr_->runid, hdr_->version, first_);

  memory_ = make_table("memory");
  sbrk_ = make_table("sbrk");
  queryevents_ = make_table("queryevents");
  marker_ = make_table("marker");
  freemem_ = make_table("freemem");
  arena_ = make_table("arena");
  arcs_ = make_table("arcs");
  symbols_ = make_table("symbols");
  flowdata_ = make_table("flowdata");
  flow_ = make_table("flow");
}

kiv_reader::~kiv_reader() {
  hdr_.reset();
  hashloc_db_.reset();
  malid_db_.reset();
  proc_db_.reset();
  defproc_.reset();
  object_db_.reset();
  sbrk_.reset();
  queryevents_.reset();
  marker_.reset();
  memory_.reset();
  freemem_.reset();
  arena_.reset();
  arcs_.reset();
  symbols_.reset();
  flowdata_.reset();
  flow_.reset();
}

std::unique_ptr<csv_file> kiv_reader::make_table(const char* name) {
  return std::make_unique<csv_file>(sequence_, script_, name, dir_, hdr_->runid, first_);
}

void kiv_reader::cache_widths() {
  for (int t = 0; t < cached_types; ++t)
    for (int i = 0; i < cached_elems; ++i)
      widths_[t][i] = hdr_->get_elem_size(static_cast<kiv_type>(t), i);
}

int kiv_reader::uncached_elem_size(kiv_type type, int index) const {
  return hdr_->get_elem_size(type, index);
}

// ---- data files ---------------------------------------------------------

const kivfile* kiv_reader::current_kivfile() const {
  return current_file_ < hdr_->files.size() ? hdr_->files[current_file_].get() : nullptr;
}

bool kiv_reader::rd_open() {
  const kivfile* kf = current_kivfile();
  if (kf == nullptr) return false;
  input_ = std::make_unique<std::ifstream>(kf->file, std::ios::binary);
  std::cerr << "Opening file: \"" << kf->file << "\"\n";
  if (!input_->is_open()) {
    std::cerr << " error opening " << kf->file << "'\n";
    input_.reset();
    return false;
  }
  load_current_file(*kf);
  return true;
}

// Reads the declared number of bytes with one read. A file shorter than
// declared is reported once, and only the bytes read are decoded.
void kiv_reader::load_current_file(const kivfile& kf) {
  // A size written beyond 32 bits reads as negative: nothing of the file is
  // read, and the user is told why.
  if (kf.size < 0)
    std::cerr << "Data file \"" << kf.file << "\" declares a negative size (" << kf.size
              << " bytes); nothing of it is read\n";
  const auto declared = static_cast<std::size_t>(std::max(kf.size, 0));
  input_->seekg(0, std::ios::end);
  const std::streamoff length = input_->tellg();
  input_->seekg(0, std::ios::beg);
  const std::size_t wanted =
      length > 0 ? std::min(declared, static_cast<std::size_t>(length)) : std::size_t{0};
  // The buffer is kept from file to file (data files have about the same
  // size): its pages are faulted in once, not once per file.
  if (wanted > buffer_capacity_ || !buffer_) {
    buffer_.reset();
    buffer_ = std::make_unique_for_overwrite<data_cursor::byte[]>(wanted);
    buffer_capacity_ = wanted;
  }
  input_->read(reinterpret_cast<char*>(buffer_.get()), static_cast<std::streamsize>(wanted));
  const auto got = static_cast<std::size_t>(std::max<std::streamsize>(input_->gcount(), 0));
  cursor_.reset(buffer_.get(), got);
  record_start_ = 0;
  short_file_reported_ = got < declared;
  if (short_file_reported_)
    std::cerr << "Data file \"" << kf.file << "\" is shorter than its header says: declared size "
              << declared << " bytes, actual size " << got << " bytes\n";
}

void kiv_reader::rd_close() {
  const kivfile* kf = current_kivfile();
  input_.reset();
  std::cerr << " closing file " << (kf != nullptr ? kf->file : std::string()) << '\n';
}

// An empty data file holds no record: the next file is opened at once, so
// that an empty file anywhere in the list reads like the end of one.
bool kiv_reader::eof() {
  while (cursor_.at_end()) {
    rd_close();
    ++current_file_;
    if (current_kivfile() == nullptr || !rd_open()) return true;
  }
  return false;
}

// ---- framing and decoding -------------------------------------------------

signed char kiv_reader::read_tag() {
  record_start_ = cursor_.cursor();
  return static_cast<signed char>(cursor_.take_byte());
}

unsigned kiv_reader::read_size() {
  const unsigned length = cursor_.take_u16();
  cursor_.set_record_end(cursor_.cursor() + length);
  return length;
}

// Frames the next record. A record that the data does not hold whole ends
// this file's data: nothing of it is decoded.
bool kiv_reader::frame_record(signed char& tag, unsigned& size) {
  constexpr std::size_t frame_bytes = 3;
  if (cursor_.remaining() < frame_bytes) {
    end_file_data(frame_bytes);
    return false;
  }
  tag = read_tag();
  size = read_size();
  if (cursor_.record_end() <= cursor_.size()) return true;
  end_file_data(frame_bytes + size);
  return false;
}

void kiv_reader::end_file_data(std::size_t needed) {
  const std::size_t left = cursor_.size() - record_start_;
  if (!short_file_reported_) {
    const kivfile* kf = current_kivfile();
    std::cerr << "Data file \"" << kf->file << "\" ends inside a record at offset " << record_start_
              << ": the record needs " << needed << " bytes, " << left
              << " are left; the rest of the file is skipped\n";
  }
  cursor_.seek(cursor_.size());
}

void kiv_reader::readloc(int size, std::string& text, std::int64_t& location) {
  cursor_.read(size, location);
  text = hashloc_db_->get_hashloc(location);
}

void kiv_reader::readloc(int size, std::string_view& text, std::int64_t& location) {
  cursor_.read(size, location);
  text = hashloc_db_->get_hashloc(location);
}

// ---- markers ------------------------------------------------------------------

void kiv_reader::WriteMarker(const char* group, const char* kind, const std::string& time,
                             const std::string& text) {
  const unsigned long long recnr = malid_db_->stat.recs.count;
  out_stream& os = marker_->get_stream();
  os << hdr_->runid << data_sep << hdr_->pid << data_sep << kiv_counters.marker_cnt++ << data_sep
     << recnr << data_sep << kiv_counters.last_record_count << data_sep << time << data_sep
     << cut(group, marker_group_max) << data_sep << cut(kind, marker_kind_max) << data_sep
     << cut(text, marker_text_max) << '\n';
  kiv_counters.last_record_count = recnr;
}

void kiv_reader::record_count_marker(unsigned long long count, const KivTimeStamp& now) {
  if (count % record_marker_step != 0) return;
  WriteMarker("Record", "recs", now.text, "Record nr " + std::to_string(count));
}

// ---- dumps -------------------------------------------------------------------

void kiv_reader::dump_hash_db() {
  csv_file table(sequence_, script_, "hashloc", dir_, hdr_->runid, first_);
  hashloc_db_->dump_db(table.get_stream());
}

void kiv_reader::dump_runid_db() {
  csv_file table(sequence_, script_, "runs", dir_, hdr_->runid, first_);
  out_stream& os = table.get_stream();
  hdr_->dumphdr(os);
  os << '\n';
}
