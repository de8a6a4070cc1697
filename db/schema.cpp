#include "db/schema.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>

namespace kivdb {

namespace {

using cols = std::vector<column>;

column txt(std::string name, std::string doc = {}) { return {std::move(name), col_type::text, false, std::move(doc)}; }
column num(std::string name, std::string doc = {}) { return {std::move(name), col_type::int64, false, std::move(doc)}; }
column u64(std::string name, std::string doc = {}) { return {std::move(name), col_type::uint64, false, std::move(doc)}; }
column i32(std::string name, std::string doc = {}) { return {std::move(name), col_type::int32, false, std::move(doc)}; }
column u32(std::string name, std::string doc = {}) { return {std::move(name), col_type::uint32, false, std::move(doc)}; }
column label(std::string text) { return {std::move(text), col_type::label, false, {}}; }

void append(cols& to, const cols& from) { to.insert(to.end(), from.begin(), from.end()); }

// The Vorex call's arguments are the one text of a context that may hold
// the field separator ("rows=100, lock=1" with -sd ','): the rows that
// carry a context give it whatever their fixed fields leave.
int vorex_args_index(const cols& c) {
  for (std::size_t i = 0; i < c.size(); ++i)
    if (c[i].name == "vorex_args") return static_cast<int>(i);
  return -1;
}

// The twelve columns of a record's call context.
cols context() {
  column parent_fun = i32("parent_funnr", "function number of the caller");
  parent_fun.joined = true;
  column child_fun = i32("child_funnr", "function number of the callee");
  child_fun.joined = true;
  return {u32("process_id", "traced process"),
          u32("arc", "call arc"),
          u32("flow_step"),
          u32("depth", "stack depth"),
          u32("parent_objid", "object id of the caller"),
          parent_fun,
          u32("child_objid", "object id of the callee"),
          child_fun,
          txt("vorex_call", "current Vorex call"),
          num("vorex_symbol"),
          txt("vorex_args"),
          u32("query_seq", "open query (0: none)")};
}

// A counter group of the "memory" row: the label, then its fields, each
// named group_field.
cols group(const std::string& label_text, const std::string& prefix, col_type type,
           std::initializer_list<const char*> fields) {
  cols out{label(label_text)};
  for (const char* f : fields) out.push_back({prefix + "_" + f, type, false, {}});
  return out;
}

const std::initializer_list<const char*> wf_fields = {
    "cur_wf_size", "cur_wf_tot_size", "cur_wf_count", "peak_wf_size", "peak_wf_tot_size", "in_use_size",
    "in_use_tot_size", "recs", "recs_k", "tot_wf_size", "tot_wf_tot_size", "tot_wf_count"};
const std::initializer_list<const char*> colour_fields = {
    "cur_wf_size", "cur_wf_tot_size", "cur_wf_count", "peak_wf_size", "peak_wf_tot_size",
    "in_use_size", "in_use_tot_size", "recs", "recs_k"};
const std::initializer_list<const char*> short_fields = {
    "cur_wf_size", "cur_wf_tot_size", "cur_wf_count", "in_use_size", "in_use_tot_size", "recs", "recs_k"};
const std::initializer_list<const char*> global_fields = {
    "cur_wf_size", "cur_wf_tot_size", "cur_wf_count", "peak_wf_size", "peak_wf_tot_size",
    "cur_nf_size", "cur_nf_tot_size", "cur_nf_count"};

table_def memory() {
  cols c = {txt("run_id"), i32("pid", "pid of the trace header"), txt("time"),
            txt("tag", "record kind letter"), u64("rec", "run's memory record count"), u64("rec_k", "rec / 1000")};
  append(c, context());
  append(c, {num("location", "source location key"), u32("malid", "malloc id"), u32("color", "colour"),
             num("addr", "block address"), num("size", "size change"), num("tot_size", "tot_size change"),
             u64("new_size"), u64("new_tot_size"), num("addr2", "realloc/free address"),
             u64("other_rec", "related record number")});
  append(c, group("color", "color", col_type::uint64, colour_fields));
  append(c, group("malid", "malid", col_type::uint64, wf_fields));
  append(c, group("process", "process", col_type::int64, wf_fields));
  append(c, group("process m", "process_m", col_type::int64, short_fields));
  append(c, group("process c", "process_c", col_type::int32, short_fields));
  append(c, group("global", "global", col_type::uint64, global_fields));
  append(c, {label("sbrk"), u64("sbrk_size"), u32("sbrk_count"), u64("sbrk_gap_size"), u32("sbrk_gap_count")});
  return {"memory", c, vorex_args_index(c), record_form::line,
          {{"row_nr"}},
          "one row per allocation, free, realloc, free id and reset id", true};
}

table_def sbrk() {
  cols c = {txt("run_id"), i32("pid"), txt("time"), num("rec"), txt("tag"), u32("sbrk_nr", "sbrk row number"),
            num("rec2", "memory record count")};
  append(c, context());
  append(c, {num("addr", "address, or previous break"), num("size", "size, or gap"), u64("heap_size"),
             u32("heap_count"), u64("gap_size"), u32("gap_count")});
  return {"sbrk", c, vorex_args_index(c), record_form::line, {{"row_nr"}}, "one row per heap request and heap gap"};
}

table_def queryevents() {
  cols c = {txt("run_id"), i32("pid"), u32("seq"), txt("time"), u32("qid", "query id"), u32("linked_qid"),
            txt("op", "operation letter"), u64("sbrk_in"), u64("sbrk_out"), u64("rec_in"), u64("rec_out")};
  append(c, context());
  return {"queryevents", c, vorex_args_index(c), record_form::line, {{"row_nr"}, {"qid"}}, "one row per database operation"};
}

table_def marker() {
  return {"marker",
          {txt("run_id"), i32("pid"), num("marker_nr"), u64("rec", "memory record number"),
           u64("prev_rec", "previous marker's record number"), txt("time"), txt("grp", "group"), txt("kind"),
           txt("text")},
          8, record_form::line, {{"row_nr"}, {"rec"}},
          "begin and end of a run, every 1,000th memory record, user markers, process and malloc-id events"};
}

table_def freemem() {
  return {"freemem",
          {txt("run_id"), i32("pid"), u64("rec", "the block's record number"),
           u64("freed_by", "record number that freed it"), txt("tag", "tag of that record (f, r, F, Z)")},
          -1, record_form::line, {{"row_nr"}, {"rec"}, {"freed_by"}},
          "one row per block that leaves the model"};
}

table_def arena() {
  cols c = {txt("run_id"), i32("pid"), txt("time"), num("rec"), num("arena_nr")};
  append(c, context());
  append(c, {num("arena"), num("used"), num("freed")});
  return {"arena", c, vorex_args_index(c), record_form::line, {{"row_nr"}}, "one row per native allocator report"};
}

table_def arcs() {
  return {"arcs",
          {txt("run_id"), i32("pid"), u32("process_id"), u32("arc"), txt("caller_object"), u32("caller_objid"),
           i32("caller_funnr"), txt("caller_function"), txt("callee_object"), u32("callee_objid"),
           i32("callee_funnr"), txt("callee_function")},
          -1, record_form::line, {{"row_nr"}, {"process_id", "arc"}},
          "one row per call arc, when its process ends"};
}

table_def symbols() {
  return {"symbols",
          {txt("run_id"), i32("pid"), u32("process_id"), u32("alloc_step", "flow step of the allocation"),
           num("idx"), num("address"), num("size"), txt("kind"), num("flags"), txt("declaration")},
          9, record_form::line, {{"row_nr"}}, "one row per 3GL symbol, when its process ends"};
}

table_def flowdata() {
  return {"flowdata",
          {txt("run_id"), i32("pid"), u32("process_id"), u32("flow_step"), num("group_nr"),
           u64("step_bytes", "bytes of that step"), u64("step_symbols", "symbols of that step")},
          -1, record_form::flowdata, {{"row_nr"}},
          "symbols grouped by the flow step of their allocation; the entries are rows of flowdata_symbols. "
          "A process without symbols leaves a record of NULLs"};
}

table_def flow() {
  return {"flow",
          {txt("run_id"), i32("pid"), u32("process_id"), u32("flow_step"), u32("depth"),
           u64("next_rec", "next memory record number"), u32("arc"), txt("direction", "> or <")},
          -1, record_form::line, {{"row_nr"}}, "one row per process start, 3GL function entry and exit"};
}

table_def process() {
  return {"process",
          {txt("run_id"), i32("pid"), u32("process_id"), txt("session"), u32("malid"), u32("xml_malid"),
           u32("parent"), txt("start_time"), txt("end_time"), u64("start_rec"), u64("end_rec")},
          3, record_form::line, {{"row_nr"}}, "one row per process"};
}

table_def hashloc() {
  return {"hashloc", {txt("run_id"), i32("pid"), num("location", "location key"), txt("source")}, 3,
          record_form::line, {{"row_nr"}, {"location"}}, "one row per source location"};
}

table_def malid() {
  return {"malid",
          {txt("run_id"), i32("pid"), u32("malid"), num("location"), txt("name"), txt("category"), txt("detail"),
           txt("detail2"), num("default_size"), txt("start_time"), txt("end_time"), u64("start_rec"),
           u64("end_rec")},
          -1, record_form::line, {{"row_nr"}, {"malid"}}, "one row per malloc id"};
}

table_def color() {
  return {"color", {txt("run_id"), i32("pid"), u32("malid"), u32("color"), txt("name")}, 4, record_form::line,
          {{"row_nr"}}, "one row per colour of each malloc id"};
}

table_def queries() {
  return {"queries",
          {txt("run_id"), i32("pid"), u32("process_id"), u32("qid"), u32("linked_qid"), txt("prepare_time"),
           txt("begin_time"), txt("close_time"), txt("sql_text")},
          8, record_form::query, {{"row_nr"}, {"qid"}},
          "one record per prepared statement; the SQL text may span lines"};
}

table_def runs() {
  return {"runs",
          {txt("run_id"), i32("pid"), txt("start_time"), txt("end_time"), txt("program"), txt("kre"), txt("pacc"),
           txt("host"), txt("user_name"), txt("description"), num("m_entry"), num("mem_block"), num("m_group")},
          9, record_form::line, {{"row_nr"}}, "one row per header"};
}

table_def objects() {
  return {"objects", {txt("run_id"), i32("pid"), u32("objid"), txt("object")}, 3, record_form::line,
          {{"row_nr"}, {"objid"}}, "one row per loaded object (first row \"(no object)\")"};
}

table_def functions() {
  return {"functions",
          {txt("run_id"), i32("pid"), txt("object"), u32("objid"), i32("funnr"), txt("function")},
          5, record_form::line, {{"row_nr"}, {"objid", "funnr"}},
          "one row per 3GL function of each object (first row \"(no function)\")"};
}

// The tables whose keys the views and the report join on get the image
// of each row.
table_def per_image(table_def t) {
  t.per_image = true;
  return t;
}

const std::vector<table_def>& all_tables() {
  static const std::vector<table_def> tables = {
      per_image(memory()),  sbrk(),     queryevents(),        per_image(marker()),  per_image(freemem()),
      arena(),              per_image(arcs()),   symbols(),   flowdata(),           flow(),
      per_image(process()), per_image(hashloc()), per_image(malid()), per_image(color()), queries(),
      per_image(runs()),    per_image(objects()), per_image(functions())};
  return tables;
}

std::string join(const std::vector<std::string>& parts, std::string_view sep) {
  std::string out;
  for (const std::string& p : parts) {
    if (!out.empty()) out += sep;
    out += p;
  }
  return out;
}

// PostgreSQL aligns an 8-byte number to 8 bytes within a row: stored in
// CSV order, the texts and 4-byte numbers between them leave gaps. It
// gets the 8-byte numbers first, then the 4-byte ones, then the texts,
// each class in CSV order; the loader and the export name the columns, so
// their order in the table does not matter to them.
int storage_class(col_type type, engine_kind engine) {
  if (engine == engine_kind::sqlite) return 0;
  if (type == col_type::text) return 2;
  return number_bytes(type) == sizeof(std::uint32_t) ? 1 : 0;
}

std::string create_table(const table_def& t, engine_kind engine) {
  std::vector<column> cols = insert_columns(t);
  cols.pop_back();  // row_nr has a place of its own below
  std::stable_sort(cols.begin(), cols.end(), [engine](const column& a, const column& b) {
    return storage_class(a.type, engine) < storage_class(b.type, engine);
  });
  std::vector<std::string> defs;
  for (const column& c : cols) defs.push_back("\"" + c.name + "\" " + std::string(sql_type(c.type, engine)));
  // In SQLite row_nr is the rowid of a keyed table. PostgreSQL checks a
  // NOT NULL column on every row it copies in, and only kivdb writes
  // row_nr, always: there the column is left unconstrained.
  const bool keyed = engine == engine_kind::sqlite && t.keyed_by_row;
  const std::string_view constraint = keyed ? " PRIMARY KEY" : engine == engine_kind::sqlite ? " NOT NULL" : "";
  const std::string row_nr = std::string(row_nr_column) + " " + std::string(sql_type(col_type::int64, engine));
  // row_nr ends the 8-byte numbers (in SQLite: ends the table).
  const auto narrower = std::find_if(cols.begin(), cols.end(),
                                     [engine](const column& c) { return storage_class(c.type, engine) > 0; });
  defs.insert(defs.begin() + (narrower - cols.begin()), row_nr + std::string(constraint));
  return "CREATE TABLE IF NOT EXISTS \"" + t.name + "\" (" + join(defs, ", ") + ")";
}

}  // namespace

std::vector<const column*> table_def::stored() const {
  std::vector<const column*> out;
  for (const column& c : columns)
    if (c.type != col_type::label) out.push_back(&c);
  return out;
}

std::size_t table_def::stored_count() const {
  return static_cast<std::size_t>(
      std::count_if(columns.begin(), columns.end(), [](const column& c) { return c.type != col_type::label; }));
}

std::span<const table_def> kiv_tables() { return all_tables(); }

std::size_t stored_index(const table_def& table, std::string_view name) {
  std::size_t i = 0;
  for (const column* c : table.stored()) {
    if (c->name == name) return i;
    ++i;
  }
  throw std::logic_error("table " + table.name + " has no column " + std::string(name));
}

std::vector<column> insert_columns(const table_def& table) {
  std::vector<column> out;
  for (const column* c : table.stored()) out.push_back(*c);
  if (table.per_image) out.push_back({std::string(image_column), col_type::int32, false, "process image"});
  out.push_back({std::string(row_nr_column), col_type::int64, false, "order of the rows"});
  return out;
}

const table_def* find_table(std::string_view name) {
  for (const table_def& t : all_tables())
    if (t.name == name) return &t;
  return nullptr;
}

const table_def& flowdata_symbols_table() {
  static const table_def t = {"flowdata_symbols",
                              {txt("run_id"), num("entry_nr", "entry within the record"), txt("kind"),
                               txt("declaration")},
                              -1, record_form::line, {{"row_nr"}},
                              "one row per \"kind:declaration\" entry of a flowdata record; row_nr is the "
                              "record's row_nr in flowdata"};
  return t;
}

const table_def& frames_table() {
  static const table_def t = per_image(
      {"frames",
       {txt("run_id"), i32("pid"), num("location", "location key"),
        i32("depth", "0 for the allocation site, counting outwards"), txt("function"),
        txt("file", "source file; NULL when unknown"), i32("line", "NULL when unknown"),
        txt("object", "file name of the object that holds the code")},
       -1, record_form::line, {{"row_nr"}, {"image", "location"}},
       "one row per frame of each location whose source text is a named call stack, as kivrec writes it; "
       "derived from hashloc on load, not exported; row_nr is the location's row_nr in hashloc"});
  return t;
}

std::span<const table_def* const> derived_tables() {
  static const std::array<const table_def*, 2> tables = {&flowdata_symbols_table(), &frames_table()};
  return tables;
}

std::string_view sql_type(col_type type, engine_kind engine) {
  if (type == col_type::text) return "TEXT";
  if (engine == engine_kind::sqlite || number_bytes(type) == sizeof(std::uint32_t)) return "INTEGER";
  return "BIGINT";
}

std::size_t number_bytes(col_type type) {
  switch (type) {
    case col_type::int32:
    case col_type::uint32: return sizeof(std::uint32_t);
    case col_type::int64:
    case col_type::uint64: return sizeof(std::uint64_t);
    default: return 0;
  }
}

std::vector<std::string> schema_sql(engine_kind engine) {
  std::vector<std::string> out;
  for (const table_def& t : all_tables()) out.push_back(create_table(t, engine));
  for (const table_def* t : derived_tables()) out.push_back(create_table(*t, engine));
  const std::string_view integer = sql_type(col_type::int64, engine);
  out.push_back("CREATE TABLE IF NOT EXISTS " + std::string(loads_table) +
                " (run_id TEXT PRIMARY KEY, script TEXT NOT NULL, field_sep TEXT NOT NULL, fun_sep TEXT NOT NULL)");
  out.push_back("CREATE TABLE IF NOT EXISTS " + std::string(files_table) + " (run_id TEXT NOT NULL, file_order " +
                std::string(integer) + " NOT NULL, table_name TEXT NOT NULL, file_nr " + std::string(integer) +
                " NOT NULL, first_row " + std::string(integer) + " NOT NULL, row_count " + std::string(integer) +
                " NOT NULL, PRIMARY KEY (run_id, file_order))");
  return out;
}

std::vector<std::string> index_sql(engine_kind engine, bool several_runs) {
  std::vector<std::string> out;
  auto add = [&out, engine, several_runs](const table_def& t) {
    for (const std::vector<std::string>& idx : t.indexes) {
      // An index's entries end with the rowid, which is row_nr in a keyed
      // table: an index of run_id alone reads a run's rows in order. With
      // one run in the database the table itself is in that order.
      const bool by_row = idx.size() == 1 && idx[0] == row_nr_column;
      const bool rowid_order = by_row && engine == engine_kind::sqlite && t.keyed_by_row;
      if (rowid_order && !several_runs) continue;
      out.push_back("CREATE INDEX IF NOT EXISTS \"" + t.name + "_" + join(idx, "_") + "\" ON \"" + t.name +
                    "\" (run_id" + (rowid_order ? "" : ", " + join(idx, ", ")) + ")");
    }
  };
  for (const table_def& t : all_tables()) add(t);
  for (const table_def* t : derived_tables()) add(*t);
  return out;
}

std::vector<std::string> run_tables() {
  std::vector<std::string> out;
  for (const table_def& t : all_tables()) out.push_back(t.name);
  for (const table_def* t : derived_tables()) out.push_back(t->name);
  out.emplace_back(files_table);
  out.emplace_back(loads_table);
  return out;
}

std::string schema_markdown() {
  std::string out;
  auto describe = [&out](const table_def& t) {
    out += "- `" + t.name + "` (" + t.doc + "): ";
    std::vector<std::string> names;
    for (const column* c : t.stored()) {
      std::string n = "`" + c->name + "`";
      if (c->type == col_type::text) n += " text";
      if (c->type == col_type::uint64) n += " unsigned";
      if (c->type == col_type::int32) n += " 32-bit";
      if (c->type == col_type::uint32) n += " unsigned 32-bit";
      if (!c->doc.empty()) n += " (" + c->doc + ")";
      names.push_back(n);
    }
    if (t.per_image) names.push_back("`image` (process image: the trace header's number in the run)");
    names.push_back("`row_nr` (order of the rows)");
    out += join(names, ", ") + "\n";
  };
  for (const table_def& t : all_tables()) describe(t);
  for (const table_def* t : derived_tables()) describe(*t);
  return out;
}

}  // namespace kivdb
