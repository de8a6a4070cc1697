#include "db/exporter.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <map>
#include <system_error>
#include <vector>

#include "db/schema.h"

namespace kivdb {

namespace {

using params = std::vector<std::optional<std::string>>;

// A table file being written through one large buffer.
class table_file {
 public:
  explicit table_file(const std::filesystem::path& path) : path_(path), f_(std::fopen(path.c_str(), "wb")) {
    if (f_ == nullptr) throw std::system_error(errno, std::generic_category(), "cannot create " + path.string());
    buffer_.reserve(buffer_bytes + buffer_slack);
  }
  ~table_file() {
    if (f_ != nullptr) std::fclose(f_);
  }
  table_file(const table_file&) = delete;
  table_file& operator=(const table_file&) = delete;

  std::string& out() { return buffer_; }
  void row_done() {
    if (buffer_.size() >= buffer_bytes) flush();
  }
  std::uint64_t close() {
    flush();
    const int rc = std::fclose(f_);
    f_ = nullptr;
    if (rc != 0) throw std::system_error(errno, std::generic_category(), "cannot write " + path_.string());
    return written_;
  }

 private:
  static constexpr std::size_t buffer_bytes = 1 << 20;
  static constexpr std::size_t buffer_slack = 1 << 16;

  void flush() {
    if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), f_) != buffer_.size())
      throw std::system_error(errno, std::generic_category(), "cannot write " + path_.string());
    written_ += buffer_.size();
    buffer_.clear();
  }

  std::filesystem::path path_;
  std::FILE* f_;
  std::string buffer_;
  std::uint64_t written_ = 0;
};

struct run_info {
  std::string script;
  char field_sep = ';';
  char fun_sep = ';';
};

struct file_entry {
  std::string table;
  std::string number;
  std::string first_row;
  std::string row_count;
};

run_info read_run(database& db, const std::string& run_id) {
  const result r = db.query("SELECT script, field_sep, fun_sep FROM " + std::string(loads_table) + " WHERE run_id = ?",
                            params{run_id});
  if (r.rows.empty()) throw db_error("run " + run_id + " is not in the database");
  const auto& row = r.rows.front();
  return {row[0].value_or(""), row[1].value_or(";").front(), row[2].value_or(";").front()};
}

void append_number(std::string& out, std::int64_t v, col_type type) {
  char digits[24];
  const auto res = type == col_type::uint64   ? std::to_chars(digits, digits + sizeof digits, static_cast<std::uint64_t>(v))
                   : type == col_type::uint32 ? std::to_chars(digits, digits + sizeof digits, static_cast<std::uint32_t>(v))
                                              : std::to_chars(digits, digits + sizeof digits, v);
  out.append(digits, res.ptr);
}

class run_exporter {
 public:
  run_exporter(database& db, std::string run_id, std::filesystem::path dir)
      : db_(db), run_id_(std::move(run_id)), dir_(std::move(dir)) {}

  export_totals run() {
    const run_info info = read_run(db_, run_id_);
    field_sep_ = info.field_sep;
    fun_sep_ = info.fun_sep;
    std::filesystem::create_directories(dir_);
    std::vector<file_entry> files;
    db_.query("SELECT table_name, file_nr, first_row, row_count FROM " + std::string(files_table) +
                  " WHERE run_id = ? ORDER BY file_order",
              params{run_id_}, [&files](const row_view& r) {
                files.push_back({std::string(r.text(0)), std::string(r.text(1)), std::string(r.text(2)),
                                 std::string(r.text(3))});
              });
    for (const file_entry& f : files) write_file(f);
    table_file script(dir_ / ("kiv." + run_id_ + ".sql"));
    script.out() = info.script;
    script.close();
    return totals_;
  }

 private:
  void write_file(const file_entry& f) {
    const table_def* table = find_table(f.table);
    if (table == nullptr) throw db_error("unknown table " + f.table + " in " + std::string(files_table));
    table_file out(dir_ / ("kiv." + run_id_ + "." + f.table + "." + f.number + ".csv"));
    const std::int64_t first = std::stoll(f.first_row);
    const std::int64_t last = first + std::stoll(f.row_count);
    const params range = {run_id_, f.first_row, std::to_string(last)};
    std::map<std::int64_t, std::vector<std::pair<std::string, std::string>>> entries;
    if (table->form == record_form::flowdata) entries = read_entries(range);
    std::string names;
    for (const column* c : table->stored()) names += (names.empty() ? "" : ", ") + quote_name(c->name);
    const std::string sql = "SELECT " + names + ", " + std::string(row_nr_column) + " FROM " + quote_name(table->name) +
                            " WHERE run_id = ? AND row_nr >= ? AND row_nr < ? ORDER BY row_nr";
    db_.query(sql, range, [&](const row_view& r) {
      write_row(out.out(), *table, r, entries);
      out.row_done();
      ++totals_.rows;
    });
    totals_.bytes += out.close();
    ++totals_.files;
  }

  std::map<std::int64_t, std::vector<std::pair<std::string, std::string>>> read_entries(const params& range) {
    std::map<std::int64_t, std::vector<std::pair<std::string, std::string>>> out;
    db_.query("SELECT row_nr, kind, declaration FROM " + quote_name(flowdata_symbols_table().name) +
                  " WHERE run_id = ? AND row_nr >= ? AND row_nr < ? ORDER BY row_nr, entry_nr",
              range, [&out](const row_view& r) {
                out[r.integer(0)].emplace_back(std::string(r.text(1)), std::string(r.text(2)));
              });
    return out;
  }

  void write_row(std::string& out, const table_def& table, const row_view& r,
                 const std::map<std::int64_t, std::vector<std::pair<std::string, std::string>>>& entries) {
    if (table.form == record_form::flowdata && r.is_null(1)) {
      out += record_end_marker;
      out += '\n';
      return;
    }
    int stored = 0;
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
      const column& c = table.columns[i];
      if (i != 0) out += c.joined ? fun_sep_ : field_sep_;
      if (c.type == col_type::label) {
        out += c.name;
        continue;
      }
      if (c.type == col_type::text)
        out += r.text(stored);
      else
        append_number(out, r.integer(stored), c.type);
      ++stored;
    }
    if (table.form == record_form::query) {
      out += record_end_marker;
      out += '\n';
    } else if (table.form == record_form::flowdata) {
      out += field_sep_;
      const auto it = entries.find(r.integer(stored));
      if (it != entries.end()) {
        for (const auto& [kind, declaration] : it->second) out += kind + ":" + declaration + "\n";
      }
      out += record_end_marker;
      out += '\n';
    } else {
      out += '\n';
    }
  }

  database& db_;
  std::string run_id_;
  std::filesystem::path dir_;
  char field_sep_ = ';';
  char fun_sep_ = ';';
  export_totals totals_;
};

}  // namespace

export_totals export_run(database& db, const std::string& run_id, const std::filesystem::path& out_dir) {
  return run_exporter(db, run_id, out_dir).run();
}

}  // namespace kivdb
