#include "memory/KivReserveId.h"

KivReserveId::KivReserveId(kiv_reader* reader) : KivContext(kiv_e_reserve_id, reader) {
  setelems();
}

KivReserveId::KivReserveId(kiv_reader* reader, std::string name)
    : KivContext(kiv_e_reserve_id, reader),
      id(unknown_id),
      nr_colors(1),
      reserve_type(std::move(name)),
      open(false) {}

void KivReserveId::setelems() {
  readelem(id);
  readelem(default_size);
  readloc(location_text, location);
  readelem(nr_colors);
  readelem(reserve_type);
}

void KivReserveId::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " id: " << id << " nr_colors: " << nr_colors << " reserve type: " << reserve_type
     << " location: " << location_text << '\n';
}
