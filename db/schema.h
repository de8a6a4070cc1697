#pragma once

// The tables kivdb stores, declared once: the loader, the export, the SQL
// of both engines and the README's column lists all follow from here.
// Each table of kiv becomes one database table named as kiv names it, with
// one column per CSV field (label fields such as "color" are checked on
// load and written back on export, never stored) and a bookkeeping column
// row_nr that keeps the rows in the order kiv wrote them.

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kivdb {

enum class col_type {
  text,    // stored as TEXT, written back as it stands
  int64,   // a signed number
  uint64,  // an unsigned 64-bit number; values above the signed range are
           // stored as their two's complement and written back unchanged
  int32,   // a number kiv holds in 32 bits: INTEGER in PostgreSQL, so rows
  uint32,  // stay narrow; unsigned values above the signed range are
           // stored as their 32-bit two's complement, as for uint64
  label,   // a fixed text in the CSV row, not stored
};

struct column {
  std::string name;  // the column's name; for a label, the label's text
  col_type type = col_type::int64;
  // The field is preceded by kiv's -sf separator instead of the field
  // separator (the function number after an object id).
  bool joined = false;
  std::string doc;  // a few words for the README
};

// How a table's records are framed in its CSV file.
enum class record_form {
  line,      // one row per line
  query,     // fields, then a text that may span lines, ended by "<<>>"
  flowdata,  // fields, then one "kind:declaration" entry per line, then a
             // "<<>>" line; the entries go to the child table
};

struct table_def {
  std::string name;
  std::vector<column> columns;  // the CSV fields in order, labels included
  // Index of the one text column that may hold the field separator: any
  // fields beyond the table's count belong to it. -1: none may.
  int free_text = -1;
  record_form form = record_form::line;
  // Columns indexed after the bulk load, each index led by run_id.
  std::vector<std::vector<std::string>> indexes;
  std::string doc;
  // In SQLite, row_nr is the table's key (its rowid): rows are stored in
  // the order they arrive, each appended at the end of the table, and the
  // run_id index, whose entries carry the rowid, reads a run's rows in
  // order (built once the database holds a second run). The loader
  // numbers rows on from the table's last, so row_nr is unique over all
  // runs.
  bool keyed_by_row = false;
  // The loader gives each row the process image it belongs to (the image
  // column): the tables whose keys the views and the report join on.
  bool per_image = false;

  // The columns stored in the database, in CSV order (labels left out).
  std::vector<const column*> stored() const;
  // Number of stored columns, image and row_nr not counted.
  std::size_t stored_count() const;
  // Fields of a row as the record parser hands it on: the stored columns,
  // the image when the table has one, row_nr.
  std::size_t row_width() const { return stored_count() + (per_image ? 1 : 0) + 1; }
};

// Name of the bookkeeping column every table ends with.
inline constexpr std::string_view row_nr_column = "row_nr";
// Name of the column the loader derives for the tables with per_image set:
// the trace header (process image) of the row, numbered 1, 2, ... in the
// order kiv converted the run's headers. Keys such as record numbers,
// location keys and malloc ids start afresh in every header, also in the
// headers one pid writes when it executes another program.
inline constexpr std::string_view image_column = "image";
// The marker that ends "queries" and "flowdata" records.
inline constexpr std::string_view record_end_marker = "<<>>";

// kiv's eighteen tables, in the order a first conversion creates them.
std::span<const table_def> kiv_tables();
// nullptr for a name that is not one of kiv's tables.
const table_def* find_table(std::string_view name);
// Child table of "flowdata": one row per symbol entry of a record.
const table_def& flowdata_symbols_table();
// The frames of each location whose "hashloc" text is a named call stack,
// one row per frame, derived by the loader; export leaves it out.
const table_def& frames_table();
// The tables the loader derives from kiv's rows rather than reads from a
// table file: the flowdata entries and the frames.
std::span<const table_def* const> derived_tables();

enum class engine_kind { sqlite, postgresql };

// CREATE TABLE IF NOT EXISTS statements of every table kivdb keeps (kiv's
// tables, the flowdata entries and the bookkeeping of loaded runs), one
// statement per element.
std::vector<std::string> schema_sql(engine_kind engine);
// CREATE INDEX IF NOT EXISTS statements, run after a bulk load. A SQLite
// table keyed by row_nr needs its run index only once a second run shares
// it (several_runs): a lone run's rows are read in the table's own order.
std::vector<std::string> index_sql(engine_kind engine, bool several_runs = true);
// The database column type of a stored column.
std::string_view sql_type(col_type type, engine_kind engine);
// Bytes of a number column's value in PostgreSQL (4 for INTEGER, 8 for
// BIGINT); 0 for texts and labels.
std::size_t number_bytes(col_type type);
// Index of a stored column among the stored columns of the table; throws
// std::logic_error for a name the table does not have.
std::size_t stored_index(const table_def& table, std::string_view name);
// The columns a bulk insert fills, in the order of a parsed row's fields:
// the stored columns, the image when the table has one, then row_nr.
std::vector<column> insert_columns(const table_def& table);
// Names of every table holding rows of a run (kiv's, the flowdata entries
// and the bookkeeping tables), for replacing or exporting a run.
std::vector<std::string> run_tables();

// The bookkeeping tables: one row per loaded run (its import script, byte
// for byte) and one per table file (its place in the script and its rows).
inline constexpr std::string_view loads_table = "kivdb_runs";
inline constexpr std::string_view files_table = "kivdb_files";

// Markdown list of every table's columns, for the README.
std::string schema_markdown();

}  // namespace kivdb
