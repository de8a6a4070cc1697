#include "report/directory_rows.h"

#include <algorithm>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

#include "db/image_plan.h"
#include "db/image_splitter.h"
#include "db/run_files.h"
#include "db/script_manifest.h"
#include "report/chunk_reader.h"

namespace kivdb::report {

namespace {

// One row of the fields a reader asked for, in the order of its columns.
class field_row final : public row_view {
 public:
  explicit field_row(std::span<const std::string_view> names) : names_(names) {}
  void set(const field* row) { row_ = row; }

  int size() const override { return static_cast<int>(names_.size()); }
  bool is_null(int c) const override { return row_[c].null; }
  std::string_view text(int c) const override { return row_[c].text; }
  std::int64_t integer(int c) const override { return row_[c].number; }
  std::string_view name(int c) const override { return names_[static_cast<std::size_t>(c)]; }
  const field* fields() const override { return row_; }

 private:
  std::span<const std::string_view> names_;
  const field* row_ = nullptr;
};

class directory_run final : public run_rows {
 public:
  directory_run(const std::filesystem::path& source, const directory_options& options)
      : options_(options),
        manifest_(read_manifest(std::filesystem::is_directory(source) ? find_script(source) : source)),
        plan_(read_image_plan(manifest_, options.field_sep, options.fun_sep)),
        splitter_(plan_),
        shared_pid_(has_shared_pid(plan_)) {}

  const std::string& run_id() const override { return manifest_.run_id; }

  void read(std::string_view table, std::span<const std::string_view> columns,
            const std::function<void(const row_view&)>& each) override {
    const table_def* t = find_table(table);
    if (t == nullptr) throw std::logic_error("no table " + std::string(table));
    if (!read_.insert(t->name).second) throw std::logic_error("table " + t->name + " read twice");
    label_tables_before(*t);
    if (labelled_.contains(t->name)) splitter_.restart(*t);
    read_table(*t, columns, each);
    labelled_.insert(t->name);
  }

 private:
  static bool has_shared_pid(const image_plan& plan) {
    std::set<std::int32_t> pids;
    for (const process_image& image : plan.images())
      if (!pids.insert(image.pid).second) return true;
    return false;
  }

  // Rows of a pid with one header need nothing but the pid. Among several
  // headers of one pid the labels of a table use the rows of the tables
  // before it in the splitter's order: those not labelled yet are labelled
  // first (the memory rows then are read twice: once for their labels'
  // sake, before the freemem rows the report reads first).
  void label_tables_before(const table_def& t) {
    if (!shared_pid_) return;
    const auto order = image_splitter::label_order();
    const auto at = std::find(order.begin(), order.end(), t.name);
    for (auto it = order.begin(); it != at && at != order.end(); ++it) {
      const std::string name(*it);
      if (labelled_.contains(name)) continue;
      read_table(*find_table(name), {}, nullptr);
      labelled_.insert(name);
    }
  }

  // The fields kept of each row: the columns asked for (a placeholder for
  // the image), then those the labels read. Sets where the image goes and
  // where each labelled column sits in the parsed row.
  struct row_shape {
    std::vector<std::size_t> projection;
    std::vector<std::pair<std::size_t, std::size_t>> label_fields;  // kept at, parsed at
    std::optional<std::size_t> image_at;
    std::vector<std::string_view> converted;
  };

  static row_shape shape_of(const table_def& t, std::span<const std::string_view> columns) {
    row_shape shape;
    for (std::string_view c : columns) {
      if (c == image_column && t.per_image) {
        shape.image_at = shape.projection.size();
        shape.projection.push_back(0);
        continue;
      }
      shape.projection.push_back(stored_index(t, c));
      shape.converted.push_back(c);
    }
    if (!t.per_image) return shape;
    for (std::string_view c : image_splitter::label_columns()) {
      const auto stored = t.stored();
      if (std::none_of(stored.begin(), stored.end(), [&](const column* s) { return s->name == c; })) continue;
      const std::size_t parsed = stored_index(t, c);
      const auto kept = std::find(shape.projection.begin(), shape.projection.end(), parsed);
      shape.label_fields.emplace_back(static_cast<std::size_t>(kept - shape.projection.begin()), parsed);
      if (kept == shape.projection.end()) shape.projection.push_back(parsed);
      shape.converted.push_back(c);
    }
    return shape;
  }

  // Every file of the table, parsed on worker threads and handed on in
  // order; rows are labelled with their image here, in row order. Only the
  // numbers of the columns asked for and of those the labels read are
  // converted.
  void read_table(const table_def& t, std::span<const std::string_view> columns,
                  const std::function<void(const row_view&)>& each) {
    if (t.form != record_form::line) throw std::logic_error("table " + t.name + " has rows of several lines");
    const row_shape shape = shape_of(t, columns);
    row_labeller* labeller = splitter_.labeller(t);
    std::vector<field> full(t.row_width());
    field_row row(columns);
    const chunk_plan plan{&t, options_.field_sep, options_.fun_sep, manifest_.run_id, shape.converted,
                          shape.projection, {}};
    for (const manifest_file& f : manifest_.files) {
      if (f.table != t.name) continue;
      const auto file = map_table_file(manifest_, f);
      chunk_plan for_file = plan;
      for_file.path = (manifest_.dir / f.file_name).string();
      read_chunks(for_file, file->data(), file->size(), [&](std::span<field> kept) {
        if (labeller != nullptr) {
          for (const auto& [at, parsed] : shape.label_fields) full[parsed] = kept[at];
          labeller->label(full);
          if (shape.image_at) kept[*shape.image_at] = full[t.stored_count()];
        }
        if (!each) return;
        row.set(kept.data());
        each(row);
      });
    }
  }

  directory_options options_;
  script_manifest manifest_;
  image_plan plan_;
  image_splitter splitter_;
  bool shared_pid_;
  std::set<std::string> read_;      // handed to the report
  std::set<std::string> labelled_;  // labelled, for the report or for other tables' labels
};

}  // namespace

std::unique_ptr<run_rows> directory_rows(const std::filesystem::path& source, const directory_options& options) {
  return std::make_unique<directory_run>(source, options);
}

}  // namespace kivdb::report
