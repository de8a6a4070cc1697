// The PostgreSQL engine through libpq: statements with parameters, rows
// streamed one at a time, and bulk loads through COPY FROM STDIN.

#include <libpq-fe.h>

#include <arpa/inet.h>

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>

#include "db/database.h"

namespace kivdb {

namespace {

struct result_deleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using pg_result = std::unique_ptr<PGresult, result_deleter>;

// Loads into one database take turns: each holds this advisory lock from
// its BEGIN to its end, so that two loads never write the same tables at
// once (PostgreSQL's advisory locks belong to one database). The number
// is kivdb's own: "kivdb" in ASCII.
constexpr long long load_lock_key = 0x6b69766462LL;

// libpq's messages end in a line end and may go on over indented lines;
// the user gets one line.
std::string one_line(std::string text) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (c == '\n' || c == '\t' || c == '\r') {
      space = !out.empty();
      continue;
    }
    if (space) out += ' ';
    space = false;
    out += c;
  }
  return out;
}

// The number after "line " and the name after ", column " in the context
// of a failed COPY ("COPY memory, line 5, column vorex_args: ..."): which
// row the server refused. Nothing is set when the context reads otherwise.
void copy_position(const char* context, db_error& error) {
  if (context == nullptr) return;
  const std::string_view text = context;
  const std::size_t line = text.find(", line ");
  if (!text.starts_with("COPY ") || line == std::string_view::npos) return;
  const char* digits = text.data() + line + std::strlen(", line ");
  std::uint64_t row = 0;
  const auto parsed = std::from_chars(digits, text.data() + text.size(), row);
  if (parsed.ec != std::errc()) return;
  error.row = row;
  const std::string_view rest(parsed.ptr, static_cast<std::size_t>(text.data() + text.size() - parsed.ptr));
  if (!rest.starts_with(", column ")) return;
  const std::string_view name = rest.substr(std::strlen(", column "));
  error.column = std::string(name.substr(0, name.find(':')));
}

// The server's own words for a failed result, without the severity and
// context libpq puts around them.
std::string primary_message(const PGresult* r, PGconn* conn) {
  const char* primary = r != nullptr ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  if (primary != nullptr) return primary;
  return one_line(r != nullptr ? PQresultErrorMessage(r) : PQerrorMessage(conn));
}

// '?' placeholders become $1, $2, ... outside quoted texts and names.
std::string numbered_placeholders(const std::string& sql) {
  std::string out;
  out.reserve(sql.size() + 16);
  char quote = 0;
  int n = 0;
  for (char c : sql) {
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '?') {
      out += '$' + std::to_string(++n);
      continue;
    }
    out += c;
  }
  return out;
}

class pg_row final : public row_view {
 public:
  explicit pg_row(const PGresult* r) : r_(r) {}
  int size() const override { return PQnfields(r_); }
  bool is_null(int c) const override { return PQgetisnull(r_, 0, c) != 0; }
  std::string_view text(int c) const override {
    return {PQgetvalue(r_, 0, c), static_cast<std::size_t>(PQgetlength(r_, 0, c))};
  }
  std::int64_t integer(int c) const override {
    const std::string_view t = text(c);
    std::int64_t v = 0;
    std::from_chars(t.data(), t.data() + t.size(), v);
    return v;
  }
  std::string_view name(int c) const override { return PQfname(r_, c); }

 private:
  const PGresult* r_;
};

// COPY in binary format: no escaping on our side and no number parsing on
// the server's. Each row is its field count, then each field as its length
// (-1: NULL) and bytes (texts as they are, numbers as 4 or 8 big-endian
// bytes).
class pg_sink final : public bulk_sink {
 public:
  // widths: per field (image and row_nr last), the bytes of a number column as the
  // table holds it, 0 for a text.
  pg_sink(PGconn* conn, std::vector<std::size_t> widths) : conn_(conn), widths_(std::move(widths)) {
    fixed_row_bytes_ = sizeof(std::uint16_t);
    for (std::size_t i = 0; i < widths_.size(); ++i) {
      if (widths_[i] == 0) text_columns_.push_back(i);
      fixed_row_bytes_ += sizeof(std::uint32_t) + widths_[i];
    }
    buffer_.resize(chunk_bytes);
    out_ = buffer_.data();
    static constexpr char signature[] = "PGCOPY\n\377\r\n";
    room(sizeof signature + 2 * sizeof(std::uint32_t));
    std::memcpy(out_, signature, sizeof signature);  // with its zero byte
    out_ += sizeof signature;
    put32(0);  // flags
    put32(0);  // header extension length
  }
  ~pg_sink() override {
    // A sink dropped before finish() ends the COPY with an error, so that
    // the connection can go on (the transaction is rolled back anyway).
    if (!finished_) {
      PQputCopyEnd(conn_, "load abandoned");
      while (PGresult* r = PQgetResult(conn_)) PQclear(r);
    }
  }

  void add(std::span<const field> rows) override {
    for (std::size_t at = 0; at < rows.size(); at += widths_.size()) add_row(rows.subspan(at, widths_.size()));
  }

  void finish() override {
    room(sizeof(std::uint16_t));
    put16(end_of_rows);
    flush();
    finished_ = true;
    if (PQputCopyEnd(conn_, nullptr) != 1) throw db_error(one_line(PQerrorMessage(conn_)));
    pg_result r(PQgetResult(conn_));
    const bool ok = r && PQresultStatus(r.get()) == PGRES_COMMAND_OK;
    db_error error(primary_message(r.get(), conn_));
    if (r) copy_position(PQresultErrorField(r.get(), PG_DIAG_CONTEXT), error);
    while (PGresult* rest = PQgetResult(conn_)) PQclear(rest);
    if (!ok) throw error;
  }

 private:
  // Rows go to the socket 64 KB at a time: well below the socket's
  // buffer (about 200 KB on Linux) and within the processor's cache. In
  // alternating runs of 5.1 million rows, 1 MB chunks took 39 to 49 s,
  // 64 KB chunks 34 to 38 s.
  static constexpr std::size_t chunk_bytes = 1 << 16;
  static constexpr std::uint32_t null_length = 0xffffffffu;
  static constexpr std::uint16_t end_of_rows = 0xffffu;

  // At most the bytes of a row in COPY's binary form (a NULL number takes
  // less than the bound): the field count, each field's length and bytes.
  std::size_t row_bytes(std::span<const field> fields) const {
    std::size_t n = fixed_row_bytes_;
    for (std::size_t i : text_columns_) n += fields[i].text.size();
    return n;
  }

  void add_row(std::span<const field> fields) {
    room(row_bytes(fields));
    put16(static_cast<std::uint16_t>(fields.size()));
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const field& f = fields[i];
      if (f.null) {
        put32(null_length);
        continue;
      }
      switch (widths_[i]) {
        case 0:
          put32(static_cast<std::uint32_t>(f.text.size()));
          std::memcpy(out_, f.text.data(), f.text.size());
          out_ += f.text.size();
          break;
        case sizeof(std::uint32_t):
          put32(sizeof(std::uint32_t));
          put32(static_cast<std::uint32_t>(f.number));
          break;
        default:
          put32(sizeof(std::uint64_t));
          put64(static_cast<std::uint64_t>(f.number));
          break;
      }
    }
  }

  // Makes room for n more bytes: sends what is buffered when the chunk is
  // full, and grows the buffer for a row larger than a chunk.
  void room(std::size_t n) {
    if (static_cast<std::size_t>(out_ - buffer_.data()) + n <= buffer_.size()) return;
    flush();
    if (n > buffer_.size()) {
      buffer_.resize(n);
      out_ = buffer_.data();
    }
  }

  void put16(std::uint16_t v) {
    v = htons(v);
    std::memcpy(out_, &v, sizeof v);
    out_ += sizeof v;
  }
  void put32(std::uint32_t v) {
    v = htonl(v);
    std::memcpy(out_, &v, sizeof v);
    out_ += sizeof v;
  }
  void put64(std::uint64_t v) {
    put32(static_cast<std::uint32_t>(v >> 32));
    put32(static_cast<std::uint32_t>(v));
  }
  void flush() {
    const auto n = static_cast<int>(out_ - buffer_.data());
    out_ = buffer_.data();
    if (n != 0 && PQputCopyData(conn_, buffer_.data(), n) != 1) throw db_error(one_line(PQerrorMessage(conn_)));
  }

  PGconn* conn_;
  std::vector<std::size_t> widths_;
  std::vector<std::size_t> text_columns_;  // indexes of the text columns
  std::size_t fixed_row_bytes_ = 0;       // a row's bytes besides its texts
  std::vector<char> buffer_;
  char* out_ = nullptr;
  bool finished_ = false;
};

void ignore_notice(void*, const char*) {}

class pg_database final : public database {
 public:
  explicit pg_database(const std::string& conninfo) : conn_(PQconnectdb(conninfo.c_str())) {
    if (conn_ == nullptr) throw db_error("cannot connect: out of memory");
    if (PQstatus(conn_) != CONNECTION_OK) {
      const std::string message = one_line(PQerrorMessage(conn_));
      PQfinish(conn_);
      throw db_error("cannot connect: " + message);
    }
    PQsetNoticeProcessor(conn_, ignore_notice, nullptr);
    cancel_ = PQgetCancel(conn_);
  }
  ~pg_database() override {
    PQfreeCancel(cancel_);
    PQfinish(conn_);
  }

  engine_kind engine() const override { return engine_kind::postgresql; }

  void exec(const std::string& sql) override {
    pg_result r(PQexec(conn_, sql.c_str()));
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw db_error(error_of(r.get()), sql);
  }

  void query(const std::string& sql, std::span<const std::optional<std::string>> params,
             const std::function<void(const row_view&)>& each) override {
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    const std::string text = numbered_placeholders(sql);
    if (PQsendQueryParams(conn_, text.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                          nullptr, 0) != 1)
      throw db_error(one_line(PQerrorMessage(conn_)), sql);
    PQsetSingleRowMode(conn_);
    std::string failure;
    std::exception_ptr thrown;
    while (PGresult* raw = PQgetResult(conn_)) {
      pg_result r(raw);
      const ExecStatusType status = PQresultStatus(raw);
      if (status == PGRES_SINGLE_TUPLE) {
        // The rest of the result is drained even when the caller throws, so
        // that the connection stays usable.
        if (failure.empty() && !thrown) {
          try {
            each(pg_row(raw));
          } catch (...) {
            thrown = std::current_exception();
          }
        }
      } else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK && failure.empty()) {
        failure = error_of(raw);
      }
    }
    if (thrown) std::rethrow_exception(thrown);
    if (!failure.empty()) throw db_error(failure, sql);
  }

  std::unique_ptr<bulk_sink> bulk_insert(const table_def& table) override {
    std::vector<std::size_t> widths = field_widths(table);
    std::string names;
    for (const column& c : insert_columns(table)) names += (names.empty() ? "" : ", ") + quote_name(c.name);
    const std::string sql = "COPY " + quote_name(table.name) + " (" + names + ") FROM STDIN WITH (FORMAT binary)";
    pg_result r(PQexec(conn_, sql.c_str()));
    if (!r || PQresultStatus(r.get()) != PGRES_COPY_IN) throw db_error(error_of(r.get()), sql);
    return std::make_unique<pg_sink>(conn_, std::move(widths));
  }

  // Nothing to set: COPY is the fast path already, and the commit waits
  // for the server's disk as it does by default, so a run said to be
  // loaded survives a crash of the server.
  void prepare_bulk_load() override {}

  void begin_load() override {
    exec("BEGIN");
    const std::string key = std::to_string(load_lock_key);
    if (database::query("SELECT pg_try_advisory_xact_lock(" + key + ")").rows.at(0).at(0) == "t") return;
    if (::isatty(STDERR_FILENO) != 0)
      std::fprintf(stderr, "kivdb: another load writes to PostgreSQL database %s; waiting for it\n", PQdb(conn_));
    exec("SELECT pg_advisory_xact_lock(" + key + ")");
  }

  void analyze(const std::vector<std::string>& tables) override {
    std::string list;
    for (const std::string& t : tables) list += (list.empty() ? "" : ", ") + quote_name(t);
    if (!list.empty()) exec("ANALYZE " + list);
  }

  // libpq's cancel request may come from any thread.
  void interrupt() override {
    char reason[256];
    if (cancel_ != nullptr) PQcancel(cancel_, reason, sizeof reason);
  }

  std::vector<std::string> table_names() override {
    return names_of("SELECT tablename FROM pg_tables WHERE schemaname = current_schema()", {});
  }

  std::vector<std::string> table_columns(const std::string& table) override {
    return names_of("SELECT attname FROM pg_attribute WHERE attrelid = to_regclass(?) AND attnum > 0 AND NOT attisdropped",
                    {quote_name(table)});
  }

 private:
  // COPY's binary form must match each column as the table holds it. A
  // table made by an earlier kivdb holds BIGINT where the schema now
  // declares INTEGER; its rows are sent as 8 bytes.
  std::vector<std::size_t> field_widths(const table_def& table) {
    std::map<std::string, std::size_t, std::less<>> held;
    const std::vector<std::optional<std::string>> name = {quote_name(table.name)};
    query("SELECT a.attname, t.typlen FROM pg_attribute a JOIN pg_type t ON t.oid = a.atttypid "
          "WHERE a.attrelid = to_regclass(?) AND a.attnum > 0 AND NOT a.attisdropped "
          "AND t.typname IN ('int4', 'int8')",
          name, [&held](const row_view& row) { held[std::string(row.text(0))] = static_cast<std::size_t>(row.integer(1)); });
    std::vector<std::size_t> widths;
    for (const column& c : insert_columns(table)) {
      const auto it = held.find(c.name);
      widths.push_back(it != held.end() ? it->second : number_bytes(c.type));
    }
    return widths;
  }

  std::string error_of(const PGresult* r) const { return primary_message(r, conn_); }

  std::vector<std::string> names_of(const std::string& sql, const std::vector<std::optional<std::string>>& params) {
    std::vector<std::string> names;
    query(sql, params, [&names](const row_view& row) { names.emplace_back(row.text(0)); });
    return names;
  }

  PGconn* conn_;
  PGcancel* cancel_ = nullptr;
};

}  // namespace

std::unique_ptr<database> open_postgres(const std::string& conninfo) {
  return std::make_unique<pg_database>(conninfo);
}

std::string without_password(const std::string& conninfo) {
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), nullptr);
  if (options == nullptr) return "(a connection string libpq cannot read)";
  std::string out;
  for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (o->val == nullptr || *o->val == '\0' || std::strcmp(o->keyword, "password") == 0) continue;
    out += (out.empty() ? "" : " ") + std::string(o->keyword) + "=" + o->val;
  }
  PQconninfoFree(options);
  return out;
}

}  // namespace kivdb
