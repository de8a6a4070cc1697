#include "runtime/hal_dir.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

// The names of dir in the order the system's directory reading gives them.
std::vector<std::string> system_order(const fs::path& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return names;
}

std::vector<std::string> read_all(int handle, int mask) {
  std::vector<std::string> names;
  while (const hal_dirent* e = HAL_readdir(handle, mask)) names.push_back(e->name);
  return names;
}

class HalDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"b.txt", "a.txt", "zz", "c.dat", "m.txt", "k"}) kivtest::write_file(dir_ / name, "x");
    fs::create_directory(dir_ / "sub");
    fs::create_symlink(dir_ / "a.txt", dir_ / "link_to_file");
    fs::create_symlink(dir_ / "sub", dir_ / "link_to_dir");
    fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
  }
  kivtest::scratch_dir dir_{"kiv_hal"};
};

TEST_F(HalDirTest, ListsRegularFilesInSystemOrderFollowingLinks) {
  std::vector<std::string> expected;
  for (const std::string& name : system_order(dir_.path())) {
    if (fs::is_regular_file(dir_.path() / name)) expected.push_back(name);
  }
  ASSERT_EQ(expected.size(), 7u);  // six files and the link to one
  const int handle = HAL_opendir(dir_.path().c_str(), 0);
  ASSERT_GE(handle, 0);
  EXPECT_EQ(read_all(handle, hal_kind_regular), expected);
  EXPECT_EQ(HAL_readdir(handle, hal_kind_regular), nullptr);
  HAL_closedir(handle);
}

TEST_F(HalDirTest, KindMaskSelectsAndZeroTakesEverything) {
  const int handle = HAL_opendir(dir_.path().c_str(), 0);
  EXPECT_EQ(read_all(handle, 0), system_order(dir_.path()));
  HAL_closedir(handle);

  const int dirs = HAL_opendir(dir_.path().c_str(), 0);
  std::vector<std::string> got = read_all(dirs, hal_kind_directory);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"link_to_dir", "sub"}));
  HAL_closedir(dirs);
}

TEST(HalDir, UnreadableDirectoryAndExhaustedSlots) {
  EXPECT_EQ(HAL_opendir("/nonexistent/kiv/dir", 0), hal_dir_unreadable);
  EXPECT_EQ(HAL_readdir(hal_dir_unreadable, hal_kind_regular), nullptr);
  HAL_closedir(hal_dir_unreadable);

  kivtest::scratch_dir dir("kiv_hal_slots");
  std::vector<int> handles;
  for (int i = 0; i < hal_max_open_dirs; ++i) handles.push_back(HAL_opendir(dir.path().c_str(), 0));
  EXPECT_EQ(std::count(handles.begin(), handles.end(), hal_dir_too_many), 0);
  EXPECT_EQ(HAL_opendir(dir.path().c_str(), 0), hal_dir_too_many);
  HAL_closedir(handles[5]);
  EXPECT_EQ(HAL_opendir(dir.path().c_str(), 0), handles[5]);
  for (int h : handles) HAL_closedir(h);
  EXPECT_EQ(HAL_readdir(handles[0], 0), nullptr);
}

}  // namespace
