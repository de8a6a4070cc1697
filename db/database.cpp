#include "db/database.h"

namespace kivdb {

std::string_view database::engine_name() const {
  return engine() == engine_kind::sqlite ? "sqlite" : "postgresql";
}

result database::query(const std::string& sql, std::span<const std::optional<std::string>> params) {
  result out;
  query(sql, params, [&out](const row_view& row) {
    if (out.columns.empty())
      for (int i = 0; i < row.size(); ++i) out.columns.emplace_back(row.name(i));
    std::vector<std::optional<std::string>> values;
    values.reserve(static_cast<std::size_t>(row.size()));
    for (int i = 0; i < row.size(); ++i) {
      if (row.is_null(i))
        values.emplace_back(std::nullopt);
      else
        values.emplace_back(std::string(row.text(i)));
    }
    out.rows.push_back(std::move(values));
  });
  return out;
}

void database::create_schema() {
  for (const std::string& sql : schema_sql(engine())) exec(sql);
}

std::unique_ptr<database> open_database(const db_target& target) {
  if (target.engine == engine_kind::postgresql) return open_postgres(target.where);
  return open_sqlite(target.where, sqlite_open::existing);
}

std::string target_where(const db_target& target) {
  return target.engine == engine_kind::sqlite ? target.where : without_password(target.where);
}

std::string target_name(const db_target& target) {
  return target.engine == engine_kind::sqlite ? target.where : "PostgreSQL " + without_password(target.where);
}

void require_loaded_runs(database& db) {
  if (!db.table_columns(std::string(loads_table)).empty()) return;
  if (db.table_names().empty()) throw db_error("the database is empty: no run is loaded (load one with kivdb load)");
  throw db_error("not a database of kivdb: it has no table " + std::string(loads_table));
}

std::string quote_name(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace kivdb
