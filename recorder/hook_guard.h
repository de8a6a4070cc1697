#pragma once

namespace kivrec {

// Marks the current thread as being inside the recorder. Allocations made
// while it is held (by the recorder itself, the dynamic loader or the C
// library on its behalf) go straight to the real allocator, untraced. The
// counter lives in initial-exec TLS: reaching it never allocates.
class hook_guard {
 public:
  hook_guard() : entered_(depth_++ == 0) {}
  ~hook_guard() { --depth_; }
  hook_guard(const hook_guard&) = delete;
  hook_guard& operator=(const hook_guard&) = delete;

  // False when the thread was already inside the recorder.
  bool entered() const { return entered_; }
  static bool busy() { return depth_ != 0; }

 private:
  static thread_local int depth_ __attribute__((tls_model("initial-exec")));
  bool entered_;
};

}  // namespace kivrec
