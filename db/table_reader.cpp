#include "db/table_reader.h"

#include <algorithm>
#include <cstring>

namespace kivdb {

namespace {

constexpr std::string_view end_line = "<<>>\n";

// The last line end in [begin, end), or nullptr.
const char* last_line_end(const char* begin, const char* end) {
  return static_cast<const char*>(::memrchr(begin, '\n', static_cast<std::size_t>(end - begin)));
}

// Whether the line end at eol closes the text "<<>>" that starts a line
// (line_start) or stands anywhere (!line_start).
bool closes_marker(const char* begin, const char* eol, bool line_start) {
  const std::size_t marker = record_end_marker.size();
  if (static_cast<std::size_t>(eol - begin) < marker) return false;
  const char* at = eol - marker;
  if (std::memcmp(at, record_end_marker.data(), marker) != 0) return false;
  return !line_start || at == begin || at[-1] == '\n';
}

}  // namespace

// A "queries" record ends at its first "<<>>" followed by a line end, a
// "flowdata" record at a line that is "<<>>": either way the last such end
// in the range closes a record, and the parser, reading from a record's
// start, stops exactly there.
const char* end_of_last_record(record_form form, const char* begin, const char* end) {
  for (const char* eol = last_line_end(begin, end); eol != nullptr; eol = last_line_end(begin, eol)) {
    if (form == record_form::line || closes_marker(begin, eol, form == record_form::flowdata)) return eol + 1;
  }
  return nullptr;
}

table_reader::table_reader(const std::string& path, record_form form, std::size_t piece_bytes)
    : file_(path), form_(form), piece_bytes_(std::max<std::size_t>(piece_bytes, end_line.size())) {}

std::unique_ptr<table_piece> table_reader::take_buffer() {
  {
    const std::lock_guard lock(pool_->mutex);
    if (!pool_->free.empty()) {
      auto piece = std::move(pool_->free.back());
      pool_->free.pop_back();
      return piece;
    }
  }
  auto piece = std::make_unique<table_piece>();
  piece->bytes.resize(piece_bytes_);
  return piece;
}

bool table_reader::fill(table_piece& piece, std::size_t& filled) {
  const std::size_t room = piece.bytes.size() - filled;
  const std::size_t got = file_.read(piece.bytes.data() + filled, room);
  filled += got;
  return got < room;
}

std::shared_ptr<const table_piece> table_reader::next() {
  if (done_) return nullptr;
  std::unique_ptr<table_piece> piece = take_buffer();
  if (piece->bytes.size() < 2 * carry_.size()) piece->bytes.resize(2 * carry_.size());
  std::copy(carry_.begin(), carry_.end(), piece->bytes.begin());
  std::size_t filled = carry_.size();
  carry_.clear();
  for (;;) {
    if (fill(*piece, filled)) {
      file_.check_unchanged();
      done_ = true;
      piece->size = filled;
      break;
    }
    const char* data = piece->bytes.data();
    if (const char* cut = end_of_last_record(form_, data, data + filled)) {
      piece->size = static_cast<std::size_t>(cut - data);
      carry_.assign(cut, data + filled);
      break;
    }
    // A record longer than the piece: the piece grows until it holds one.
    piece->bytes.resize(2 * piece->bytes.size());
  }
  piece->offset = next_offset_;
  next_offset_ += piece->size;
  if (piece->size == 0) return nullptr;
  const std::shared_ptr<buffer_pool> pool = pool_;
  return std::shared_ptr<const table_piece>(piece.release(), [pool](const table_piece* p) {
    const std::lock_guard lock(pool->mutex);
    pool->free.emplace_back(const_cast<table_piece*>(p));
  });
}

}  // namespace kivdb
