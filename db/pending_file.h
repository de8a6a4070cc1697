#pragma once

// A new SQLite database is built under a temporary name in the directory
// of the name it will have, and takes that name only when its load is
// done: no other program ever sees a half-built database under the name,
// and a failed or stopped load leaves nothing behind. The name is taken
// without replacing a file that got it meanwhile (another load that
// created the same database and finished first): that file holds a run.

#include <string>

namespace kivdb {

class pending_file {
 public:
  // Creates the empty temporary file beside target. Throws db_error when
  // the directory takes no new file.
  explicit pending_file(std::string target);
  // Removes the temporary file unless it was published.
  ~pending_file();
  pending_file(const pending_file&) = delete;
  pending_file& operator=(const pending_file&) = delete;

  const std::string& path() const { return path_; }
  // Puts the file's bytes on the disk and gives it the target's name, then
  // puts the name on the disk too. False, with the temporary file removed,
  // when the name is taken by now. Throws db_error when a step fails.
  bool publish();

 private:
  std::string target_;
  std::string path_;
  bool published_ = false;
};

}  // namespace kivdb
