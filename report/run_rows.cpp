#include "report/run_rows.h"

#include <optional>
#include <vector>

namespace kivdb::report {

namespace {

class database_run final : public run_rows {
 public:
  database_run(database& db, std::string run_id) : db_(db), run_id_(std::move(run_id)) {}

  const std::string& run_id() const override { return run_id_; }

  // In SQLite a lone run is read in the table's own order, beside other
  // runs through the run index; in PostgreSQL through (run_id, row_nr).
  void read(std::string_view table, std::span<const std::string_view> columns,
            const std::function<void(const row_view&)>& each) override {
    std::string names;
    for (std::string_view c : columns) names += (names.empty() ? "" : ", ") + quote_name(c);
    const std::vector<std::optional<std::string>> params = {run_id_};
    db_.query("SELECT " + names + " FROM " + quote_name(table) + " WHERE run_id = ? ORDER BY " +
                  std::string(row_nr_column),
              params, each);
  }

 private:
  database& db_;
  std::string run_id_;
};

}  // namespace

std::unique_ptr<run_rows> database_rows(database& db, std::string run_id) {
  return std::make_unique<database_run>(db, std::move(run_id));
}

}  // namespace kivdb::report
