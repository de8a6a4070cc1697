#include "output/csv_file.h"

#include <iostream>
#include <utility>

#include "output/csv_file_sequence.h"
#include "output/sql_script.h"

csv_file::csv_file(csv_file_sequence* sequence, sql_script* script, std::string table, std::string dir,
                   std::string runid, bool first)
    : sequence_(sequence),
      script_(script),
      dir_(std::move(dir)),
      runid_(std::move(runid)),
      table_(std::move(table)) {
  open_file(first, false);
}

csv_file::~csv_file() { close_file(); }

std::string csv_file::generate_file_name(bool next) {
  return next ? sequence_->next_sequence(table_, runid_) : sequence_->get_sequence(table_, runid_);
}

// The first conversion of a run creates the file and registers it in the
// import script; later conversions append to the same file and register
// nothing. A file that cannot be opened loses its rows but does not stop the
// conversion.
bool csv_file::open_file(bool first, bool next) {
  file_name_ = generate_file_name(next);
  const std::string path = dir_ + "/" + file_name_;
  const bool opened = stream_.open(path, first);
  if (!opened) {
    std::cerr << "kiv: cannot open table file " << path << " (" << stream_.error() << "); its rows are lost\n";
  }
  if (first && script_ != nullptr) script_->generate_import(table_, sequence_->curr_sequence(table_, false));
  std::cout << "csv_file: " << path << ' ' << (first ? '1' : '0') << '\n';
  return opened;
}

void csv_file::close_file() { stream_.close(); }

// Called from get_stream() before a row when the file has reached its limit:
// the table continues in a new, registered file with the next number.
void csv_file::rotate() {
  close_file();
  open_file(true, true);
}
