#include "db/loader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

#include "db/load_error.h"
#include "db/record_parser.h"
#include "db/row_pipeline.h"
#include "db/views.h"

namespace kivdb {

namespace {

using clock = std::chrono::steady_clock;

// A table file mapped into memory for one pass; the fields of its rows are
// views into it.
class mapped_file {
 public:
  explicit mapped_file(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category());
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw std::system_error(errno, std::generic_category());
    size_ = static_cast<std::size_t>(st.st_size);
    if (size_ == 0) return;
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
    if (p == MAP_FAILED) throw std::system_error(errno, std::generic_category());
    data_ = static_cast<const char*>(p);
    ::madvise(p, size_, MADV_SEQUENTIAL);
  }
  ~mapped_file() {
    if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
    if (fd_ >= 0) ::close(fd_);
  }
  mapped_file(const mapped_file&) = delete;
  mapped_file& operator=(const mapped_file&) = delete;
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  int fd_ = -1;
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

class run_loader {
 public:
  run_loader(database& db, const script_manifest& m, const load_options& o) : db_(db), m_(m), o_(o) {}

  load_totals run() {
    for (std::size_t i = 0; i < m_.files.size(); ++i) load_file(i, m_.files[i]);
    const std::vector<std::optional<std::string>> params = {m_.run_id, m_.text, std::string(1, o_.field_sep),
                                                             std::string(1, o_.fun_sep)};
    db_.query("INSERT INTO " + std::string(loads_table) + " (run_id, script, field_sep, fun_sep) VALUES (?, ?, ?, ?)",
              params);
    return totals_;
  }

 private:
  void load_file(std::size_t order, const manifest_file& f) {
    const std::filesystem::path path = m_.dir / f.file_name;
    std::unique_ptr<mapped_file> file;
    try {
      file = std::make_unique<mapped_file>(path.string());
    } catch (const std::system_error& e) {
      throw load_error(m_.script.string(), f.line, "table file " + path.string() + " cannot be read: " +
                                                       e.code().message());
    }
    const table_def& table = *find_table(f.table);
    std::int64_t& next_row = next_row_.try_emplace(f.table, rows_so_far(f.table)).first->second;
    const std::int64_t first_row = next_row;
    std::vector<flowdata_entry> entries;
    record_parser parser(table, o_.field_sep, o_.fun_sep, m_.run_id);
    auto sink = db_.bulk_insert(table);
    const std::size_t width = table.stored_count() + 1;
    const pipeline_input input{file->data(), file->data() + file->size(), first_row, path.string()};
    const std::uint64_t bytes_before = totals_.bytes;
    next_row += parse_and_store(
        parser, input, entries,
        [&](std::span<const field> rows) {
          sink->add(rows);
          totals_.rows += rows.size() / width;
        },
        [&](std::uint64_t bytes) {
          if (o_.progress) o_.progress(bytes_before + bytes, totals_.rows);
        });
    sink->finish();
    sink.reset();
    if (!entries.empty()) store_entries(entries);
    totals_.bytes += file->size();
    ++totals_.files;
    const std::vector<std::optional<std::string>> params = {
        m_.run_id, std::to_string(order), f.table, std::to_string(f.number), std::to_string(first_row),
        std::to_string(next_row - first_row)};
    db_.query("INSERT INTO " + std::string(files_table) +
                  " (run_id, file_order, table_name, file_nr, first_row, row_count) VALUES (?, ?, ?, ?, ?, ?)",
              params);
  }

  // A table's rows are numbered on from those of the runs loaded before:
  // row_nr is unique in the table and new rows go after all others.
  std::int64_t rows_so_far(const std::string& table) {
    const std::vector<std::optional<std::string>> params = {table};
    const result r = db_.query("SELECT COALESCE(MAX(first_row + row_count), 0) FROM " + std::string(files_table) +
                                   " WHERE table_name = ?",
                               params);
    return std::stoll(r.rows.at(0).at(0).value_or("0"));
  }

  void store_entries(const std::vector<flowdata_entry>& entries) {
    auto sink = db_.bulk_insert(flowdata_symbols_table());
    std::vector<field> rows;
    rows.reserve(entries.size() * (flowdata_symbols_table().stored_count() + 1));
    for (const flowdata_entry& e : entries) {
      rows.push_back({m_.run_id, 0, false});
      rows.push_back({{}, e.entry_nr, false});
      rows.push_back({e.kind, 0, false});
      rows.push_back({e.declaration, 0, false});
      rows.push_back({{}, e.row_nr, false});
    }
    sink->add(rows);
    sink->finish();
  }

  database& db_;
  const script_manifest& m_;
  const load_options& o_;
  std::map<std::string, std::int64_t> next_row_;
  load_totals totals_;
};

}  // namespace

void delete_run(database& db, const std::string& run_id) {
  const std::vector<std::optional<std::string>> params = {run_id};
  for (const std::string& table : run_tables()) db.query("DELETE FROM " + quote_name(table) + " WHERE run_id = ?", params);
}

load_totals load_run(database& db, const script_manifest& manifest, const load_options& options) {
  db.prepare_bulk_load();
  db.begin();
  try {
    db.create_schema();
    delete_run(db, manifest.run_id);
    const auto start = clock::now();
    load_totals totals = run_loader(db, manifest, options).run();
    const auto rows_done = clock::now();
    const result runs = db.query("SELECT COUNT(*) FROM " + std::string(loads_table));
    const bool several_runs = std::stoll(runs.rows.at(0).at(0).value_or("0")) > 1;
    for (const std::string& sql : index_sql(db.engine(), several_runs)) db.exec(sql);
    create_views(db);
    db.commit();
    totals.rows_seconds = std::chrono::duration<double>(rows_done - start).count();
    totals.index_seconds = std::chrono::duration<double>(clock::now() - rows_done).count();
    return totals;
  } catch (...) {
    try {
      db.rollback();
    } catch (const db_error&) {
      // The engine may have ended the transaction itself; the first error
      // is the one to report.
    }
    throw;
  }
}

}  // namespace kivdb
