#pragma once

#include <cstdint>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <string>

#include "recorder/stack_file_reader.h"
#include "recorder/stack_namer.h"

namespace kivrec {

// Follows the stack files of a run directory while the program writes
// them and names every new address as it appears, so that naming at the
// end finds each one known. Each object's file is opened as soon as the
// program reports it, while it is surely still there. What it names is
// what naming after the end would: the namer keeps the names, and naming
// at the end reads every file again from its start.
class stack_follower {
 public:
  // The stack files already in `run_dir` (an earlier run that the program
  // adds to) are left to naming at the end.
  stack_follower(std::string run_dir, stack_namer& namer);

  // Reads what the stack files gained since the last call and names the
  // new addresses. True when anything was new.
  bool step();
  // Addresses named so far.
  std::size_t named() const { return named_; }

 private:
  struct followed {
    explicit followed(const std::string& path) : parser(path) {}
    stack_file_parser parser;
    std::uint64_t offset = 0;     // of the first byte not yet read
    std::string pending;          // a record cut short, waiting for its rest
    std::size_t objects_seen = 0;
    std::size_t stacks_seen = 0;
    bool failed = false;          // not a stack file: left to naming at the end
    // Per generation, the addresses already named.
    std::unordered_map<std::uint32_t, std::unordered_set<std::uint64_t>> named;
  };

  // Every so many steps the directory is listed again for new stack files
  // (a process image that started); in between only the known ones are read.
  static constexpr unsigned listing_interval = 8;

  void list_directory();
  bool read_more(const std::string& path, followed& file);
  void name_new(followed& file);

  std::string run_dir_;
  stack_namer& namer_;
  std::map<std::string, followed> files_;
  std::unordered_set<std::string> earlier_;
  std::size_t named_ = 0;
  unsigned steps_ = 0;
};

}  // namespace kivrec
