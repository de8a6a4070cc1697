#include "recorder/child_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kivrec {

namespace {

constexpr int signal_status_base = 128;
constexpr int not_started_status = 127;
constexpr int forwarded_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// Between two calls of the work done while the child runs: short while
// there is work, so that little is left when it ends; longer and longer
// (up to the longest) while there is none, so that it costs next to nothing.
constexpr int work_interval_ms = 10;
constexpr int longest_work_interval_ms = 160;

volatile sig_atomic_t child_pid = 0;

// A signal from the terminal reaches the child as well (same process
// group); one sent with kill(2) to kivrec alone is passed on.
void forward(int signal, siginfo_t* info, void*) {
  const bool sent_by_kill = info != nullptr && info->si_code <= 0;
  if (sent_by_kill && child_pid > 0) ::kill(child_pid, signal);
}

void install_forwarding() {
  for (const int signal : forwarded_signals) {
    struct sigaction action {};
    action.sa_sigaction = forward;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
  }
}

void restore_defaults() {
  for (const int signal : forwarded_signals) ::signal(signal, SIG_DFL);
}

// Waits for the child's end, doing `work` meanwhile. The child's pidfd
// wakes the wait the moment it ends; without one (an old kernel) the
// wait polls.
int wait_for(pid_t pid, const std::function<bool()>& work) {
  int status = 0;
  if (!work) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  int interval = work_interval_ms;
  for (;;) {
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid || (ended < 0 && errno != EINTR)) break;
    interval = work() ? work_interval_ms : std::min(2 * interval, longest_work_interval_ms);
    pollfd child{pidfd, POLLIN, 0};
    ::poll(pidfd >= 0 ? &child : nullptr, pidfd >= 0 ? 1 : 0, interval);
  }
  if (pidfd >= 0) ::close(pidfd);
  return status;
}

}  // namespace

int run_child(char** argv, const std::function<bool()>& work) {
  std::fflush(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    std::fprintf(stderr, "kivrec: cannot start %s: %s\n", argv[0], std::strerror(errno));
    return not_started_status;
  }
  if (pid == 0) {
    // A kivrec killed outright takes its program along.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(not_started_status);
    ::execvp(argv[0], argv);
    std::fprintf(stderr, "kivrec: cannot run %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(not_started_status);
  }
  child_pid = pid;
  install_forwarding();
  const int status = wait_for(pid, work);
  child_pid = 0;
  restore_defaults();
  if (WIFSIGNALED(status)) return signal_status_base + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : not_started_status;
}

}  // namespace kivrec
