#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "header/kiv_type.h"
#include "memory/KivMem.h"
#include "memory/KivMemBlock.h"
#include "memory/KivStat.h"
#include "reader/KivContext.h"

class out_stream;
class KivTimeStamp;

// A malloc id (reserve id): its number, name, default size and colours, its
// counters and live blocks, when it was reserved and freed, and the class
// its name puts it in.
class KivReserveId : public KivContext {
 public:
  static constexpr std::uint32_t unknown_id = 99999999;
  // Colours kept per id: names, counter blocks, "color" rows and report
  // lines exist only for colours below this bound, so that a hostile colour
  // count cannot exhaust memory or flood the output.
  static constexpr std::uint32_t max_colors = 4096;
  static constexpr unsigned long long id_recs_divisor = 100;
  static constexpr unsigned long long color_recs_divisor = 10;
  static constexpr std::size_t category_max = 10;
  static constexpr std::size_t detail_max = 300;
  static constexpr std::size_t detail2_max = 200;

  // Decodes the reserve id record at the reader's cursor.
  explicit KivReserveId(kiv_reader* reader);
  // The id that stands for every number never reserved.
  KivReserveId(kiv_reader* reader, std::string name);
  void setelems() override;
  void traceevent(std::ostream& os) override;

  // Sets category, detail and detail2 from the name, linking the process
  // that a "proc" or "xml" name designates.
  void link_malloc_id();
  // Stores the name of colour c; false when c is not a colour of this id.
  bool set_color_name(std::uint32_t c, std::string_view name);
  // The name of colour c, or bad_color.
  const std::string& color_name(std::uint32_t c) const;
  // Colours that have storage here: nr_colors, bounded by max_colors.
  std::uint32_t colors_kept() const { return nr_colors < max_colors ? nr_colors : max_colors; }

  // Release of the whole id: one "memory" row, a "freemem" row per block,
  // then the counters are cleared (free id) or cleared with their peaks
  // (reset id).
  void free_id(bool verbose, std::int64_t at_location, const KivTimeStamp& ts);
  void reset_id(bool verbose, std::int64_t at_location, const KivTimeStamp& ts);
  void handle_clear_mem(bool verbose, kiv_type tag);

  // One "malid" row without its line end.
  void dumpinfo(out_stream& os) const;

  std::uint32_t id = 0;
  std::uint32_t default_size = 0;
  std::uint32_t nr_colors = 0;
  std::string reserve_type;
  std::string location_text;
  std::int64_t location = 0;
  // One slot per described colour (grown on demand up to colors_kept()).
  std::vector<std::unique_ptr<std::string>> color_names;
  KivMalidStat<unsigned long long, unsigned long long> stats{id_recs_divisor};
  std::string bad_color = "Bad Color";
  std::string start_time;
  std::string end_time;
  std::uint64_t start_recnr = 0;
  std::uint64_t end_recnr = 0;
  bool open = true;
  std::string category = "general";
  std::string detail;
  std::string detail2;
  KivMem<KivMemBlock*> wf_mem;
  KivMem<KivMemBlock*> nf_mem;

 private:
  void size_colors();
  void release(bool verbose, std::int64_t at_location, const KivTimeStamp& ts, kiv_type tag);
  void clear_map(KivMem<KivMemBlock*>& mem, bool verbose, kiv_type tag);
  void report_colors(bool with_free) const;
};

out_stream& operator<<(out_stream& os, const KivReserveId& rid);
