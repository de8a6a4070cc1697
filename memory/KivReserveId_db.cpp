#include "memory/KivReserveId_db.h"

#include <iostream>

KivReserveId_db::KivReserveId_db(kiv_reader* reader)
    : unknown_(std::make_unique<KivReserveId>(reader, unknown_name)) {}

KivReserveId_db::~KivReserveId_db() = default;

KivReserveId* KivReserveId_db::get_reserve_id(std::uint32_t id) const {
  const auto it = ids_.find(id);
  return it == ids_.end() ? unknown_.get() : it->second.get();
}

void KivReserveId_db::add_reserve_id(std::unique_ptr<KivReserveId> rid) {
  const std::uint32_t id = rid->id;
  KivReserveId* raw = rid.get();
  if (!ids_.try_emplace(id, std::move(rid)).second) {
    std::cout << "Error mal_id " << id << " already found! " << std::endl;
    return;
  }
  current = raw;
}
