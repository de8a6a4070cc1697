#include "recorder/system_memory.h"

#include <sys/mman.h>

namespace kivrec {

void* map_memory(std::size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void unmap_memory(void* memory, std::size_t bytes) {
  if (memory != nullptr) ::munmap(memory, bytes);
}

void* remap_memory(void* memory, std::size_t old_bytes, std::size_t new_bytes) {
  if (memory == nullptr) return map_memory(new_bytes);
  void* p = ::mremap(memory, old_bytes, new_bytes, MREMAP_MAYMOVE);
  return p == MAP_FAILED ? nullptr : p;
}

}  // namespace kivrec
