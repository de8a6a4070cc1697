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

// Any failure of the engine: its message, with the statement when useful.
class db_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the database is: a SQLite file or a PostgreSQL connection string.
struct db_target {
  engine_kind engine = engine_kind::sqlite;
  std::string where;  // file name or conninfo
};

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

  void begin() { exec("BEGIN"); }
  void commit() { exec("COMMIT"); }
  void rollback() { exec("ROLLBACK"); }
  // Creates every table that does not exist yet.
  void create_schema();
};

std::unique_ptr<database> open_database(const db_target& target);
std::unique_ptr<database> open_sqlite(const std::string& file);
std::unique_ptr<database> open_postgres(const std::string& conninfo);

// "\"name\"": an identifier quoted for both engines.
std::string quote_name(std::string_view name);

}  // namespace kivdb
