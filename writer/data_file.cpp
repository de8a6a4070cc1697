#include "writer/data_file.h"

namespace kivw {

namespace {
constexpr std::size_t binary_block = 4096;
}

data_file::~data_file() { close(); }

bool data_file::open(const std::string& path, data_format format, buffer_mode mode) {
  close();
  file_ = std::fopen(path.c_str(), format == data_format::binary ? "wb" : "w");
  if (file_ == nullptr) return false;
  size_ = 0;
  if (format == data_format::binary || mode == buffer_mode::full) {
    std::setvbuf(file_, nullptr, _IOFBF, binary_block);
  } else {
    std::setvbuf(file_, nullptr, mode == buffer_mode::line ? _IOLBF : _IONBF, binary_block);
  }
  return true;
}

void data_file::write(std::string_view bytes) {
  if (file_ == nullptr || bytes.empty()) return;
  size_ += std::fwrite(bytes.data(), 1, bytes.size(), file_);
}

void data_file::flush() {
  if (file_ != nullptr) std::fflush(file_);
}

void data_file::close() {
  if (file_ == nullptr) return;
  std::fclose(file_);
  file_ = nullptr;
}

}  // namespace kivw
