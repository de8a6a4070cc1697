// The allocator and process functions the preloaded library puts in front
// of the C library's: each calls the real function (found with
// dlsym(RTLD_NEXT)) and hands the outcome to the recorder.

#include <dlfcn.h>
#include <malloc.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "recorder/hook_guard.h"
#include "recorder/recorder.h"
#include "recorder/trace_file.h"

namespace kivrec {

thread_local int hook_guard::depth_ __attribute__((tls_model("initial-exec"))) = 0;

namespace {

using malloc_fn = void* (*)(std::size_t);
using free_fn = void (*)(void*);
using calloc_fn = void* (*)(std::size_t, std::size_t);
using memalign_fn = void* (*)(std::size_t, std::size_t);
using posix_memalign_fn = int (*)(void**, std::size_t, std::size_t);
using execve_fn = int (*)(const char*, char* const[], char* const[]);
using execvpe_fn = int (*)(const char*, char* const[], char* const[]);
using fexecve_fn = int (*)(int, char* const[], char* const[]);
using exit_fn = void (*)(int);
using dlclose_fn = int (*)(void*);
using pipe2_fn = int (*)(int*, int);
using read_fn = ssize_t (*)(int, void*, std::size_t);
using close_fn = int (*)(int);
using new_fn = void* (*)(std::size_t);
using aligned_new_fn = void* (*)(std::size_t, std::align_val_t);

struct real_functions {
  malloc_fn malloc;
  free_fn free;
  calloc_fn calloc;
  realloc_function realloc;
  memalign_fn memalign;
  posix_memalign_fn posix_memalign;
  memalign_fn aligned_alloc;
  malloc_fn valloc;
  malloc_fn pvalloc;
  execve_fn execve;
  execvpe_fn execvpe;
  fexecve_fn fexecve;
  exit_fn exit_now;
  exit_fn exit_now_c99;
  dlclose_fn dlclose;
  pipe2_fn pipe2;
  read_fn read;
  close_fn close;
  new_fn operator_new;
  aligned_new_fn aligned_new;
};

constinit real_functions real{};
constinit bool resolving = false;

// dlsym may itself allocate (calloc for its error state) before the real
// allocator is known: those requests are served from this arena and never
// given back.
constexpr std::size_t bootstrap_size = 64 * 1024;
constexpr std::size_t bootstrap_alignment = 16;
alignas(bootstrap_alignment) constinit unsigned char bootstrap[bootstrap_size] = {};
constinit std::size_t bootstrap_used = 0;

void* bootstrap_alloc(std::size_t size) {
  const std::size_t rounded = (size + bootstrap_alignment - 1) & ~(bootstrap_alignment - 1);
  if (rounded > bootstrap_size - bootstrap_used) return nullptr;
  void* p = bootstrap + bootstrap_used;
  bootstrap_used += rounded;
  return p;  // zeroed: the arena is static and never reused
}

bool from_bootstrap(const void* p) {
  return p >= static_cast<const void*>(bootstrap) && p < static_cast<const void*>(bootstrap + bootstrap_size);
}

template <typename F>
void find(F& slot, const char* name) {
  slot = reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

void resolve() {
  if (real.malloc != nullptr || resolving) return;
  resolving = true;
  find(real.free, "free");
  find(real.calloc, "calloc");
  find(real.realloc, "realloc");
  find(real.memalign, "memalign");
  find(real.posix_memalign, "posix_memalign");
  find(real.aligned_alloc, "aligned_alloc");
  find(real.valloc, "valloc");
  find(real.pvalloc, "pvalloc");
  find(real.execve, "execve");
  find(real.execvpe, "execvpe");
  find(real.fexecve, "fexecve");
  find(real.exit_now, "_exit");
  find(real.exit_now_c99, "_Exit");
  find(real.dlclose, "dlclose");
  find(real.pipe2, "pipe2");
  find(real.read, "read");
  find(real.close, "close");
  find(real.operator_new, "_Znwm");
  find(real.aligned_new, "_ZnwmSt11align_val_t");
  malloc_fn m = nullptr;
  find(m, "malloc");
  real.malloc = m;
  resolving = false;
}

// Records an allocation with its stack (the recorder's guard held). The
// stack is captured here, inlined into the allocator function the program
// called, so that the unwinder walks no other frame of the recorder.
[[gnu::always_inline]] inline void allocated(void* p, std::size_t size) {
  if (p == nullptr || !recording()) return;
  expect_block(p);
  captured_stack stack;
  capture_stack(stack, capture_depth());
  record_allocation(p, size, stack);
}

std::uint64_t as_number(void* address) { return reinterpret_cast<std::uint64_t>(address); }

void* traced_malloc(std::size_t size) {
  resolve();
  if (real.malloc == nullptr || resolving) return bootstrap_alloc(size);
  void* p = real.malloc(size);
  hook_guard guard;
  if (p != nullptr && guard.entered()) allocated(p, size);
  return p;
}

void traced_free(void* p) {
  if (p == nullptr || from_bootstrap(p)) return;
  resolve();
  {
    hook_guard guard;
    if (guard.entered()) record_free(p);
  }
  real.free(p);
}

void* traced_memalign(std::size_t alignment, std::size_t size) {
  resolve();
  void* p = real.memalign(alignment, size);
  hook_guard guard;
  if (p != nullptr && guard.entered()) allocated(p, size);
  return p;
}

// The C++ allocation functions: the real ones run the new-handler loop and
// throw std::bad_alloc, so they are asked only when the allocator failed.
// Their own allocation (through malloc) is recorded by the malloc hook.
void* traced_new(std::size_t size) {
  void* p = traced_malloc(size == 0 ? 1 : size);
  if (p != nullptr || real.operator_new == nullptr) return p;
  return real.operator_new(size);
}

void* traced_aligned_new(std::size_t size, std::align_val_t alignment) {
  void* p = traced_memalign(static_cast<std::size_t>(alignment), size == 0 ? 1 : size);
  if (p != nullptr || real.aligned_new == nullptr) return p;
  return real.aligned_new(size, alignment);
}

void* nothrow_new(std::size_t size) { return traced_malloc(size == 0 ? 1 : size); }

void end_of_image() {
  if (foreign_process()) return;
  hook_guard guard;
  if (guard.entered()) end_trace();
}

void exec_failed() {
  if (foreign_process()) return;
  hook_guard guard;
  if (guard.entered()) restart_trace();
}

constexpr std::size_t max_exec_args = 4096;

}  // namespace
}  // namespace kivrec

using kivrec::as_number;
using kivrec::real;

#define KIVREC_EXPORT extern "C" __attribute__((visibility("default")))

KIVREC_EXPORT void* malloc(std::size_t size) { return kivrec::traced_malloc(size); }

KIVREC_EXPORT void free(void* p) { kivrec::traced_free(p); }

KIVREC_EXPORT void* calloc(std::size_t count, std::size_t size) {
  kivrec::resolve();
  if (real.calloc == nullptr || kivrec::resolving) {
    std::size_t bytes = 0;
    return __builtin_mul_overflow(count, size, &bytes) ? nullptr : kivrec::bootstrap_alloc(bytes);
  }
  void* p = real.calloc(count, size);
  kivrec::hook_guard guard;
  if (p != nullptr && guard.entered()) kivrec::allocated(p, count * size);
  return p;
}

KIVREC_EXPORT void* realloc(void* p, std::size_t size) {
  if (kivrec::from_bootstrap(p)) {
    // Moved out of the arena; its old size is unknown, so copy what fits.
    void* moved = kivrec::traced_malloc(size);
    const std::size_t room = static_cast<std::size_t>(kivrec::bootstrap + kivrec::bootstrap_size -
                                                      static_cast<unsigned char*>(p));
    if (moved != nullptr) std::memcpy(moved, p, size < room ? size : room);
    return moved;
  }
  kivrec::resolve();
  kivrec::hook_guard guard;
  if (!guard.entered() || !kivrec::recording()) return real.realloc(p, size);
  kivrec::captured_stack stack;
  kivrec::capture_stack(stack, kivrec::capture_depth());
  return kivrec::record_realloc(p, size, real.realloc, stack);
}

KIVREC_EXPORT void* memalign(std::size_t alignment, std::size_t size) {
  return kivrec::traced_memalign(alignment, size);
}

KIVREC_EXPORT void* aligned_alloc(std::size_t alignment, std::size_t size) {
  kivrec::resolve();
  void* p = real.aligned_alloc(alignment, size);
  kivrec::hook_guard guard;
  if (p != nullptr && guard.entered()) kivrec::allocated(p, size);
  return p;
}

KIVREC_EXPORT int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  kivrec::resolve();
  const int result = real.posix_memalign(out, alignment, size);
  kivrec::hook_guard guard;
  if (result == 0 && guard.entered()) kivrec::allocated(*out, size);
  return result;
}

KIVREC_EXPORT void* valloc(std::size_t size) {
  kivrec::resolve();
  void* p = real.valloc(size);
  kivrec::hook_guard guard;
  if (p != nullptr && guard.entered()) kivrec::allocated(p, size);
  return p;
}

KIVREC_EXPORT void* pvalloc(std::size_t size) {
  kivrec::resolve();
  void* p = real.pvalloc(size);
  kivrec::hook_guard guard;
  if (p != nullptr && guard.entered()) kivrec::allocated(p, size);
  return p;
}

// ---- C++ allocation functions ------------------------------------------

KIVREC_EXPORT void* _Znwm(std::size_t size) { return kivrec::traced_new(size); }
KIVREC_EXPORT void* _Znam(std::size_t size) { return kivrec::traced_new(size); }
KIVREC_EXPORT void* _ZnwmRKSt9nothrow_t(std::size_t size, const std::nothrow_t&) {
  return kivrec::nothrow_new(size);
}
KIVREC_EXPORT void* _ZnamRKSt9nothrow_t(std::size_t size, const std::nothrow_t&) {
  return kivrec::nothrow_new(size);
}
KIVREC_EXPORT void* _ZnwmSt11align_val_t(std::size_t size, std::align_val_t a) {
  return kivrec::traced_aligned_new(size, a);
}
KIVREC_EXPORT void* _ZnamSt11align_val_t(std::size_t size, std::align_val_t a) {
  return kivrec::traced_aligned_new(size, a);
}
KIVREC_EXPORT void* _ZnwmSt11align_val_tRKSt9nothrow_t(std::size_t size, std::align_val_t a,
                                                       const std::nothrow_t&) {
  return kivrec::traced_memalign(static_cast<std::size_t>(a), size == 0 ? 1 : size);
}
KIVREC_EXPORT void* _ZnamSt11align_val_tRKSt9nothrow_t(std::size_t size, std::align_val_t a,
                                                       const std::nothrow_t&) {
  return kivrec::traced_memalign(static_cast<std::size_t>(a), size == 0 ? 1 : size);
}

KIVREC_EXPORT void _ZdlPv(void* p) { kivrec::traced_free(p); }
KIVREC_EXPORT void _ZdaPv(void* p) { kivrec::traced_free(p); }
KIVREC_EXPORT void _ZdlPvm(void* p, std::size_t) { kivrec::traced_free(p); }
KIVREC_EXPORT void _ZdaPvm(void* p, std::size_t) { kivrec::traced_free(p); }
KIVREC_EXPORT void _ZdlPvRKSt9nothrow_t(void* p, const std::nothrow_t&) { kivrec::traced_free(p); }
KIVREC_EXPORT void _ZdaPvRKSt9nothrow_t(void* p, const std::nothrow_t&) { kivrec::traced_free(p); }
KIVREC_EXPORT void _ZdlPvSt11align_val_t(void* p, std::align_val_t) { kivrec::traced_free(p); }
KIVREC_EXPORT void _ZdaPvSt11align_val_t(void* p, std::align_val_t) { kivrec::traced_free(p); }
KIVREC_EXPORT void _ZdlPvmSt11align_val_t(void* p, std::size_t, std::align_val_t) {
  kivrec::traced_free(p);
}
KIVREC_EXPORT void _ZdaPvmSt11align_val_t(void* p, std::size_t, std::align_val_t) {
  kivrec::traced_free(p);
}
KIVREC_EXPORT void _ZdlPvSt11align_val_tRKSt9nothrow_t(void* p, std::align_val_t, const std::nothrow_t&) {
  kivrec::traced_free(p);
}
KIVREC_EXPORT void _ZdaPvSt11align_val_tRKSt9nothrow_t(void* p, std::align_val_t, const std::nothrow_t&) {
  kivrec::traced_free(p);
}

// ---- call flow of programs built with -finstrument-functions ---------------

KIVREC_EXPORT void __cyg_profile_func_enter(void* function, void*) {
  kivrec::hook_guard guard;
  if (guard.entered()) kivrec::record_flow_in(as_number(function));
}

KIVREC_EXPORT void __cyg_profile_func_exit(void*, void*) {
  kivrec::hook_guard guard;
  if (guard.entered()) kivrec::record_flow_out();
}

// ---- end of a process image ------------------------------------------------

namespace kivrec {
namespace {
// The old image's trace is closed before the exec; when the exec fails the
// image goes on with a new trace.
template <typename Exec>
int traced_exec(Exec exec) {
  resolve();
  end_of_image();
  const int result = exec();
  const int saved = errno;
  exec_failed();
  errno = saved;
  return result;
}
}  // namespace
}  // namespace kivrec

KIVREC_EXPORT int execve(const char* path, char* const argv[], char* const envp[]) {
  return kivrec::traced_exec([&] { return real.execve(path, argv, envp); });
}

KIVREC_EXPORT int execvpe(const char* file, char* const argv[], char* const envp[]) {
  return kivrec::traced_exec([&] { return real.execvpe(file, argv, envp); });
}

KIVREC_EXPORT int fexecve(int fd, char* const argv[], char* const envp[]) {
  return kivrec::traced_exec([&] { return real.fexecve(fd, argv, envp); });
}

KIVREC_EXPORT int execv(const char* path, char* const argv[]) { return execve(path, argv, environ); }
KIVREC_EXPORT int execvp(const char* file, char* const argv[]) { return execvpe(file, argv, environ); }

namespace {
// The variadic exec functions' arguments up to the terminating null pointer.
bool collect_args(const char* first, va_list args, char** out, char* const** envp) {
  std::size_t n = 0;
  out[n++] = const_cast<char*>(first);
  while (out[n - 1] != nullptr) {
    if (n == kivrec::max_exec_args) return false;
    out[n++] = va_arg(args, char*);
  }
  if (envp != nullptr) *envp = va_arg(args, char* const*);
  return true;
}
}  // namespace

KIVREC_EXPORT int execl(const char* path, const char* arg, ...) {
  char* argv[kivrec::max_exec_args];
  va_list args;
  va_start(args, arg);
  const bool ok = collect_args(arg, args, argv, nullptr);
  va_end(args);
  if (!ok) return errno = E2BIG, -1;
  return execve(path, argv, environ);
}

KIVREC_EXPORT int execlp(const char* file, const char* arg, ...) {
  char* argv[kivrec::max_exec_args];
  va_list args;
  va_start(args, arg);
  const bool ok = collect_args(arg, args, argv, nullptr);
  va_end(args);
  if (!ok) return errno = E2BIG, -1;
  return execvpe(file, argv, environ);
}

KIVREC_EXPORT int execle(const char* path, const char* arg, ...) {
  char* argv[kivrec::max_exec_args];
  char* const* envp = nullptr;
  va_list args;
  va_start(args, arg);
  const bool ok = collect_args(arg, args, argv, &envp);
  va_end(args);
  if (!ok) return errno = E2BIG, -1;
  return execve(path, argv, envp);
}

KIVREC_EXPORT void _exit(int status) {
  kivrec::resolve();
  kivrec::end_of_image();
  real.exit_now(status);
  __builtin_unreachable();
}

KIVREC_EXPORT void _Exit(int status) {
  kivrec::resolve();
  kivrec::end_of_image();
  real.exit_now_c99(status);
  __builtin_unreachable();
}

// ---- unloaded objects ------------------------------------------------------

// Only dlclose is taken over, not dlopen: the loader finds a library's
// dependencies through the object that called dlopen, which must stay the
// program's. Objects that appear are found when a stack holds their code.
KIVREC_EXPORT int dlclose(void* handle) {
  kivrec::resolve();
  const int result = real.dlclose(handle);
  const int saved = errno;
  kivrec::hook_guard guard;
  if (guard.entered()) kivrec::objects_changed();
  errno = saved;
  return result;
}

// ---- the unwinder's descriptors --------------------------------------------

// The unwinder checks memory it is unsure of by writing it into a pipe of
// its own, opened at the lowest free numbers and, when it finds them gone,
// closed and opened again. A pipe made for the recorder (the thread is
// inside it) is moved up where the trace files live, so that it takes no
// number the program means to use.
//
// The program may still put files of its own on those numbers (dup2 over
// the top of the range, or a close_range and new files). The unwinder
// would then read from and write into the program's file, and close it when
// the read fails. So, inside the recorder, a read of the pipe whose ends
// are no longer the pipe fails as a closed descriptor would, which makes
// the unwinder open a new pipe; and its close of an end that is now the
// program's leaves that file open.

namespace {

struct unwinder_pipe_state {
  int fds[2] = {-1, -1};
  kivrec::file_identity identity{};
};

constinit unwinder_pipe_state unwinder_pipe{};

bool is_unwinder_pipe_end(int fd) {
  return fd >= 0 && (fd == unwinder_pipe.fds[0] || fd == unwinder_pipe.fds[1]);
}

bool still_the_unwinder_pipe(int fd) { return kivrec::file_identity::of(fd).same(unwinder_pipe.identity); }

}  // namespace

KIVREC_EXPORT int pipe2(int fds[2], int flags) {
  kivrec::resolve();
  const int result = real.pipe2(fds, flags);
  if (result != 0 || !kivrec::hook_guard::busy()) return result;
  fds[0] = kivrec::move_descriptor_high(fds[0]);
  fds[1] = kivrec::move_descriptor_high(fds[1]);
  unwinder_pipe.fds[0] = fds[0];
  unwinder_pipe.fds[1] = fds[1];
  unwinder_pipe.identity = kivrec::file_identity::of(fds[0]);
  return result;
}

KIVREC_EXPORT ssize_t read(int fd, void* buffer, std::size_t size) {
  kivrec::resolve();
  const bool taken = kivrec::hook_guard::busy() && fd == unwinder_pipe.fds[0] &&
                     !(still_the_unwinder_pipe(unwinder_pipe.fds[0]) && still_the_unwinder_pipe(unwinder_pipe.fds[1]));
  if (taken) {
    errno = EBADF;
    return -1;
  }
  if (real.read == nullptr) return ::syscall(SYS_read, fd, buffer, size);
  return real.read(fd, buffer, size);
}

KIVREC_EXPORT int close(int fd) {
  kivrec::resolve();
  if (kivrec::hook_guard::busy() && is_unwinder_pipe_end(fd)) {
    const bool ours = still_the_unwinder_pipe(fd);
    unwinder_pipe.fds[fd == unwinder_pipe.fds[0] ? 0 : 1] = -1;
    if (!ours) return 0;
  }
  if (real.close == nullptr) return static_cast<int>(::syscall(SYS_close, fd));
  return real.close(fd);
}

KIVREC_EXPORT int pipe(int fds[2]) { return pipe2(fds, 0); }

// Programs that never allocate are traced too: the trace starts when the
// library is loaded, unless an allocation came first.
__attribute__((constructor)) static void kivrec_begin() {
  kivrec::resolve();
  kivrec::hook_guard guard;
  if (guard.entered()) kivrec::recording();
}

// Runs after the program's own destructors and exit handlers (the
// preloaded library is initialised early and so finalised late).
__attribute__((destructor)) static void kivrec_finish() { kivrec::end_of_image(); }
