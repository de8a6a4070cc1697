// The SQLite engine: one file, opened (and created) by the program itself.

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "db/database.h"

namespace kivdb {

namespace {

class sqlite_statement {
 public:
  sqlite_statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK)
      throw db_error(sqlite3_errmsg(db), sql);
  }
  ~sqlite_statement() { sqlite3_finalize(stmt_); }
  sqlite_statement(const sqlite_statement&) = delete;
  sqlite_statement& operator=(const sqlite_statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

class sqlite_row final : public row_view {
 public:
  explicit sqlite_row(sqlite3_stmt* stmt) : stmt_(stmt) {}
  int size() const override { return sqlite3_column_count(stmt_); }
  bool is_null(int c) const override { return sqlite3_column_type(stmt_, c) == SQLITE_NULL; }
  std::string_view text(int c) const override {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, c));
    if (p == nullptr) return {};
    return {p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, c))};
  }
  std::int64_t integer(int c) const override { return sqlite3_column_int64(stmt_, c); }
  std::string_view name(int c) const override { return sqlite3_column_name(stmt_, c); }

 private:
  sqlite3_stmt* stmt_;
};

// Prepared INSERT of one table; numbers are bound as integers, texts
// without a copy (they point into the table file, which outlives the
// sink). Rows go in groups of several per statement: each step of a
// statement opens and closes the table's cursor, so one step per row would
// pay that, and a seek for the row's place, every time. Rows that do not
// fill a group go one by one.
class sqlite_sink final : public bulk_sink {
 public:
  sqlite_sink(sqlite3* db, const table_def& table, const std::string& into)
      : db_(db), types_(types_of(table)), group_rows_(group_rows_for(db, types_.size())),
        group_(db, insert_sql(into, types_.size(), group_rows_)), one_(db, insert_sql(into, types_.size(), 1)) {}

  void add(std::span<const field> rows) override {
    const std::size_t group_fields = group_rows_ * types_.size();
    std::size_t at = 0;
    for (; rows.size() - at >= group_fields; at += group_fields)
      bind_and_step(group_.get(), rows.subspan(at, group_fields));
    for (; at < rows.size(); at += types_.size())
      bind_and_step(one_.get(), rows.subspan(at, types_.size()));
  }

  void finish() override {}

 private:
  // Rows per statement: beyond a few dozen the savings vanish; the
  // engine's limit on parameters caps it for wide tables.
  static constexpr std::size_t max_group_rows = 32;

  static std::vector<col_type> types_of(const table_def& table) {
    std::vector<col_type> out;
    for (const column& c : insert_columns(table)) out.push_back(c.type);
    return out;
  }

  static std::size_t group_rows_for(sqlite3* db, std::size_t width) {
    const auto max_params = static_cast<std::size_t>(sqlite3_limit(db, SQLITE_LIMIT_VARIABLE_NUMBER, -1));
    return std::clamp<std::size_t>(max_params / width, 1, max_group_rows);
  }

  static std::string insert_sql(const std::string& into, std::size_t width, std::size_t rows) {
    std::string one_row = "(";
    for (std::size_t i = 0; i < width; ++i) one_row += i == 0 ? "?" : ", ?";
    one_row += ")";
    std::string sql = into + " VALUES " + one_row;
    for (std::size_t r = 1; r < rows; ++r) sql += ", " + one_row;
    return sql;
  }

  // Binds the rows of fields, one after the other, and inserts them.
  void bind_and_step(sqlite3_stmt* s, std::span<const field> fields) {
    const std::size_t width = types_.size();
    int index = 1;
    for (std::size_t row = 0; row < fields.size(); row += width) {
      for (std::size_t i = 0; i < width; ++i, ++index) {
        const field& f = fields[row + i];
        if (f.null)
          sqlite3_bind_null(s, index);
        else if (types_[i] == col_type::text)
          sqlite3_bind_text(s, index, f.text.data(), static_cast<int>(f.text.size()), SQLITE_STATIC);
        else
          sqlite3_bind_int64(s, index, f.number);
      }
    }
    if (sqlite3_step(s) != SQLITE_DONE) throw db_error(sqlite3_errmsg(db_));
    sqlite3_reset(s);
  }

  sqlite3* db_;
  std::vector<col_type> types_;
  std::size_t group_rows_;
  sqlite_statement group_;
  sqlite_statement one_;
};

// Why a file could not be opened as a database, in the user's words.
std::string open_failure(sqlite3* db, int rc) {
  if (db == nullptr) return "out of memory";
  if ((rc & 0xff) == SQLITE_NOTADB) return "not a SQLite database";
  const int error = sqlite3_system_errno(db);
  if ((rc & 0xff) == SQLITE_CANTOPEN && error != 0) return std::string("cannot open: ") + std::strerror(error);
  return sqlite3_errmsg(db);
}

class sqlite_database final : public database {
 public:
  sqlite_database(const std::string& file, sqlite_open how) : file_(file), how_(how) {
    // One connection is used by one thread: no locking per call.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (how == sqlite_open::create) flags |= SQLITE_OPEN_CREATE;
    const int rc = sqlite3_open_v2(file.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) fail_open(rc);
    sqlite3_busy_handler(db_, wait_while_busy, this);
    // The file is read lazily: its first statement tells whether it is a
    // database at all.
    const int checked = sqlite3_exec(db_, "SELECT 1 FROM sqlite_master LIMIT 1", nullptr, nullptr, nullptr);
    if (checked != SQLITE_OK) fail_open(checked);
  }
  ~sqlite_database() override { sqlite3_close(db_); }

  engine_kind engine() const override { return engine_kind::sqlite; }

  void exec(const std::string& sql) override {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      std::string text = message != nullptr ? message : sqlite3_errmsg(db_);
      sqlite3_free(message);
      throw db_error(text, sql);
    }
  }

  void query(const std::string& sql, std::span<const std::optional<std::string>> params,
             const std::function<void(const row_view&)>& each) override {
    sqlite_statement stmt(db_, sql);
    for (std::size_t i = 0; i < params.size(); ++i) {
      const int index = static_cast<int>(i) + 1;
      if (params[i])
        sqlite3_bind_text(stmt.get(), index, params[i]->data(), static_cast<int>(params[i]->size()),
                          SQLITE_TRANSIENT);
      else
        sqlite3_bind_null(stmt.get(), index);
    }
    const sqlite_row row(stmt.get());
    for (;;) {
      const int rc = sqlite3_step(stmt.get());
      if (rc == SQLITE_DONE) return;
      if (rc != SQLITE_ROW) throw db_error(sqlite3_errmsg(db_), sql);
      each(row);
    }
  }

  std::unique_ptr<bulk_sink> bulk_insert(const table_def& table) override {
    std::string names;
    for (const column& c : insert_columns(table)) names += (names.empty() ? "" : ", ") + quote_name(c.name);
    const std::string into = "INSERT INTO " + quote_name(table.name) + " (" + names + ")";
    return std::make_unique<sqlite_sink>(db_, table, into);
  }

  // A failed load must leave the file as it was, so the rollback stays.
  // A file the load builds under a temporary name holds nothing else: its
  // journal stays in memory, nothing waits for the disk, and the caller
  // syncs the whole file once before renaming it into place. A file that
  // holds earlier runs keeps its own journal mode and waits for the disk
  // at every commit and cache spill, so that a crash of the machine
  // cannot take those runs with it.
  void prepare_bulk_load() override {
    // Large pages mean fewer page splits and less per-page work for the
    // wide "memory" rows; a page size takes effect only in an empty file
    // (a new one, or an empty one the user named).
    exec("PRAGMA page_size = " + std::to_string(bulk_page_bytes));
    if (how_ == sqlite_open::fresh) {
      exec("PRAGMA journal_mode = MEMORY");
      exec("PRAGMA synchronous = OFF");
    } else {
      exec("PRAGMA synchronous = FULL");
    }
    // A negative cache size counts KiB instead of pages.
    exec("PRAGMA cache_size = -" + std::to_string(bulk_cache_kib));
    exec("PRAGMA temp_store = MEMORY");
    // An index whose entries outgrow the cache is sorted in pieces; helper
    // threads sort those pieces side by side.
    exec("PRAGMA threads = " + std::to_string(sorter_threads));
  }

  // IMMEDIATE takes the write lock at once, waiting for it through the
  // busy handler; a deferred transaction that has read first cannot wait
  // for it and fails at its first write.
  void begin_load() override { exec("BEGIN IMMEDIATE"); }

  // SQLite plans the report's queries from its indexes; its ANALYZE would
  // read every index of a large run once more.
  void analyze(const std::vector<std::string>&) override {}

  void interrupt() override {
    interrupted_ = true;
    sqlite3_interrupt(db_);
  }

  std::vector<std::string> table_names() override {
    return names_of("SELECT name FROM sqlite_master WHERE type = 'table'", {});
  }

  std::vector<std::string> table_columns(const std::string& table) override {
    return names_of("SELECT name FROM pragma_table_info(?)", {table});
  }

 private:
  static constexpr int bulk_page_bytes = 65536;
  static constexpr int bulk_cache_kib = 256 * 1024;
  static constexpr int sorter_threads = 4;
  // Waits for a lock held by another connection: 1 ms at first, twice as
  // long each time up to 50 ms.
  static constexpr int first_wait_ms = 1;
  static constexpr int longest_wait_ms = 50;
  static constexpr int doublings = 6;

  [[noreturn]] void fail_open(int rc) {
    const std::string message = open_failure(db_, rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw db_error(message);
  }

  // Another connection holds the lock: a load writing, or a reader while
  // a load commits. The wait lasts as long as that connection holds it (a
  // lock ends with its process at the latest); an interrupt ends it.
  static int wait_while_busy(void* self, int attempt) {
    auto* db = static_cast<sqlite_database*>(self);
    if (db->interrupted_) return 0;
    if (attempt == 0) db->tell_waiting();
    const int ms = std::min(longest_wait_ms, first_wait_ms << std::min(attempt, doublings));
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return 1;
  }

  // Once per connection, and only to a person at a terminal.
  void tell_waiting() {
    if (told_waiting_ || ::isatty(STDERR_FILENO) == 0) return;
    told_waiting_ = true;
    std::fprintf(stderr, "kivdb: %s is in use by another program (a load?); waiting for it\n", file_.c_str());
  }

  std::vector<std::string> names_of(const std::string& sql, const std::vector<std::optional<std::string>>& params) {
    std::vector<std::string> names;
    query(sql, params, [&names](const row_view& row) { names.emplace_back(row.text(0)); });
    return names;
  }

  std::string file_;
  sqlite_open how_;
  sqlite3* db_ = nullptr;
  std::atomic<bool> interrupted_ = false;
  bool told_waiting_ = false;
};

}  // namespace

std::unique_ptr<database> open_sqlite(const std::string& file, sqlite_open how) {
  // SQLite counts every allocation under a global lock unless told before
  // its first use not to; nothing here reads those counts.
  static const int memstatus_off = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  static_cast<void>(memstatus_off);
  return std::make_unique<sqlite_database>(file, how);
}

}  // namespace kivdb
