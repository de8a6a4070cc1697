#include "db/stop_signals.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>

namespace kivdb {

namespace {

// What a shell reports for a program a signal ended, should raise() not
// end it.
constexpr int signal_status_base = 128;

[[noreturn]] void die_by(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  ::raise(signal);
  std::_Exit(signal_status_base + signal);
}

}  // namespace

stop_signals::stop_signals() {
  sigemptyset(&stops_);
  sigaddset(&stops_, SIGINT);
  sigaddset(&stops_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops_, &old_mask_);
  taker_ = std::thread([this] { take_signals(); });
}

stop_signals::~stop_signals() {
  closing_ = true;
  // Wakes the taking thread; it sees closing_ and ends.
  pthread_kill(taker_.native_handle(), SIGTERM);
  taker_.join();
  // A signal that came after the taking thread ended is delivered now,
  // with its usual effect.
  pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

void stop_signals::take_signals() {
  for (;;) {
    int signal = 0;
    if (sigwait(&stops_, &signal) != 0 || closing_) return;
    const std::lock_guard lock(mutex_);
    if (received_ != 0) {
      // The second signal: the user wants the program gone now.
      if (!remove_.empty()) ::unlink(remove_.c_str());
      die_by(signal);
    }
    received_ = signal;
    if (db_ != nullptr) db_->interrupt();
  }
}

void stop_signals::watch(database* db) {
  const std::lock_guard lock(mutex_);
  db_ = db;
  if (db_ != nullptr && received_ != 0) db_->interrupt();
}

void stop_signals::remove_on_exit(const std::string& path) {
  const std::lock_guard lock(mutex_);
  remove_ = path;
}

void stop_signals::check() const {
  if (received_ != 0) throw load_stopped(received_);
}

void stop_signals::end_program() const { die_by(received_); }

}  // namespace kivdb
