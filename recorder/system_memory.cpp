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

}  // namespace kivrec
