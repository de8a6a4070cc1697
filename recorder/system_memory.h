#pragma once

#include <cstddef>

namespace kivrec {

// Zeroed memory mapped from the system for the recorder's own tables;
// nullptr when the mapping fails.
void* map_memory(std::size_t bytes);
void unmap_memory(void* memory, std::size_t bytes);
// Grows a mapping (moving it when needed; the contents stay); `memory`
// may be null with `old_bytes` 0. nullptr when it fails (the old mapping
// is then kept).
void* remap_memory(void* memory, std::size_t old_bytes, std::size_t new_bytes);

}  // namespace kivrec
