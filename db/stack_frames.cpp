#include "db/stack_frames.h"

#include <vector>

#include "runtime/stack_text.h"

namespace kivdb {

namespace {

// Locations read and split per page: a page of long stacks holds a few
// megabytes of texts and frames.
constexpr std::size_t page_rows = 2048;

// One hashloc row and its frames.
struct located_stack {
  std::int64_t pid = 0;
  std::int64_t image = 0;
  std::int64_t location = 0;
  std::int64_t row_nr = 0;
  std::vector<kivstack::frame> frames;
};

// The next page of the run's locations after row `after`, split into
// frames; the returned rows' row_nr ascend.
std::vector<located_stack> read_page(database& db, const std::string& run_id, std::int64_t after) {
  std::vector<located_stack> page;
  const std::vector<std::optional<std::string>> params = {run_id, std::to_string(after)};
  db.query("SELECT pid, image, location, row_nr, source FROM hashloc WHERE run_id = ? AND row_nr > ? "
           "ORDER BY row_nr LIMIT " + std::to_string(page_rows),
           params, [&](const row_view& row) {
             located_stack s{row.integer(0), row.integer(1), row.integer(2), row.integer(3), {}};
             if (!row.is_null(4)) {
               auto frames = kivstack::parse_stack(row.text(4));
               if (frames) s.frames = std::move(*frames);
             }
             page.push_back(std::move(s));
           });
  return page;
}

field number(std::int64_t value) { return {{}, value, false}; }
field text(std::string_view value) { return {value, 0, false}; }
field null_field() { return {{}, 0, true}; }

// The frames of one page as rows of the table's insert columns: the
// stored ones, the image, row_nr. The fields view the page's texts.
std::vector<field> page_fields(const std::string& run_id, const std::vector<located_stack>& page) {
  std::vector<field> fields;
  for (const located_stack& s : page) {
    for (std::size_t depth = 0; depth < s.frames.size(); ++depth) {
      const kivstack::frame& f = s.frames[depth];
      fields.push_back(text(run_id));
      fields.push_back(number(s.pid));
      fields.push_back(number(s.location));
      fields.push_back(number(static_cast<std::int64_t>(depth)));
      fields.push_back(text(f.function));
      fields.push_back(f.file.empty() ? null_field() : text(f.file));
      fields.push_back(f.line == 0 ? null_field() : number(f.line));
      fields.push_back(text(f.object));
      fields.push_back(number(s.image));
      fields.push_back(number(s.row_nr));
    }
  }
  return fields;
}

}  // namespace

std::uint64_t store_stack_frames(database& db, const std::string& run_id, const std::function<void()>& checkpoint) {
  const table_def& table = frames_table();
  const std::size_t width = table.row_width();
  std::uint64_t stored = 0;
  std::int64_t after = -1;
  for (;;) {
    if (checkpoint) checkpoint();
    const std::vector<located_stack> page = read_page(db, run_id, after);
    if (page.empty()) return stored;
    after = page.back().row_nr;
    const std::vector<field> fields = page_fields(run_id, page);
    if (fields.empty()) continue;
    auto sink = db.bulk_insert(table);
    sink->add(fields);
    sink->finish();
    stored += fields.size() / width;
  }
}

}  // namespace kivdb
