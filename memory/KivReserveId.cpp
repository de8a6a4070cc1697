#include "memory/KivReserveId.h"

#include <cstdlib>
#include <iostream>
#include <utility>

#include "header/kiv_hdr.h"
#include "memory/KivReserveId_db.h"
#include "model/KivProcess.h"
#include "output/csv_file.h"
#include "output/out_stream.h"
#include "output/row_writer.h"
#include "reader/KivMemory.h"
#include "reader/KivTimeStamp.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

namespace {

constexpr const char* unknown_color_name = "default_color";

// Where the remainder of a name starts for each naming family.
constexpr std::size_t proc_rest = 5;
constexpr std::size_t dlock_rest = 6;
constexpr std::size_t xml_rest = 9;
constexpr std::size_t oic_rest = 4;
constexpr std::size_t qdb_rest = 4;
constexpr std::size_t sql_stmt_rest = 18;
constexpr std::size_t dbs_session_rest = 12;

// The text of name from position pos on; empty when the name is shorter.
std::string_view rest_of(std::string_view name, std::size_t pos) {
  return pos < name.size() ? name.substr(pos) : std::string_view{};
}

// The parts before and after the first ':'; both are the whole text when it
// holds no ':'.
std::pair<std::string_view, std::string_view> split(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return {text, text};
  return {text.substr(0, colon), text.substr(colon + 1)};
}

bool starts_with(std::string_view name, std::string_view prefix) { return name.starts_with(prefix); }

}  // namespace

KivReserveId::KivReserveId(kiv_reader* reader) : KivContext(kiv_e_reserve_id, reader) {
  setelems();
}

KivReserveId::KivReserveId(kiv_reader* reader, std::string name)
    : KivContext(kiv_e_reserve_id, reader),
      id(unknown_id),
      nr_colors(1),
      reserve_type(std::move(name)),
      open(false),
      category() {
  color_names.push_back(std::make_unique<std::string>(unknown_color_name));
}

void KivReserveId::setelems() {
  readelem(id);
  readelem(default_size);
  readloc(location_text, location);
  readelem(nr_colors);
  readelem(reserve_type);
  size_colors();
}

// The colour slots start empty: names and counter blocks are created as
// colour records describe them.
void KivReserveId::size_colors() {
  color_names.clear();
  stats.set_color_count(static_cast<int>(colors_kept()));
}

void KivReserveId::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " id: " << id << " nr_colors: " << nr_colors << " reserve type: " << reserve_type
     << " location: " << location_text << '\n';
}

bool KivReserveId::set_color_name(std::uint32_t c, std::string_view name) {
  if (c >= colors_kept()) return false;
  if (c >= color_names.size()) color_names.resize(c + 1);
  color_names[c] = std::make_unique<std::string>(name);
  return true;
}

const std::string& KivReserveId::color_name(std::uint32_t c) const {
  if (c < color_names.size() && color_names[c] != nullptr) return *color_names[c];
  return bad_color;
}

// ---- classification by name ---------------------------------------------------

void KivReserveId::link_malloc_id() {
  const std::string_view name = reserve_type;
  KivProcess_db& procs = reader()->proc_db();
  if (starts_with(name, "proc")) {
    procs.link_mal_id(*this);
    const auto [before, after] = split(rest_of(name, proc_rest));
    category = "proc";
    detail = after;
    detail2 = before;
  } else if (starts_with(name, "dlock")) {
    const auto [before, after] = split(rest_of(name, dlock_rest));
    category = "dlock";
    detail = before;
    detail2 = after;
  } else if (starts_with(name, "xml")) {
    procs.link_xml_id(*this);
    category = "xml";
    detail2 = split(rest_of(name, xml_rest)).first;
    const long pid = std::strtol(detail2.c_str(), nullptr, 10);
    detail = procs.get_process(static_cast<std::uint32_t>(pid))->session_name;
  } else if (starts_with(name, "oic")) {
    const std::string_view rest = rest_of(name, oic_rest);
    const std::size_t colon = rest.find(':');
    category = "oic";
    detail = rest.substr(0, colon);
    detail2 = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
  } else if (starts_with(name, "qdb")) {
    category = "qdb";
    detail = rest_of(name, qdb_rest);
  } else if (starts_with(name, "make_new_sql_stmt")) {
    category = "sql stmt";
    detail = rest_of(name, sql_stmt_rest);
  } else if (starts_with(name, "dbs_session")) {
    category = "dbsession";
    detail2 = rest_of(name, dbs_session_rest);
  }
}

// ---- release of the whole id ---------------------------------------------------

void KivReserveId::free_id(bool verbose, std::int64_t at_location, const KivTimeStamp& ts) {
  release(verbose, at_location, ts, kiv_e_free_id);
  stats.stat.clearstats();
  stats.clear_colors(&KivStat<unsigned long long>::clearstats);
  open = false;
}

void KivReserveId::reset_id(bool verbose, std::int64_t at_location, const KivTimeStamp& ts) {
  release(verbose, at_location, ts, kiv_e_reset_id);
  stats.stat.clearstats();
  stats.stat.clearstats_all();
  stats.stat.clearstats_peak();
  stats.clear_colors(&KivStat<unsigned long long>::clearstats);
  stats.clear_colors(&KivStat<unsigned long long>::clearstats_peak);
  stats.clear_colors(&KivStat<unsigned long long>::clearstats_all);
}

// The release counts as a memory record of its own: it takes the run's next
// record number and writes its "memory" row before the blocks go.
void KivReserveId::release(bool verbose, std::int64_t at_location, const KivTimeStamp& ts,
                           kiv_type tag) {
  if (verbose) std::cout << (tag == kiv_e_free_id ? "FREE ID " : "RESET ID ") << '\n';
  KivFRID rec(tag, reader(), *this);
  rec.location = at_location;
  rec.setelems();
  rec.write_row(reader()->memory_file().get_stream(), reader()->header(), ts.text);
  handle_clear_mem(verbose, tag);
}

void KivReserveId::handle_clear_mem(bool verbose, kiv_type tag) {
  const KivStat<unsigned long long>& s = stats.stat;
  if (verbose) {
    std::cout << "totals for id " << id << " " << reserve_type << '\n'
              << " size_wf     " << s.cur_wf.size << '\n'
              << " size_wf_tot " << s.cur_wf.tot_size << '\n';
  }
  clear_map(wf_mem, verbose, tag);
  if (verbose) {
    report_colors(true);
    std::cout << " size_nf     " << s.cur_nf.size << '\n' << " size_nf_tot " << s.cur_nf.tot_size << '\n';
    report_colors(false);
  }
  clear_map(nf_mem, verbose, tag);
}

// Every block leaves with a "freemem" row naming the record that releases
// it (the run's current record number).
void KivReserveId::clear_map(KivMem<KivMemBlock*>& mem, bool verbose, kiv_type tag) {
  kiv_reader& rd = *reader();
  const kiv_hdr& hdr = rd.header();
  csv_file& freemem = rd.freemem_file();
  const unsigned long long freeing_nr = rd.malid_db().stat.recs.count;
  mem.clear_all_mem(static_cast<int>(colors_kept()), verbose, tag, freeing_nr,
                    [&](const KivMemBlock& blk, unsigned long long nr, kiv_type t) {
                      row_writer os(freemem.get_stream(), data_sep);
                      os.text_field(hdr.runid);
                      os.fields(hdr.pid, blk.sequence, nr);
                      os << static_cast<char>(t) << '\n';
                    });
}

// Colours without a counter block report zeros.
void KivReserveId::report_colors(bool with_free) const {
  for (std::uint32_t c = 0; c < colors_kept(); ++c) {
    const KivStat<unsigned long long>* block = stats.color(c);
    const KivStatSize<unsigned long long> zero;
    const KivStatSize<unsigned long long>& cur = block == nullptr ? zero : (with_free ? block->cur_wf : block->cur_nf);
    std::cout << " c> " << c << " tot_size " << cur.tot_size << " size     " << cur.size << '\n';
  }
}

// ---- "malid" row -----------------------------------------------------------------

void KivReserveId::dumpinfo(out_stream& os) const {
  const kiv_hdr& hdr = reader()->header();
  const auto cut = [](const std::string& text, std::size_t max) { return std::string_view(text).substr(0, max); };
  os << hdr.runid << data_sep << hdr.pid << data_sep << id << data_sep << location << data_sep << reserve_type
     << data_sep << cut(category, category_max) << data_sep << cut(detail, detail_max) << data_sep
     << cut(detail2, detail2_max) << data_sep << default_size << data_sep << start_time << data_sep << end_time
     << data_sep << start_recnr << data_sep << end_recnr;
}

out_stream& operator<<(out_stream& os, const KivReserveId& rid) {
  rid.dumpinfo(os);
  return os;
}
