#include "db/image_plan.h"

#include <charconv>

namespace kivdb {

namespace {

constexpr std::string_view record_group = "Record";
constexpr std::string_view begin_kind = "Begin";
constexpr std::string_view end_kind = "End";
constexpr std::string_view process_group = "Process";
constexpr std::string_view start_kind = "Start";
constexpr std::string_view malid_group = "Malid";
constexpr std::string_view reserve_kind = "Reserve";
// "Reserve Id <id> <name>"
constexpr std::string_view reserve_prefix = "Reserve Id ";
// An unset time, the epoch, is shown in the time zone of the conversion:
// the first of January 1970 east of Greenwich, the last day of 1969 west
// of it.
constexpr std::string_view epoch_days[] = {"1970-01-01", "1969-12-31"};

std::optional<std::uint32_t> leading_number(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// "Start: <name> <pid>" and "End: <name> <pid>": the pid is the last word.
std::optional<std::uint32_t> last_word_number(std::string_view text) {
  const std::size_t space = text.rfind(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view word = text.substr(space + 1);
  const auto value = leading_number(word);
  if (!value || std::to_string(*value) != word) return std::nullopt;
  return value;
}

}  // namespace

std::string cut_finding::text() const {
  return "header " + std::to_string(image) + " (pid " + std::to_string(pid) + "): " + what;
}

bool time_is_set(std::string_view time) {
  for (std::string_view day : epoch_days)
    if (time.starts_with(day)) return false;
  return true;
}

void image_plan::add_run(std::int32_t pid, std::string_view start_time, std::string_view end_time) {
  runs_.push_back({pid, std::string(start_time), time_is_set(end_time)});
}

void image_plan::add_marker(std::int32_t pid, std::uint64_t rec, std::string_view time, std::string_view group,
                            std::string_view kind, std::string_view text) {
  if (group == record_group && kind == begin_kind) {
    process_image image;
    image.pid = pid;
    image.read = true;
    image.start_time = time;
    begun_.push_back(std::move(image));
    marks_.emplace_back();
    return;
  }
  // Markers before any Begin marker belong to no header kiv read.
  if (begun_.empty()) return;
  process_image& image = begun_.back();
  if (group == record_group && kind == end_kind) {
    image.ended = true;
    image.end_rec = rec;
    return;
  }
  note_marker(image, group, kind, text);
}

void image_plan::note_marker(process_image& image, std::string_view group, std::string_view kind,
                             std::string_view text) {
  if (group == malid_group && kind == reserve_kind && text.starts_with(reserve_prefix)) {
    if (const auto id = leading_number(text.substr(reserve_prefix.size()))) image.reserved_ids.insert(*id);
    return;
  }
  if (group != process_group) return;
  const auto pid = last_word_number(text);
  if (!pid) return;
  process_marks& marks = marks_.back()[*pid];
  if (kind == start_kind) {
    marks.running = true;
    image.started.insert(*pid);
  } else if (kind == end_kind) {
    ++marks.ends;
    marks.running = false;
  }
}

// A header kiv read has a Begin marker stamped with the header's start
// time, the time its runs row shows; a header whose data could not be read
// has a runs row only, and one whose reading stopped has markers only.
void image_plan::finish() {
  for (std::size_t b = 0; b < begun_.size(); ++b)
    for (const auto& [pid, marks] : marks_[b])
      begun_[b].arc_groups[pid] = marks.ends + (marks.running ? 1 : 0);
  auto matches = [this](std::size_t r, std::size_t b) {
    return runs_[r].pid == begun_[b].pid && runs_[r].start_time == begun_[b].start_time;
  };
  auto matched_later = [&](std::size_t r, std::size_t b) {
    for (std::size_t k = r; k < runs_.size(); ++k)
      if (matches(k, b)) return true;
    return false;
  };
  auto from_run = [this](std::size_t r, process_image image) {
    image.pid = runs_[r].pid;
    image.start_time = runs_[r].start_time;
    image.dumped = true;
    image.closed = runs_[r].closed;
    return image;
  };
  std::size_t r = 0;
  std::size_t b = 0;
  while (r < runs_.size() || b < begun_.size()) {
    if (r < runs_.size() && b < begun_.size() && matches(r, b)) {
      images_.push_back(from_run(r++, std::move(begun_[b++])));
    } else if (r < runs_.size() && (b == begun_.size() || matched_later(r + 1, b))) {
      images_.push_back(from_run(r++, {}));
    } else {
      images_.push_back(std::move(begun_[b++]));
    }
    const std::size_t n = images_.size();
    if (images_.back().read) read_.push_back(n);
    if (images_.back().dumped) dumped_.push_back(n);
  }
  begun_.clear();
  marks_.clear();
}

namespace {

// The first process started under a finished header that has no "process"
// row: a "process" table cut at a row end.
std::optional<std::uint32_t> process_without_row(const process_image& image, std::size_t index,
                                                 const process_rows& processes) {
  if (!image.dumped || !image.ended) return std::nullopt;
  for (std::uint32_t process : image.started)
    if (index >= processes.size() || !processes[index].contains(process)) return process;
  return std::nullopt;
}

}  // namespace

std::vector<cut_finding> image_plan::findings(std::span<const std::optional<std::uint64_t>> last_rec,
                                              const process_rows* processes) const {
  std::vector<cut_finding> out;
  for (std::size_t i = 0; i < images_.size(); ++i) {
    const process_image& image = images_[i];
    auto add = [&](std::string what) { out.push_back({i + 1, image.pid, std::move(what)}); };
    if (!image.read) add("kiv read none of its data (its header names no data file that could be read)");
    if (image.read && !image.ended) add("it has no End marker: kiv stopped reading it, or the marker table is cut");
    const std::uint64_t last = i < last_rec.size() ? last_rec[i].value_or(0) : 0;
    if (image.ended && last != image.end_rec)
      add("its memory rows end at record " + std::to_string(last) + ", its End marker at record " +
          std::to_string(image.end_rec) + ": a table file is cut");
    if (image.read && image.ended && !image.dumped) add("it has no \"runs\" row: a table file is cut");
    if (image.dumped && !image.closed)
      add("its trace was never closed (the program was killed?): what it had not written yet is lost");
    if (processes == nullptr) continue;
    if (const auto process = process_without_row(image, i, *processes))
      add("process " + std::to_string(*process) +
          " was started, but the process table has no row of it: a table file is cut");
  }
  return out;
}

}  // namespace kivdb
