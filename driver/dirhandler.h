#pragma once

#include <string>
#include <vector>

// Selects the header files of a trace directory: the regular files (symbolic
// links followed) whose names contain a fragment, in directory order.
class dirhandler {
 public:
  // Lists the directory; a directory that cannot be read selects nothing.
  dirhandler(std::string path, std::string fragment);
  ~dirhandler();
  dirhandler(const dirhandler&) = delete;
  dirhandler& operator=(const dirhandler&) = delete;

  // Fills names() from the listing.
  void read_dir();
  bool is_open() const { return open_; }
  const std::vector<std::string>& names() const { return names_; }

 private:
  std::string path_;
  std::string fragment_;
  bool open_ = false;
  int handle_ = -1;
  std::vector<std::string> names_;
};
