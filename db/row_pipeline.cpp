#include "db/row_pipeline.h"

#include <condition_variable>
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

void parse_all(record_parser& parser, const pipeline_input& in, std::vector<flowdata_entry>& entries,
               batch_queue& queue) {
  const char* p = in.begin;
  std::int64_t row = in.first_row;
  std::uint64_t line = 1;
  while (p != in.end) {
    std::unique_ptr<batch> b = queue.take_free();
    if (!b) return;
    b->fields.clear();
    b->rows = 0;
    while (p != in.end && b->rows < batch_rows) {
      const std::uint64_t record_line = line;
      try {
        p = parser.parse(p, in.end, row, line, entries);
      } catch (const parse_failure& e) {
        // The rows before it are stored first; the load stops at this one.
        queue.push_ready(std::move(b));
        throw load_error(in.path, record_line, e.what());
      }
      std::vector<field>& parsed = parser.fields();
      if (in.labeller != nullptr) in.labeller->label(parsed);
      b->fields.insert(b->fields.end(), parsed.begin(), parsed.end());
      ++b->rows;
      ++row;
    }
    b->parsed_bytes = static_cast<std::uint64_t>(p - in.begin);
    queue.push_ready(std::move(b));
  }
}

}  // namespace

std::int64_t parse_and_store(record_parser& parser, const pipeline_input& input,
                             std::vector<flowdata_entry>& entries,
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

}  // namespace kivdb
