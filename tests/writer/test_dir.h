#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace trace_test {

// A fresh directory, removed afterwards.
class test_dir {
 public:
  test_dir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            ("kivw_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
             std::to_string(::getpid()) + "_" + std::to_string(next_number()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~test_dir() { std::filesystem::remove_all(path_); }
  test_dir(const test_dir&) = delete;
  test_dir& operator=(const test_dir&) = delete;
  std::string str() const { return path_.string(); }

 private:
  static int next_number() {
    static int number = 0;
    return ++number;
  }
  std::filesystem::path path_;
};

}  // namespace trace_test
