#pragma once

#include <cstddef>

namespace kivrec {

// Zeroed memory mapped from the system for the recorder's own tables;
// nullptr when the mapping fails.
void* map_memory(std::size_t bytes);
void unmap_memory(void* memory, std::size_t bytes);

}  // namespace kivrec
