#pragma once

// SIGINT and SIGTERM during a load stop it in order instead of killing it
// in the middle: the statement running is interrupted, the transaction is
// rolled back (a new database file is removed), one line says so, and the
// program then ends by the signal as it would have. A second signal ends
// the program at once, removing the new file first.
//
// The signals are blocked in every thread of the program and taken by a
// thread of their own with sigwait(), so that what they set off runs as
// ordinary code, not in a signal handler.

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <csignal>

#include "db/database.h"

namespace kivdb {

// Thrown at a checkpoint once a signal has arrived.
class load_stopped : public std::runtime_error {
 public:
  explicit load_stopped(int signal) : std::runtime_error("stopped"), signal(signal) {}
  int signal;
};

class stop_signals {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread, and so in every
  // thread it starts afterwards, and starts the thread that takes them.
  stop_signals();
  ~stop_signals();
  stop_signals(const stop_signals&) = delete;
  stop_signals& operator=(const stop_signals&) = delete;

  // The database whose statement a signal interrupts; nullptr for none.
  void watch(database* db);
  // The file a second signal removes before it ends the program; empty
  // for none.
  void remove_on_exit(const std::string& path);
  // The signal that arrived, or 0.
  int received() const { return received_; }
  // Throws load_stopped once a signal has arrived.
  void check() const;
  // Ends the program by the signal that arrived.
  [[noreturn]] void end_program() const;

 private:
  void take_signals();

  sigset_t stops_{};
  sigset_t old_mask_{};
  std::atomic<int> received_ = 0;
  std::atomic<bool> closing_ = false;
  std::mutex mutex_;  // guards db_ and remove_ against the taking thread
  database* db_ = nullptr;
  std::string remove_;
  std::thread taker_;
};

// Watches a database for as long as it lives in a scope.
class watching {
 public:
  watching(stop_signals& stops, database& db) : stops_(stops) { stops_.watch(&db); }
  ~watching() { stops_.watch(nullptr); }
  watching(const watching&) = delete;
  watching& operator=(const watching&) = delete;

 private:
  stop_signals& stops_;
};

}  // namespace kivdb
