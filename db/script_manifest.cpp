#include "db/script_manifest.h"

#include <algorithm>
#include <map>
#include <string_view>

#include "db/input_file.h"
#include "db/load_error.h"
#include "db/schema.h"

namespace kivdb {

namespace {

constexpr std::string_view script_prefix = "kiv.";
constexpr std::string_view script_extension = ".sql";
constexpr std::string_view memory_call = "execute Do_Import_Kiv_Csv_File_Memory @Path, '";
constexpr std::string_view table_call = "execute Do_Import_Kiv_Csv_File @Path, '";

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// Reads "<text>'" from the front of rest into value.
bool take_quoted(std::string_view& rest, std::string_view& value) {
  const std::size_t end = rest.find('\'');
  if (end == std::string_view::npos) return false;
  value = rest.substr(0, end);
  rest.remove_prefix(end + 1);
  return true;
}

bool take(std::string_view& rest, std::string_view expected) {
  if (!rest.starts_with(expected)) return false;
  rest.remove_prefix(expected.size());
  return true;
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

struct import_line {
  std::string_view run_id;
  std::string_view table;
  std::int32_t number = 0;
};

// One "execute ..." line; empty reason on success.
std::string parse_import(std::string_view line, import_line& out) {
  const bool memory = take(line, memory_call);
  if (!memory && !take(line, table_call)) return "not an import line of a kiv script";
  std::string_view versioned;
  std::string_view number;
  if (!take_quoted(line, out.run_id) || !take(line, ", '") || !take_quoted(line, versioned) ||
      !take(line, ", '") || !take_quoted(line, out.table) || !take(line, ", '") || !take_quoted(line, number))
    return "import line without its four arguments";
  const table_def* table = find_table(out.table);
  if (table == nullptr) return "unknown table '" + std::string(out.table) + "'";
  if ((out.table == "memory") != memory) return "table '" + std::string(out.table) + "' with the wrong procedure";
  if (!versioned.starts_with(out.table)) return "table version '" + std::string(versioned) + "' of another table";
  const std::string_view version = versioned.substr(out.table.size());
  if (!version.empty() && version.front() == '-') {
    if (!all_digits(version.substr(1))) return "bad table version '" + std::string(versioned) + "'";
  } else if (!all_digits(version)) {
    return "bad table version '" + std::string(versioned) + "'";
  }
  if (!all_digits(number) || number.size() > 9) return "bad file number '" + std::string(number) + "'";
  out.number = std::stoi(std::string(number));
  const bool marked = table->form != record_form::line;
  const std::string_view end = marked ? ", '<<>>';" : ";";
  if (line != end) return "import line does not end with " + std::string(end);
  return {};
}

std::string read_whole(const std::filesystem::path& path) {
  try {
    return read_whole_file(path.string());
  } catch (const input_error& e) {
    throw load_error(path.string(), 0, std::string("cannot read the script: ") + e.what());
  }
}

// The tables kiv writes when it has read a header to its end: a conversion
// that stopped at a record it could not read names none of them.
constexpr std::string_view final_tables[] = {"process", "hashloc", "malid",   "color",
                                             "queries", "runs",    "objects", "functions"};

bool names_table(const std::map<std::pair<std::string, std::int32_t>, std::size_t>& named, std::string_view table) {
  const auto it = named.lower_bound({std::string(table), 0});
  return it != named.end() && it->first.first == table;
}

// kiv names all of its tables in every script (but the final ones of a
// conversion that stopped, which the load then finds cut short), and each
// table's files numbered from 1 without a gap: a line missing from the
// script would leave rows out of the load.
void check_complete(const script_manifest& m, const std::map<std::pair<std::string, std::int32_t>, std::size_t>& named,
                    std::size_t last_line) {
  const std::string name = m.script.string();
  const bool stopped = std::none_of(std::begin(final_tables), std::end(final_tables),
                                    [&](std::string_view t) { return names_table(named, t); });
  for (const table_def& t : kiv_tables()) {
    if (stopped && std::find(std::begin(final_tables), std::end(final_tables), t.name) != std::end(final_tables))
      continue;
    std::int32_t expected = 1;
    for (auto it = named.lower_bound({t.name, 0}); it != named.end() && it->first.first == t.name; ++it, ++expected) {
      if (it->first.second == expected) continue;
      throw load_error(name, it->second, "file " + std::to_string(it->first.second) + " of table '" + t.name +
                                             "' is named, but not file " + std::to_string(expected) + " (kiv." +
                                             m.run_id + "." + t.name + "." + std::to_string(expected) + ".csv)");
    }
    if (expected == 1)
      throw load_error(name, last_line, "no import line names table '" + t.name +
                                            "': a kiv script names all of its eighteen tables");
  }
}

}  // namespace

script_manifest read_manifest(const std::filesystem::path& script) {
  script_manifest m;
  m.script = script;
  m.dir = script.has_parent_path() ? script.parent_path() : std::filesystem::path(".");
  m.text = read_whole(script);
  const std::string name = script.string();
  const std::vector<std::string_view> lines = split_lines(m.text);
  const std::vector<std::string_view> head = {"USE KIV", "DECLARE @RUNID varchar(10)", "DECLARE @Path varchar(100)",
                                              ""};
  // kiv's script starts with a line of its own words; a CR at its end was
  // put there by converting the file to another system's line ends.
  if (!lines.empty() && lines[0].ends_with('\r'))
    throw load_error(name, 1,
                     "the line ends in CR LF where kiv writes LF (was the script converted to another system's line "
                     "ends?)");
  for (std::size_t i = 0; i < head.size(); ++i) {
    if (i >= lines.size() || lines[i] != head[i])
      throw load_error(name, i + 1, "not a kiv import script: expected \"" + std::string(head[i]) + "\"");
  }
  constexpr std::size_t runid_line = 4;
  std::string_view set_runid = runid_line < lines.size() ? lines[runid_line] : std::string_view();
  std::string_view run_id;
  if (!take(set_runid, "SET @RUNID = '") || !take_quoted(set_runid, run_id) || !set_runid.empty())
    throw load_error(name, runid_line + 1, "not a kiv import script: expected \"SET @RUNID = '<run id>'\"");
  m.run_id = run_id;
  if (lines.size() < 7 || lines[5] != "SET @Path = '$(ScriptDir)\\'" || !lines[6].empty())
    throw load_error(name, 6, "not a kiv import script: expected \"SET @Path = '$(ScriptDir)\\'\"");
  std::map<std::pair<std::string, std::int32_t>, std::size_t> named;  // (table, number) -> line
  for (std::size_t i = 7; i < lines.size(); ++i) {
    import_line imp;
    const std::string reason = parse_import(lines[i], imp);
    if (!reason.empty()) throw load_error(name, i + 1, reason);
    const std::string file = "kiv." + std::string(imp.run_id) + "." + std::string(imp.table) + "." +
                             std::to_string(imp.number) + ".csv";
    if (imp.run_id != m.run_id) {
      m.skipped.push_back(file);
      continue;
    }
    const auto [first, fresh] = named.try_emplace({std::string(imp.table), imp.number}, i + 1);
    if (!fresh)
      throw load_error(name, i + 1, file + " is named a second time (first on line " + std::to_string(first->second) + ")");
    m.files.push_back({std::string(imp.table), imp.number, i + 1, file});
  }
  check_complete(m, named, lines.size());
  return m;
}

std::filesystem::path find_script(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> found;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.starts_with(script_prefix) && name.ends_with(script_extension) && e.is_regular_file())
      found.push_back(e.path());
  }
  if (ec) throw load_error(dir.string(), 0, "cannot read the directory: " + ec.message());
  if (found.empty()) throw load_error(dir.string(), 0, "no kiv.<runid>.sql import script in the directory");
  if (found.size() > 1)
    throw load_error(dir.string(), 0, "several import scripts in the directory; name the one to load");
  return found.front();
}

}  // namespace kivdb
