#include "driver/dirhandler.h"

#include "runtime/hal_dir.h"

namespace {
constexpr int list_flags = 0;
}

dirhandler::dirhandler(std::string path, std::string fragment)
    : path_(std::move(path)), fragment_(std::move(fragment)), handle_(HAL_opendir(path_.c_str(), list_flags)) {
  open_ = handle_ >= 0;
}

dirhandler::~dirhandler() {
  if (open_) HAL_closedir(handle_);
}

void dirhandler::read_dir() {
  if (!open_) return;
  while (const hal_dirent* e = HAL_readdir(handle_, hal_kind_regular)) {
    if (e->name.rfind(fragment_) != std::string::npos) names_.push_back(e->name);
  }
}
