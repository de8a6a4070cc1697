#pragma once

// The one interface through which load, export and report reach a
// database, whichever engine holds it: an embedded SQLite file or a
// PostgreSQL server.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "db/schema.h"

namespace kivdb {

// Any failure of the engine. what() is the engine's own words, meant for
// the user; the statement that failed is kept apart for a developer.
class db_error : public std::runtime_error {
 public:
  explicit db_error(const std::string& message, std::string statement = {})
      : std::runtime_error(message), statement_(std::move(statement)) {}
  const std::string& statement() const { return statement_; }
  // For a row the engine refused while it took a table's rows in bulk: the
  // row's number among them (1-based; 0 when not known) and its column.
  std::uint64_t row = 0;
  std::string column;

 private:
  std::string statement_;
};

// Where the database is: a SQLite file or a PostgreSQL connection string.
struct db_target {
  engine_kind engine = engine_kind::sqlite;
  std::string where;  // file name or conninfo
};

// The database as messages name it: the file, or "PostgreSQL" and the
// connection string without its password.
std::string target_name(const db_target& target);
// The file, or the connection string without its password.
std::string target_where(const db_target& target);

struct field;

// One row of a result, valid only inside the callback that receives it.
class row_view {
 public:
  virtual ~row_view() = default;
  virtual int size() const = 0;
  virtual bool is_null(int column) const = 0;
  virtual std::string_view text(int column) const = 0;
  virtual std::int64_t integer(int column) const = 0;
  virtual std::string_view name(int column) const = 0;
  // The row's fields, one per column, when the row holds them as parsed
  // fields (a table file read without a database); nullptr otherwise.
  // Readers of millions of rows take them in one call instead of one call
  // per column.
  virtual const field* fields() const { return nullptr; }
};

// A whole result, for small queries. The column names come with the first
// row: a result without rows has none.
struct result {
  std::vector<std::string> columns;
  std::vector<std::vector<std::optional<std::string>>> rows;
};

// One field of a row handed to a bulk insert: the text as it stood in the
// CSV file and, for number columns, its value (two's complement for
// unsigned values above the signed range). Null fields have null set.
struct field {
  std::string_view text;
  std::int64_t number = 0;
  bool null = false;
};

// Takes the rows of one table as fast as the engine can store them:
// prepared statements with bound numbers in SQLite, COPY in PostgreSQL.
class bulk_sink {
 public:
  virtual ~bulk_sink() = default;
  // Whole rows one after the other, each one field per stored column of
  // the table and row_nr last; taking many rows at a time lets an engine
  // store them in groups.
  virtual void add(std::span<const field> rows) = 0;
  // Ends the table's rows; add() may not be called afterwards.
  virtual void finish() = 0;
};

class database {
 public:
  virtual ~database() = default;
  virtual engine_kind engine() const = 0;
  // "sqlite" or "postgresql".
  std::string_view engine_name() const;
  // Runs statements that return no rows (several separated by ';' too).
  virtual void exec(const std::string& sql) = 0;
  // Runs one statement whose parameters are written '?' and passed as
  // texts (nullopt: NULL), calling each for every row in order.
  virtual void query(const std::string& sql, std::span<const std::optional<std::string>> params,
                     const std::function<void(const row_view&)>& each) = 0;
  // The same, collecting every row.
  result query(const std::string& sql, std::span<const std::optional<std::string>> params = {});
  // A bulk insert into the table: its stored columns and row_nr.
  virtual std::unique_ptr<bulk_sink> bulk_insert(const table_def& table) = 0;
  // Settings that make a large load fast without giving up the rollback.
  virtual void prepare_bulk_load() = 0;
  // Starts the transaction of a load: waits until no other load writes to
  // the database, then holds it against others until commit or rollback.
  virtual void begin_load() = 0;
  // Brings the planner's statistics of the tables up to date.
  virtual void analyze(const std::vector<std::string>& tables) = 0;
  // Stops the statement running now, or a wait for another load, from
  // another thread; the statement fails and the caller rolls back.
  virtual void interrupt() = 0;
  // Names of the tables the database holds.
  virtual std::vector<std::string> table_names() = 0;
  // Names of the table's columns; none when there is no such table.
  virtual std::vector<std::string> table_columns(const std::string& table) = 0;

  void begin() { exec("BEGIN"); }
  void commit() { exec("COMMIT"); }
  void rollback() { exec("ROLLBACK"); }
  // Creates every table that does not exist yet.
  void create_schema();
};

// How a SQLite file is opened.
enum class sqlite_open {
  create,    // opened, or created when it is not there
  existing,  // must be there: reading it, or loading into it with every
             // commit on the disk before the load says it is done
  fresh,     // a new file a load builds under a temporary name and renames
             // into place when it is done: no waits for the disk
};

// Opens the database of a command that reads it: a SQLite file must exist.
std::unique_ptr<database> open_database(const db_target& target);
std::unique_ptr<database> open_sqlite(const std::string& file, sqlite_open how = sqlite_open::create);
std::unique_ptr<database> open_postgres(const std::string& conninfo);
// The connection string's settings without its password, for messages.
std::string without_password(const std::string& conninfo);

// Throws db_error saying what the database is when it holds no runs kivdb
// loaded: empty, or a database of another program.
void require_loaded_runs(database& db);

// "\"name\"": an identifier quoted for both engines.
std::string quote_name(std::string_view name);

}  // namespace kivdb
