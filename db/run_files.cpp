#include "db/run_files.h"

#include <algorithm>

#include "db/image_splitter.h"
#include "db/load_error.h"
#include "db/record_parser.h"
#include "db/table_reader.h"

namespace kivdb {

namespace {

[[noreturn]] void unreadable(const script_manifest& m, const manifest_file& f, const std::string& cause) {
  throw load_error(m.script.string(), f.line, "table file " + (m.dir / f.file_name).string() + " cannot be read: " + cause);
}

std::unique_ptr<table_reader> read_table_file(const script_manifest& m, const manifest_file& f,
                                              record_form form) {
  try {
    return std::make_unique<table_reader>((m.dir / f.file_name).string(), form);
  } catch (const input_error& e) {
    unreadable(m, f, e.what());
  }
}

}  // namespace

open_table_file::open_table_file(const script_manifest& m, const manifest_file& f) {
  try {
    file_ = std::make_unique<input_file>((m.dir / f.file_name).string());
  } catch (const input_error& e) {
    unreadable(m, f, e.what());
  }
}

std::vector<const manifest_file*> files_in_label_order(const script_manifest& m) {
  std::vector<const manifest_file*> out;
  for (std::string_view table : image_splitter::label_order())
    for (const manifest_file& f : m.files)
      if (f.table == table) out.push_back(&f);
  const auto first = image_splitter::label_order();
  for (const manifest_file& f : m.files)
    if (std::find(first.begin(), first.end(), f.table) == first.end()) out.push_back(&f);
  return out;
}

void read_table_rows(const script_manifest& m, std::string_view table, char field_sep, char fun_sep,
                     const std::function<void(std::span<field>)>& each) {
  const table_def& def = *find_table(table);
  std::vector<flowdata_entry> entries;
  record_parser parser(def, field_sep, fun_sep, m.run_id);
  std::int64_t row = 0;
  for (const manifest_file& f : m.files) {
    if (f.table != table) continue;
    const std::string path = (m.dir / f.file_name).string();
    const std::unique_ptr<table_reader> reader = read_table_file(m, f, def.form);
    std::uint64_t line = 1;
    while (true) {
      std::shared_ptr<const table_piece> piece;
      try {
        piece = reader->next();
      } catch (const input_error& e) {
        throw load_error(path, 0, e.what());
      }
      if (!piece) break;
      const char* p = piece->bytes.data();
      const char* end = p + piece->size;
      while (p != end) {
        const std::uint64_t record_line = line;
        try {
          p = parser.parse(p, end, row++, line, entries);
        } catch (const parse_failure& e) {
          throw load_error(path, record_line, e.what());
        }
        entries.clear();
        each(parser.fields());
      }
    }
  }
}

image_plan read_image_plan(const script_manifest& m, char field_sep, char fun_sep) {
  image_plan plan;
  const table_def& runs = *find_table("runs");
  const std::size_t run_pid = stored_index(runs, "pid");
  const std::size_t start = stored_index(runs, "start_time");
  const std::size_t end = stored_index(runs, "end_time");
  read_table_rows(m, runs.name, field_sep, fun_sep, [&](std::span<field> r) {
    plan.add_run(static_cast<std::int32_t>(r[run_pid].number), r[start].text, r[end].text);
  });
  const table_def& marker = *find_table("marker");
  const std::size_t pid = stored_index(marker, "pid");
  const std::size_t rec = stored_index(marker, "rec");
  const std::size_t time = stored_index(marker, "time");
  const std::size_t group = stored_index(marker, "grp");
  const std::size_t kind = stored_index(marker, "kind");
  const std::size_t text = stored_index(marker, "text");
  read_table_rows(m, marker.name, field_sep, fun_sep, [&](std::span<field> r) {
    plan.add_marker(static_cast<std::int32_t>(r[pid].number), static_cast<std::uint64_t>(r[rec].number),
                    r[time].text, r[group].text, r[kind].text, r[text].text);
  });
  plan.finish();
  return plan;
}

std::string describe_cut(const std::vector<cut_finding>& findings) {
  std::string out;
  for (const cut_finding& f : findings) out += (out.empty() ? "" : "; ") + f.text();
  return out;
}

}  // namespace kivdb
