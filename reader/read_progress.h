#pragma once

#include <cstdint>
#include <string>

// Told how far the replay of a header has come. The reader reports through
// it and knows nothing of where the figures go; the program shows them on a
// terminal.
class read_progress {
 public:
  // The event loop reports every records_per_report records, so a record
  // costs one counter step and the observer decides how often to show.
  static constexpr std::uint32_t records_per_report = 4096;

  virtual ~read_progress() = default;

  // Reading of header starts: data_bytes in all, memory_records counted so
  // far by the program.
  virtual void begin(const std::string& header, std::uint64_t data_bytes, std::uint64_t memory_records) = 0;
  // bytes_read of the header's data are behind the reader.
  virtual void update(std::uint64_t bytes_read, std::uint64_t memory_records) = 0;
  // Reading of the header has ended, on whatever way out.
  virtual void end() = 0;
};
