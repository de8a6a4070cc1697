#include "report/chunk_reader.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "db/load_error.h"
#include "db/record_parser.h"

namespace kivdb::report {

namespace {

// A row belongs to the chunk its first byte lies in. Half a megabyte holds
// about a thousand memory rows: handing a chunk over costs nothing next to
// parsing it, and the chunks in flight stay within the processor's caches.
constexpr std::size_t chunk_bytes = 512 << 10;
// What a worker reads on past its chunk, at a time, to find the end of the
// chunk's last row.
constexpr std::size_t tail_bytes = 64 << 10;
// Chunks parsed ahead of the one the caller is taking, per worker.
constexpr std::size_t ahead_per_worker = 2;
constexpr unsigned max_workers = 4;

// What a worker made of a chunk. The slots of the chunks in flight are
// reused, their buffer and their room for fields with them: the rows' texts
// point into the buffer until the caller is done with the chunk.
struct parsed {
  std::unique_ptr<char[]> buffer;
  std::size_t capacity = 0;
  std::vector<field> fields;  // kept fields of each row, one row after the other
  std::uint64_t lines = 0;
  std::optional<std::string> error;  // what is wrong at error_line of the chunk
  std::uint64_t error_line = 0;
  bool ready = false;
};

class chunk_workers {
 public:
  chunk_workers(const chunk_plan& plan, int fd, std::size_t size) : plan_(plan), fd_(fd), size_(size) {
    chunks_ = (size + chunk_bytes - 1) / chunk_bytes;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned count = static_cast<unsigned>(std::min<std::size_t>({cores, max_workers, chunks_}));
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

  std::size_t chunks() const { return chunks_; }

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
      if (k >= chunks_) return;
      {
        std::unique_lock lock(m_);
        cv_.wait(lock, [&] { return stopped_ || k < taken_ + slots_.size(); });
        if (stopped_) return;
      }
      parsed& slot = slots_[k % slots_.size()];
      try {
        parse(parser, k, slot, unused);
      } catch (const std::system_error& e) {
        slot.error = std::string("cannot be read: ") + e.code().message();
        slot.error_line = 0;
      }
      {
        const std::lock_guard lock(m_);
        slot.ready = true;
      }
      cv_.notify_all();
    }
  }

  // Reads [from, from + bytes) of the file to `at` of the slot's buffer.
  std::size_t read_at(parsed& slot, std::size_t at, std::size_t from, std::size_t bytes) {
    if (slot.capacity < at + bytes) {
      const std::size_t capacity = std::max(at + bytes, 2 * slot.capacity);
      auto grown = std::make_unique_for_overwrite<char[]>(capacity);
      if (at != 0) std::memcpy(grown.get(), slot.buffer.get(), at);
      slot.buffer = std::move(grown);
      slot.capacity = capacity;
    }
    std::size_t got = 0;
    while (got < bytes) {
      const ssize_t n = ::pread(fd_, slot.buffer.get() + at + got, bytes - got, static_cast<off_t>(from + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw std::system_error(errno, std::generic_category());
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    return got;
  }

  // Reads the chunk from the byte before it (which tells whether a row
  // starts at its first byte) on to the end of the last row starting in
  // it; returns where in the slot's buffer its rows begin and end.
  std::pair<std::size_t, std::size_t> load(std::size_t k, parsed& slot) {
    const std::size_t start = k * chunk_bytes;
    const std::size_t from = k == 0 ? 0 : start - 1;
    const std::size_t own = std::min(start + chunk_bytes, size_) - from;  // up to the chunk's end
    std::size_t have = read_at(slot, 0, from, own);
    std::size_t begin = 0;
    if (k != 0) {
      const void* eol = std::memchr(slot.buffer.get(), '\n', have);
      // No row starts in the chunk: one that started before goes on.
      if (eol == nullptr) return {0, 0};
      begin = static_cast<std::size_t>(static_cast<const char*>(eol) - slot.buffer.get()) + 1;
    }
    if (begin >= own) return {begin, begin};
    // The last row starting in the chunk ends at the first line end from
    // the chunk's last byte on.
    std::size_t search = own - 1;
    for (;;) {
      if (search < have) {
        const void* eol = std::memchr(slot.buffer.get() + search, '\n', have - search);
        if (eol != nullptr)
          return {begin, static_cast<std::size_t>(static_cast<const char*>(eol) - slot.buffer.get()) + 1};
        search = have;
      }
      const std::size_t more = read_at(slot, have, from + have, tail_bytes);
      if (more == 0) return {begin, have};
      have += more;
    }
  }

  void parse(record_parser& parser, std::size_t k, parsed& out, std::vector<flowdata_entry>& unused) {
    const auto [first, last] = load(k, out);
    const char* begin = out.buffer.get() + first;
    const char* end = out.buffer.get() + last;
    std::uint64_t lines = 0;
    for (const char* p = begin; p < end;) {
      const std::uint64_t line = lines + 1;
      try {
        p = parser.parse(p, end, 0, lines, unused);
      } catch (const parse_failure& e) {
        out.error = e.what();
        out.error_line = line;
        break;
      }
      const std::vector<field>& row = parser.fields();
      const std::size_t at = out.fields.size();
      for (const std::size_t i : plan_.projection) out.fields.push_back(row[i]);
      if (plan_.image_of_pid != nullptr) set_image(std::span(out.fields).subspan(at));
    }
    out.lines = lines;
  }

  void set_image(std::span<field> kept) const {
    const auto it = plan_.image_of_pid->find(static_cast<std::int32_t>(kept[plan_.pid_at].number));
    kept[plan_.image_at] = {{}, it == plan_.image_of_pid->end() ? 0 : it->second, false};
  }

  const chunk_plan& plan_;
  int fd_;
  std::size_t size_;
  std::size_t chunks_ = 0;
  std::vector<parsed> slots_;
  std::vector<std::thread> threads_;
  std::atomic<std::size_t> next_{0};
  std::mutex m_;
  std::condition_variable cv_;
  std::size_t taken_ = 0;
  bool stopped_ = false;
};

}  // namespace

void read_chunks(const chunk_plan& plan, int fd, std::size_t size,
                 const std::function<void(std::span<field> row)>& each) {
  if (size == 0) return;
  chunk_workers workers(plan, fd, size);
  const std::size_t width = plan.projection.size();
  std::uint64_t lines_before = 0;
  for (std::size_t k = 0; k < workers.chunks(); ++k) {
    parsed& c = workers.take(k);
    for (std::size_t at = 0; at < c.fields.size(); at += width) each(std::span(c.fields).subspan(at, width));
    if (c.error) throw load_error(plan.path, c.error_line == 0 ? 0 : lines_before + c.error_line, *c.error);
    lines_before += c.lines;
    workers.done(k);
  }
}

}  // namespace kivdb::report
