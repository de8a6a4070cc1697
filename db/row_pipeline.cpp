#include "db/row_pipeline.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "db/image_splitter.h"
#include "db/load_error.h"

namespace kivdb {

namespace {

constexpr std::size_t batch_rows = 2048;
// Batches in flight: one being parsed, one being stored, one waiting.
constexpr std::size_t batch_count = 3;

struct batch {
  std::vector<field> fields;  // rows one after the other
  std::size_t rows = 0;
  std::uint64_t parsed_bytes = 0;  // of the file, up to this batch's end
  std::shared_ptr<const table_piece> piece;  // the bytes the fields point into
};

// Hands batches from the parsing thread to the storing one and back.
class batch_queue {
 public:
  batch_queue() {
    for (std::size_t i = 0; i < batch_count; ++i) free_.push_back(std::make_unique<batch>());
  }

  // Parser side. nullptr once the consumer has stopped.
  std::unique_ptr<batch> take_free() {
    std::unique_lock lock(m_);
    cv_.wait(lock, [this] { return !free_.empty() || stopped_; });
    if (stopped_) return nullptr;
    auto b = std::move(free_.front());
    free_.pop_front();
    return b;
  }
  void push_ready(std::unique_ptr<batch> b) {
    const std::lock_guard lock(m_);
    ready_.push_back(std::move(b));
    cv_.notify_all();
  }
  void finish(std::exception_ptr error) {
    const std::lock_guard lock(m_);
    finished_ = true;
    error_ = std::move(error);
    cv_.notify_all();
  }

  // Consumer side. nullptr when everything is consumed.
  std::unique_ptr<batch> take_ready() {
    std::unique_lock lock(m_);
    cv_.wait(lock, [this] { return !ready_.empty() || finished_; });
    if (ready_.empty()) {
      if (error_) std::rethrow_exception(error_);
      return nullptr;
    }
    auto b = std::move(ready_.front());
    ready_.pop_front();
    return b;
  }
  void give_back(std::unique_ptr<batch> b) {
    const std::lock_guard lock(m_);
    free_.push_back(std::move(b));
    cv_.notify_all();
  }
  void stop() {
    const std::lock_guard lock(m_);
    stopped_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::unique_ptr<batch>> free_;
  std::deque<std::unique_ptr<batch>> ready_;
  bool finished_ = false;
  bool stopped_ = false;
  std::exception_ptr error_;
};

// kiv ends its lines with LF alone. A file whose rows end in CR LF went
// through a conversion to another system's line ends: loading it would
// keep a CR at the end of every row's last text. Its first two rows tell
// (a text of the program's may end in a CR of its own, but hardly two in
// a row); texts that span lines, and the end lines of "queries" and
// "flowdata" records, are their own check: "<<>>" followed by CR LF is no
// record end.
void check_line_ends(const table_piece& first, const std::string& path) {
  constexpr int rows_checked = 2;
  const char* p = first.bytes.data();
  const char* end = p + first.size;
  for (int row = 0; row < rows_checked && p != end; ++row) {
    const auto* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (eol == nullptr) break;
    if (eol == p || eol[-1] != '\r') return;
    p = eol + 1;
  }
  if (p == first.bytes.data()) return;
  throw load_error(path, 1, "the line ends in CR LF where kiv writes LF (was the file converted to another system's line ends?)");
}

std::shared_ptr<const table_piece> next_piece(const pipeline_input& in) {
  try {
    return in.reader.next();
  } catch (const input_error& e) {
    throw load_error(in.path, 0, e.what());
  }
}

// The parser's entries point into the piece; their texts move into the
// entries' own storage, which outlives the pieces.
void keep_texts(flowdata_entries& entries, std::size_t from) {
  for (std::size_t i = from; i < entries.list.size(); ++i) {
    flowdata_entry& e = entries.list[i];
    e.kind = entries.texts.emplace_back(e.kind);
    e.declaration = entries.texts.emplace_back(e.declaration);
  }
}

// Parses the piece's records from p into batches until the piece ends;
// false when the consumer has stopped.
bool parse_piece(record_parser& parser, const pipeline_input& in, const std::shared_ptr<const table_piece>& piece,
                 std::int64_t& row, std::uint64_t& line, flowdata_entries& entries, batch_queue& queue) {
  const char* p = piece->bytes.data();
  const char* end = p + piece->size;
  while (p != end) {
    std::unique_ptr<batch> b = queue.take_free();
    if (!b) return false;
    b->fields.clear();
    b->rows = 0;
    b->piece = piece;
    while (p != end && b->rows < batch_rows) {
      const std::uint64_t record_line = line;
      const std::size_t entries_before = entries.list.size();
      try {
        p = parser.parse(p, end, row, line, entries.list);
      } catch (const parse_failure& e) {
        // The rows before it are stored first; the load stops at this one.
        queue.push_ready(std::move(b));
        throw load_error(in.path, record_line, e.what());
      }
      keep_texts(entries, entries_before);
      std::vector<field>& parsed = parser.fields();
      if (in.labeller != nullptr) in.labeller->label(parsed);
      b->fields.insert(b->fields.end(), parsed.begin(), parsed.end());
      ++b->rows;
      ++row;
    }
    b->parsed_bytes = piece->offset + static_cast<std::uint64_t>(p - piece->bytes.data());
    queue.push_ready(std::move(b));
  }
  return true;
}

void parse_all(record_parser& parser, const pipeline_input& in, flowdata_entries& entries, batch_queue& queue) {
  std::int64_t row = in.first_row;
  std::uint64_t line = 1;
  bool first = true;
  while (const std::shared_ptr<const table_piece> piece = next_piece(in)) {
    if (first && in.reader.form() == record_form::line) check_line_ends(*piece, in.path);
    first = false;
    if (!parse_piece(parser, in, piece, row, line, entries, queue)) return;
  }
}

}  // namespace

std::int64_t parse_and_store(record_parser& parser, const pipeline_input& input, flowdata_entries& entries,
                             const std::function<void(std::span<const field>)>& store,
                             const std::function<void(std::uint64_t bytes)>& progress) {
  batch_queue queue;
  std::thread parsing([&] {
    try {
      parse_all(parser, input, entries, queue);
      queue.finish(nullptr);
    } catch (...) {
      queue.finish(std::current_exception());
    }
  });
  std::int64_t rows = 0;
  try {
    while (std::unique_ptr<batch> b = queue.take_ready()) {
      if (b->rows != 0) store(b->fields);
      rows += static_cast<std::int64_t>(b->rows);
      if (progress) progress(b->parsed_bytes);
      b->piece.reset();
      queue.give_back(std::move(b));
    }
  } catch (...) {
    queue.stop();
    parsing.join();
    throw;
  }
  parsing.join();
  return rows;
}

std::uint64_t line_of_record(record_parser& parser, table_reader& reader, std::uint64_t record) {
  std::uint64_t line = 1;
  std::uint64_t n = 0;
  std::vector<flowdata_entry> entries;
  try {
    while (const std::shared_ptr<const table_piece> piece = reader.next()) {
      const char* p = piece->bytes.data();
      const char* end = p + piece->size;
      while (p != end) {
        if (++n == record) return line;
        p = parser.parse(p, end, 0, line, entries);
        entries.clear();
      }
    }
  } catch (const std::runtime_error&) {
    // A file that no longer reads as it did has no line to name.
  }
  return 0;
}

}  // namespace kivdb
