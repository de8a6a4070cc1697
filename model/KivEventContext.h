#pragma once

#include <cstdint>
#include <string>

#include "model/shared_text.h"
#include "output/out_stream.h"

class kiv_reader;
class row_writer;

// Where the run was when a record was read: the current process, its call
// arc and its current Vorex call. Memory rows and query events write it with
// dumpcontext.
class KivEventContext {
 public:
  KivEventContext() = default;
  // Captures the reader's current context (no allocation).
  explicit KivEventContext(kiv_reader* reader);
  KivEventContext(kiv_reader* reader, std::uint32_t pid, std::uint32_t arc, const std::string& bcall,
                  std::int64_t bcall_sym, const std::string& bcall_arg);

  // The twelve context columns, without a line end. Flow step and depth are
  // the process's at dump time; arc and Vorex call are those captured.
  out_stream& dumpcontext(out_stream& os) const;
  row_writer& dumpcontext(row_writer& os) const;

  std::uint32_t pid = 0;
  std::uint32_t arc = 0;
  shared_text bcall;
  std::int64_t bcall_sym = 0;
  shared_text bcall_arg;
  kiv_reader* reader = nullptr;
};
