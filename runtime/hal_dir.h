#pragma once

#include <string>

// Directory listing of the runtime. A directory is listed once, when it is
// opened; reading then walks that listing in the order in which the
// operating system delivered the entries.

// Kinds of a listed entry (bits of the kind mask of HAL_readdir). The kind
// is found by following symbolic links.
inline constexpr int hal_kind_other = 1;
inline constexpr int hal_kind_directory = 2;
inline constexpr int hal_kind_regular = 4;

// Result of HAL_opendir when the directory cannot be read.
inline constexpr int hal_dir_unreadable = -2;
// Result of HAL_opendir when every listing slot is taken.
inline constexpr int hal_dir_too_many = -1;
inline constexpr int hal_max_open_dirs = 64;

struct hal_dirent {
  std::string name;
  int kind;
};

// Lists path ("." and ".." left out); flags are reserved and must be 0.
// Returns a handle >= 0, hal_dir_unreadable or hal_dir_too_many.
int HAL_opendir(const char* path, int flags);
// The next entry whose kind is in kind_mask (0: any kind), or null at the end
// or for a handle that is not open.
const hal_dirent* HAL_readdir(int handle, int kind_mask);
// Releases the listing; a handle that is not open is ignored.
void HAL_closedir(int handle);
