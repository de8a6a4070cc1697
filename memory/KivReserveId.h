#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "reader/KivContext.h"

// A malloc id (reserve id): its number, name and default size, and when it
// was reserved and freed.
class KivReserveId : public KivContext {
 public:
  static constexpr std::uint32_t unknown_id = 99999999;

  // Decodes the reserve id record at the reader's cursor.
  explicit KivReserveId(kiv_reader* reader);
  // The id that stands for every number never reserved.
  KivReserveId(kiv_reader* reader, std::string name);
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t id = 0;
  std::uint32_t default_size = 0;
  std::uint32_t nr_colors = 0;
  std::string reserve_type;
  std::string location_text;
  std::int64_t location = 0;
  std::string start_time;
  std::string end_time;
  std::uint64_t start_recnr = 0;
  std::uint64_t end_recnr = 0;
  bool open = true;
};
