#include "runtime/hal_dir.h"

#include <dirent.h>
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct listing {
  std::vector<hal_dirent> entries;
  std::size_t next = 0;
};

std::array<std::unique_ptr<listing>, hal_max_open_dirs> listings;

int kind_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return hal_kind_other;
  if (S_ISREG(st.st_mode)) return hal_kind_regular;
  if (S_ISDIR(st.st_mode)) return hal_kind_directory;
  return hal_kind_other;
}

bool is_dot_entry(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

std::unique_ptr<listing> list_directory(const char* path) {
  DIR* dir = ::opendir(path);
  if (!dir) return nullptr;
  auto result = std::make_unique<listing>();
  const std::string prefix = std::string(path) + "/";
  while (const dirent* de = ::readdir(dir)) {
    if (is_dot_entry(de->d_name)) continue;
    result->entries.push_back({de->d_name, kind_of(prefix + de->d_name)});
  }
  ::closedir(dir);
  return result;
}

listing* find_listing(int handle) {
  if (handle < 0 || handle >= hal_max_open_dirs) return nullptr;
  return listings[static_cast<std::size_t>(handle)].get();
}

}  // namespace

int HAL_opendir(const char* path, int /*flags*/) {
  int slot = 0;
  while (slot < hal_max_open_dirs && listings[static_cast<std::size_t>(slot)]) ++slot;
  if (slot == hal_max_open_dirs) return hal_dir_too_many;
  auto found = list_directory(path);
  if (!found) return hal_dir_unreadable;
  listings[static_cast<std::size_t>(slot)] = std::move(found);
  return slot;
}

const hal_dirent* HAL_readdir(int handle, int kind_mask) {
  listing* l = find_listing(handle);
  if (!l) return nullptr;
  while (l->next < l->entries.size()) {
    const hal_dirent& e = l->entries[l->next++];
    if (kind_mask == 0 || (e.kind & kind_mask) != 0) return &e;
  }
  return nullptr;
}

void HAL_closedir(int handle) {
  if (find_listing(handle)) listings[static_cast<std::size_t>(handle)].reset();
}
