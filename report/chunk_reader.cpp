#include "report/chunk_reader.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "db/load_error.h"
#include "db/record_parser.h"

namespace kivdb::report {

namespace {

// Chunks of a few megabytes: thousands of rows each, so that handing them
// over costs nothing next to parsing them, and few in flight.
constexpr std::size_t chunk_bytes = 512 << 10;
// Chunks parsed ahead of the one the caller is taking, per worker.
constexpr std::size_t ahead_per_worker = 2;
constexpr unsigned max_workers = 4;

struct chunk {
  const char* begin = nullptr;
  const char* end = nullptr;
};

// What a worker made of a chunk. The slots of the chunks in flight are
// reused, their room for fields with them.
struct parsed {
  std::vector<field> fields;  // kept fields of each row, one row after the other
  std::uint64_t lines = 0;
  std::optional<std::string> error;  // what is wrong at error_line of the chunk
  std::uint64_t error_line = 0;
  bool ready = false;
};

// Chunk limits at line ends after every chunk_bytes.
std::vector<chunk> cut(const char* data, std::size_t size) {
  std::vector<chunk> out;
  const char* end = data + size;
  for (const char* p = data; p != end;) {
    const char* stop = end - p > static_cast<std::ptrdiff_t>(chunk_bytes) ? p + chunk_bytes : end;
    if (stop != end) {
      const void* eol = std::memchr(stop, '\n', static_cast<std::size_t>(end - stop));
      stop = eol == nullptr ? end : static_cast<const char*>(eol) + 1;
    }
    out.push_back({p, stop});
    p = stop;
  }
  return out;
}

class chunk_workers {
 public:
  chunk_workers(const chunk_plan& plan, const std::vector<chunk>& chunks) : plan_(plan), chunks_(chunks) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned count = std::min<unsigned>({cores, max_workers, static_cast<unsigned>(chunks.size())});
    slots_.resize(ahead_per_worker * std::max(1u, count));
    for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
  }
  ~chunk_workers() {
    {
      const std::lock_guard lock(m_);
      stopped_ = true;
    }
    cv_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  chunk_workers(const chunk_workers&) = delete;
  chunk_workers& operator=(const chunk_workers&) = delete;

  // The caller's side: chunk k, parsed.
  parsed& take(std::size_t k) {
    parsed& slot = slots_[k % slots_.size()];
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return slot.ready; });
    return slot;
  }
  void done(std::size_t k) {
    parsed& slot = slots_[k % slots_.size()];
    slot.fields.clear();
    slot.error.reset();
    {
      const std::lock_guard lock(m_);
      slot.ready = false;
      taken_ = k + 1;
    }
    cv_.notify_all();
  }

 private:
  void work() {
    record_parser parser(*plan_.table, plan_.field_sep, plan_.fun_sep, plan_.run_id);
    parser.convert_only(plan_.converted);
    std::vector<flowdata_entry> unused;
    for (;;) {
      const std::size_t k = next_.fetch_add(1);
      if (k >= chunks_.size()) return;
      {
        std::unique_lock lock(m_);
        cv_.wait(lock, [&] { return stopped_ || k < taken_ + slots_.size(); });
        if (stopped_) return;
      }
      parsed& slot = slots_[k % slots_.size()];
      parse(parser, chunks_[k], slot, unused);
      {
        const std::lock_guard lock(m_);
        slot.ready = true;
      }
      cv_.notify_all();
    }
  }

  void parse(record_parser& parser, const chunk& c, parsed& out, std::vector<flowdata_entry>& unused) {
    std::uint64_t lines = 0;
    for (const char* p = c.begin; p != c.end;) {
      const std::uint64_t line = lines + 1;
      try {
        p = parser.parse(p, c.end, 0, lines, unused);
      } catch (const parse_failure& e) {
        out.error = e.what();
        out.error_line = line;
        break;
      }
      const std::vector<field>& row = parser.fields();
      for (const std::size_t i : plan_.projection) out.fields.push_back(row[i]);
    }
    out.lines = lines;
  }

  const chunk_plan& plan_;
  const std::vector<chunk>& chunks_;
  std::vector<parsed> slots_;
  std::vector<std::thread> threads_;
  std::atomic<std::size_t> next_{0};
  std::mutex m_;
  std::condition_variable cv_;
  std::size_t taken_ = 0;
  bool stopped_ = false;
};

}  // namespace

void read_chunks(const chunk_plan& plan, const char* data, std::size_t size,
                 const std::function<void(std::span<field> row)>& each) {
  const std::vector<chunk> chunks = cut(data, size);
  if (chunks.empty()) return;
  chunk_workers workers(plan, chunks);
  const std::size_t width = plan.projection.size();
  std::uint64_t lines_before = 0;
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    parsed& c = workers.take(k);
    for (std::size_t at = 0; at < c.fields.size(); at += width) each(std::span(c.fields).subspan(at, width));
    if (c.error) throw load_error(plan.path, lines_before + c.error_line, *c.error);
    lines_before += c.lines;
    workers.done(k);
  }
}

}  // namespace kivdb::report
