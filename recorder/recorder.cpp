#include "recorder/recorder.h"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "recorder/block_table.h"
#include "recorder/call_sites.h"
#include "recorder/function_map.h"
#include "recorder/hook_guard.h"
#include "recorder/record_encoder.h"
#include "recorder/runtime_frames.h"
#include "recorder/text_buffer.h"
#include "recorder/trace_stream.h"
#include "recorder/user_messages.h"

namespace kivrec {

namespace {

enum class trace_state { not_started, off, on, ended };

// The allocator's own figures as a mallinfo record carries them.
struct mallinfo_figures {
  std::uint32_t arena = 0;
  std::uint32_t used = 0;
  std::uint32_t freed = 0;
  friend bool operator==(const mallinfo_figures&, const mallinfo_figures&) = default;
};

// Colours are size classes of the requested size.
constexpr std::uint64_t color_limits[] = {16, 64, 256, 1024, 4096, 65536, 1048576};
constexpr const char* color_names[] = {"up to 16 bytes",  "up to 64 bytes",  "up to 256 bytes",
                                       "up to 1 KiB",     "up to 4 KiB",     "up to 64 KiB",
                                       "up to 1 MiB",     "over 1 MiB"};
constexpr int color_count = static_cast<int>(std::size(color_names));
static_assert(color_count <= static_cast<int>(block_table::color_limit), "colours are kept in the block table");
constexpr std::uint64_t kib = 1024;
constexpr int default_mark_signal = SIGUSR2;

pthread_mutex_t trace_lock = PTHREAD_MUTEX_INITIALIZER;
// Read without the lock on the fast paths, changed only under it.
constinit std::atomic<trace_state> state{trace_state::not_started};
constinit stream_settings settings{};
constinit process_identity identity{};
constinit trace_stream stream{};
constinit record_encoder record{};
constinit block_table blocks{};
constinit call_sites sites{};
constinit runtime_frames runtime{};
constinit function_map functions{};
constinit bool threads_as_processes = false;
constinit unsigned trace_generation = 0;  // counts the traces this process opened
constinit int scheduled_pid = 0;          // the process the trace's records belong to now
pthread_key_t thread_end_key;

// What a traced process (or, with threads as processes, a thread) has
// announced in the current trace.
constexpr std::size_t object_words = 8;  // bits for every traced object
struct process_slot {
  unsigned generation = 0;  // the trace the fields below belong to
  int pid = 0;
  bool started = false;       // its process start is written
  bool flow_started = false;  // its root function is written
  std::uint64_t linked[object_words] = {};  // objects linked to it, by index

  void reset(unsigned trace, int process) {
    *this = {};
    generation = trace;
    pid = process;
  }
};
constinit process_slot main_slot{};
thread_local process_slot thread_slot __attribute__((tls_model("initial-exec")));

// The functions a thread is in, as far as their entries were recorded;
// deeper frames are counted but not kept.
constexpr int flow_stack_capacity = 256;
struct flow_stack {
  flow_function frames[flow_stack_capacity];  // object 0: entry not recorded
  int depth = 0;
};
thread_local flow_stack thread_flow __attribute__((tls_model("initial-exec")));
constinit std::uint64_t last_break = 0;
constinit mallinfo_figures last_figures{};
int mark_signal = default_mark_signal;
std::atomic<int> pending_marks{0};

std::uint32_t clamp32(std::uint64_t value) {
  return value > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(value);
}

int color_of(std::size_t size) {
  int c = 0;
  while (c < color_count - 1 && size > color_limits[c]) ++c;
  return c;
}

// The block's usable size plus the size field the C library keeps in front
// of every chunk.
std::uint32_t total_size(void* block) {
  return clamp32(::malloc_usable_size(block) + sizeof(std::size_t));
}

void lock() { ::pthread_mutex_lock(&trace_lock); }
void unlock();

void write_marker(std::string_view text) {
  stream.timestamp();
  record.begin('C').string(text).finish();
  stream.write(record);
}

void write_pending_marks() {
  for (int n = pending_marks.exchange(0); n > 0; --n) {
    char text[32];
    text_buffer out(text, sizeof text);
    out.text("signal ").number(static_cast<std::uint64_t>(mark_signal));
    write_marker(out.view());
  }
}

void unlock() {
  if (state == trace_state::on && pending_marks.load(std::memory_order_relaxed) != 0) write_pending_marks();
  ::pthread_mutex_unlock(&trace_lock);
}

void on_mark_signal(int) {
  const int saved = errno;
  pending_marks.fetch_add(1);
  // Written at once unless this thread is inside the recorder or another
  // thread holds the lock; then the next record written brings it.
  if (!hook_guard::busy() && ::pthread_mutex_trylock(&trace_lock) == 0) unlock();
  errno = saved;
}

void end_trace_locked();

// Signals whose default action ends the process: the trace is closed
// first (when the lock is free), then the signal takes its course. SIGINT
// is left alone: some programs (python3) install their own handler for it
// only while it is at its default.
constexpr int fatal_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

void on_fatal_signal(int signal) {
  if (!hook_guard::busy() && ::pthread_mutex_trylock(&trace_lock) == 0) {
    end_trace_locked();
    ::pthread_mutex_unlock(&trace_lock);
  }
  ::raise(signal);  // the handler was reset: the default action now
}

void install_handler(int signal, void (*handler)(int), int flags) {
  struct sigaction current {};
  if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
}

const char* environment(const char* name) {
  const char* value = ::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

void copy_text(char* out, std::size_t capacity, std::string_view text) {
  text_buffer b(out, capacity);
  b.text(text).c_str();
}

// The run id is a directory below KIVREC_DIR: one that could name another
// place (".." or a path), or break kiv's file names or the SQL script
// later, is never used.
void refuse_run_id(const char* runid) {
  char line[path_capacity];
  text_buffer out(line, sizeof line);
  out.text("KIVREC_RUNID \"").text(runid).text("\" is not a run id (1 to 9 of A-Z a-z 0-9 _ . -, not . or ..)");
  out.text("; no trace of pid ").number(static_cast<std::uint64_t>(::getpid()));
  tell_user(out.view());
}

// KIVREC_DIR (required), KIVREC_RUNID, KIVREC_SIZE (KiB), KIVREC_ADDRESS_BYTES, KIVREC_MARK_SIGNAL.
bool read_settings() {
  const char* dir = environment("KIVREC_DIR");
  if (dir == nullptr) return false;
  copy_text(settings.dir, sizeof settings.dir, dir);
  char pid_text[24];
  text_buffer pid_buffer(pid_text, sizeof pid_text);
  const char* runid = environment("KIVREC_RUNID");
  if (runid == nullptr) runid = pid_buffer.number(static_cast<std::uint64_t>(::getpid())).c_str();
  if (!valid_run_id(runid)) {
    refuse_run_id(runid);
    return false;
  }
  copy_text(settings.runid, sizeof settings.runid, runid);
  if (const char* size = environment("KIVREC_SIZE")) {
    const unsigned long kb = std::strtoul(size, nullptr, 10);
    if (kb > 0) settings.size_limit = kb * kib;
  }
  if (const char* width = environment("KIVREC_ADDRESS_BYTES"))
    settings.address_width = std::strtoul(width, nullptr, 10) == 4 ? 4 : 8;
  if (const char* signal = environment("KIVREC_MARK_SIGNAL"))
    mark_signal = static_cast<int>(std::strtol(signal, nullptr, 10));
  if (const char* threads = environment("KIVREC_THREADS")) threads_as_processes = std::strcmp(threads, "process") == 0;
  return true;
}

// The login name from the environment (no lookup in the user database,
// which could allocate through the program's allocator), else the uid.
void copy_user_name(char* out, std::size_t capacity) {
  const char* user = environment("USER");
  if (user == nullptr) user = environment("LOGNAME");
  if (user != nullptr) {
    copy_text(out, capacity, user);
    return;
  }
  text_buffer b(out, capacity);
  b.number(static_cast<std::uint64_t>(::getuid())).c_str();
}

void read_identity() {
  identity.pid = ::getpid();
  copy_text(identity.progname, sizeof identity.progname, base_name(program_invocation_name));
  copy_user_name(identity.user, sizeof identity.user);
  struct utsname host {};
  if (::uname(&host) == 0) copy_text(identity.hostname, sizeof identity.hostname, host.nodename);
}

// Only signals the program left at their default are taken over; a
// handler the program installs later replaces ours.
void install_signal_handlers() {
  if (mark_signal > 0 && mark_signal < NSIG) install_handler(mark_signal, on_mark_signal, SA_RESTART);
  for (const int signal : fatal_signals)
    if (signal != mark_signal) install_handler(signal, on_fatal_signal, SA_RESETHAND | SA_NODEFER);
}

// Opens the files of this image and writes its process start.
void open_trace(int parent) {
  read_identity();
  sites.set_program_name(identity.progname);
  record.set_address_width(settings.address_width);
  if (!stream.open(settings, identity)) {
    state = trace_state::off;
    return;
  }
  state = trace_state::on;
  ++trace_generation;
  main_slot.reset(trace_generation, identity.pid);
  main_slot.started = true;
  stream.timestamp();
  record.begin('P').i32(identity.pid).i32(parent).string(identity.progname).finish();
  stream.write(record);
  stream.timestamp();
  record.begin('s').i32(0).i32(identity.pid).finish();
  stream.write(record);
  scheduled_pid = identity.pid;
  last_break = reinterpret_cast<std::uint64_t>(::sbrk(0));
  last_figures = {};
}

void fork_prepare();
void fork_parent();
void fork_child();
void on_thread_end(void*);

void start() {
  // Before the C library has set up the environment there is nothing to
  // decide yet; the next allocation asks again.
  if (environ == nullptr) return;
  remember_standard_error();
  if (!read_settings()) {
    state = trace_state::off;
    return;
  }
  open_trace(::getppid());
  if (state != trace_state::on) return;
  install_signal_handlers();
  ::pthread_atfork(fork_prepare, fork_parent, fork_child);
  if (threads_as_processes) ::pthread_key_create(&thread_end_key, on_thread_end);
}

void reserve_id(std::uint16_t id) {
  if (sites.reserved(id)) return;
  sites.set_reserved(id);
  char name[512];
  text_buffer text(name, sizeof name);
  if (id == main_program_id) {
    // "proc:<pid>:<name>" ties the id to its process in the converter.
    text.text("proc:").number(static_cast<std::uint64_t>(identity.pid)).character(':').text(identity.progname);
  } else if (id == main_object_id) {
    // The converter names an object after its id's name less four characters.
    text.text("exe:").text(identity.progname);
  } else if (const traced_object* object = sites.object_of(id)) {
    text.text("lib:").text(object->name);
  } else {
    text.text("outside any object");
  }
  stream.timestamp();
  record.begin('R').u32(id).u32(0).address(0).i32(color_count).string(text.view()).finish();
  stream.write(record);
  for (int c = 0; c < color_count; ++c) {
    record.begin('c').i32(c).string(color_names[c]).finish();
    stream.write(record);
  }
}

// The call site's id; a site seen for the first time is resolved (without
// the lock held, see code_address) and its location text written.
call_site site_for(std::uint64_t caller) {
  call_site site;
  if (sites.find(caller, &site)) return site;
  ::pthread_mutex_unlock(&trace_lock);
  const code_address where = ask_loader(caller);
  lock();
  if (sites.find(caller, &site)) return site;
  char text[location_capacity];
  text_buffer location(text, sizeof text);
  site = sites.add(where, location);
  if (site.in_standard_library) runtime.add_standard_site(caller);
  record.begin('H').address(caller).string(location.view()).finish();
  stream.write(record);
  return site;
}

// The site to record for an allocator call from `caller`: the caller
// itself, or, when it lies in the C or C++ runtime or in a standard-library
// function, the first frame beyond it that does not. The walk runs without
// the lock (the unwinder asks the loader).
struct located_site {
  call_site site;
  std::uint64_t address;
};

bool runtime_site(call_site site, std::uint64_t address) {
  return site.in_standard_library || runtime.contains(address);
}

located_site locate(call_origin caller) {
  const call_site first = site_for(caller.ip);
  if (!runtime_site(first, caller.ip)) return {first, caller.ip};
  // A walk stops at the first frame not known to be in the runtime or the
  // standard library; when that frame turns out to be a standard-library
  // site seen for the first time, it is known from then on and the next
  // walk goes beyond it.
  for (int walk = 0; walk < runtime_frames::max_depth && state == trace_state::on; ++walk) {
    ::pthread_mutex_unlock(&trace_lock);
    const std::uint64_t outer = runtime.outer_frame(caller.ip, caller.stack);
    lock();
    if (outer == 0 || state != trace_state::on) break;
    const call_site site = site_for(outer);
    if (!runtime_site(site, outer)) return {site, outer};
  }
  return {first, caller.ip};
}

void write_figures_if_changed() {
  const struct mallinfo2 info = ::mallinfo2();
  const mallinfo_figures now{clamp32(info.arena), clamp32(info.uordblks + info.usmblks),
                             clamp32(info.fordblks + info.fsmblks)};
  if (now == last_figures) return;
  last_figures = now;
  record.begin('M').u32(now.arena).u32(now.used).u32(now.freed).finish();
  stream.write(record);
}

// Heap growth is an 'S' record from the old break, a trim a 'G' record
// from the old to the new break; either is followed by the allocator's
// figures when they changed.
void check_break() {
  const auto current = reinterpret_cast<std::uint64_t>(::sbrk(0));
  if (current == last_break) return;
  if (current > last_break) {
    record.begin('S').address(last_break).u32(clamp32(current - last_break)).finish();
  } else {
    record.begin('G').address(last_break).address(current).finish();
  }
  stream.write(record);
  last_break = current;
  write_figures_if_changed();
}

void write_allocation(void* block, std::size_t size, call_site site, std::uint64_t caller, std::uint64_t old) {
  const int color = color_of(size);
  reserve_id(site.id);
  record.begin('a').u32(site.id).i32(color).address(reinterpret_cast<std::uint64_t>(block)).address(old);
  record.u32(clamp32(size)).u32(total_size(block)).address(caller).finish();
  stream.write(record);
  blocks.insert(reinterpret_cast<std::uint64_t>(block), {site.id, static_cast<std::uint8_t>(color)});
}

void write_free(std::uint64_t address, block_info info, std::uint64_t caller) {
  record.begin('f').u32(info.id).i32(info.color).address(address).address(caller).finish();
  stream.write(record);
}

// An object's load, all its functions and its link to the process, before
// the first flow record that enters it.
bool announce_object(traced_object& object) {
  if (object.flow_announced) return object.functions.size() != 0;
  object.flow_announced = true;
  if (object.functions.size() == 0 && !(object.has_symbols && object.functions.build(object.symbols))) return false;
  const std::uint16_t id = object.flow_id();
  reserve_id(id);
  record.begin('L').u32(id).finish();
  stream.write(record);
  const auto count = static_cast<std::int32_t>(object.functions.size());
  for (std::int32_t n = 1; n <= count; ++n) {
    record.begin('l').u32(id).i32(n).string(object.functions.name(n)).finish();
    stream.write(record);
  }
  return true;
}

// The object and number of the function entered at `address`; false for
// code outside any object with symbols. Lock held; dropped while the
// loader is asked.
bool resolve_function(std::uint64_t address, flow_function* out) {
  if (!functions.find(address, out)) {
    ::pthread_mutex_unlock(&trace_lock);
    const code_address where = ask_loader(address);
    lock();
    if (state != trace_state::on) return false;
    traced_object* object = where.object == nullptr ? nullptr : sites.object_for(where);
    flow_function found{};
    if (object != nullptr && announce_object(*object))
      found = {object->flow_id(), object->functions.number_of(address - object->load_bias)};
    functions.insert(address, found);
    *out = found;
  }
  return out->object != 0 && out->number > 0;
}

// The slot of the process the calling thread's records belong to.
process_slot& current_slot() {
  if (!threads_as_processes) return main_slot;
  process_slot& slot = thread_slot;
  if (slot.generation != trace_generation) slot.reset(trace_generation, static_cast<int>(::gettid()));
  return slot.pid == identity.pid ? main_slot : slot;
}

// With threads as processes, a thread's first record starts its process
// and a record of another thread than the last one switches to it.
void schedule_current() {
  if (!threads_as_processes) return;
  process_slot& slot = current_slot();
  if (!slot.started) {
    slot.started = true;
    char name[name_capacity + 8];
    text_buffer text(name, sizeof name);
    // The converter keeps a process name up to its first blank.
    text.text(identity.progname).text("-thread");
    stream.timestamp();
    record.begin('P').i32(slot.pid).i32(identity.pid).string(text.view()).finish();
    stream.write(record);
    // Any non-null value: the key's destructor runs when the thread ends.
    ::pthread_setspecific(thread_end_key, &thread_slot);
  }
  if (slot.pid == scheduled_pid) return;
  stream.timestamp();
  record.begin('s').i32(scheduled_pid).i32(slot.pid).finish();
  stream.write(record);
  scheduled_pid = slot.pid;
}

void on_thread_end(void*) {
  hook_guard guard;
  if (!guard.entered()) return;
  lock();
  process_slot& slot = thread_slot;
  if (state == trace_state::on && slot.generation == trace_generation && slot.started) {
    stream.timestamp();
    record.begin('X').i32(slot.pid).finish();
    stream.write(record);
    if (scheduled_pid == slot.pid) scheduled_pid = 0;
    slot.started = false;
  }
  unlock();
}

// The process's root (the converter's bottom frame of its call stack) and
// the object's link to the process, before its first flow record.
void prepare_flow(process_slot& slot, const flow_function& function) {
  if (!slot.flow_started) {
    slot.flow_started = true;
    record.begin('B').u32(static_cast<std::uint32_t>(slot.pid)).i32(0).string(identity.progname).finish();
    stream.write(record);
  }
  const std::size_t index = sites.index_of(function.object);
  std::uint64_t& word = slot.linked[index / 64 % object_words];
  const std::uint64_t bit = std::uint64_t{1} << (index % 64);
  if ((word & bit) != 0) return;
  word |= bit;
  record.begin('p').i32(slot.pid).u32(function.object).finish();
  stream.write(record);
}

// A new trace announces objects and functions afresh.
void forget_flow() {
  functions.clear();
  thread_flow.depth = 0;
}

void fork_prepare() { lock(); }

void fork_parent() {
  if (state == trace_state::on) write_marker("fork");
  unlock();
}

// The child is a process of its own: its own header and data files. Blocks
// it inherited were recorded in the parent's trace, so their frees are not
// recorded in the child's.
void fork_child() {
  const bool was_on = state == trace_state::on;
  stream.abandon();
  blocks.clear();
  sites.forget_announcements();
  forget_flow();
  pending_marks.store(0);
  if (was_on) open_trace(identity.pid);
  ::pthread_mutex_unlock(&trace_lock);
}

}  // namespace

bool recording() {
  if (state == trace_state::on) return true;
  if (state != trace_state::not_started) return false;
  runtime.scan();
  lock();
  if (state == trace_state::not_started) start();
  unlock();
  return state == trace_state::on;
}

void record_allocation(void* block, std::size_t size, call_origin caller) {
  if (!recording()) return;
  lock();
  if (state == trace_state::on) {
    const located_site at = locate(caller);
    if (state == trace_state::on) {
      schedule_current();
      write_allocation(block, size, at.site, at.address, 0);
      check_break();
    }
  }
  unlock();
}

void record_free(void* block, call_origin caller) {
  if (!recording()) return;
  lock();
  block_info info;
  const auto address = reinterpret_cast<std::uint64_t>(block);
  if (state == trace_state::on && blocks.find(address, &info)) {
    const located_site at = locate(caller);
    // The block leaves the table only now: another thread cannot have
    // been given it back while the lock was dropped, it is not freed yet.
    if (state == trace_state::on && blocks.remove(address, &info)) {
      schedule_current();
      write_free(address, info, at.address);
      check_break();
    }
  }
  unlock();
}

void* record_realloc(void* block, std::size_t size, call_origin caller, realloc_function real) {
  if (!recording()) return real(block, size);
  lock();
  located_site at{{}, caller.ip};
  if (state == trace_state::on) at = locate(caller);
  void* moved = real(block, size);
  if (state != trace_state::on || (moved == nullptr && size != 0)) {
    unlock();
    return moved;
  }
  schedule_current();
  const auto old = reinterpret_cast<std::uint64_t>(block);
  block_info info;
  const bool known = block != nullptr && blocks.find(old, &info);
  if (moved == nullptr) {
    // realloc(block, 0) freed the block.
    if (known && blocks.remove(old, &info)) write_free(old, info, at.address);
  } else if (moved == block && known) {
    record.begin('r').u32(info.id).i32(info.color).address(old).address(old);
    record.u32(clamp32(size)).u32(total_size(moved)).address(at.address).finish();
    stream.write(record);
  } else {
    write_allocation(moved, size, at.site, at.address, known ? old : 0);
    if (known && blocks.remove(old, &info)) write_free(old, info, at.address);
  }
  check_break();
  unlock();
  return moved;
}

void record_flow_in(std::uint64_t function) {
  flow_stack& stack = thread_flow;
  flow_function entered{};
  if (recording()) {
    lock();
    if (state == trace_state::on && resolve_function(function, &entered) && state == trace_state::on) {
      schedule_current();
      prepare_flow(current_slot(), entered);
      const bool known_parent = stack.depth > 0 && stack.depth <= flow_stack_capacity;
      const flow_function parent = known_parent ? stack.frames[stack.depth - 1] : flow_function{};
      record.begin('I').u32(parent.object).i32(parent.number).u32(entered.object).i32(entered.number).finish();
      stream.write(record);
    } else {
      entered = {};
    }
    unlock();
  }
  if (stack.depth < flow_stack_capacity) stack.frames[stack.depth] = entered;
  ++stack.depth;
}

void record_flow_out() {
  flow_stack& stack = thread_flow;
  if (stack.depth == 0) return;
  --stack.depth;
  if (stack.depth < flow_stack_capacity && stack.frames[stack.depth].object == 0) return;
  if (!recording()) return;
  lock();
  if (state == trace_state::on) {
    schedule_current();
    record.begin('O').finish();
    stream.write(record);
  }
  unlock();
}

namespace {
void end_trace_locked() {
  if (state != trace_state::on) return;
  stream.timestamp();
  record.begin('X').i32(identity.pid).finish();
  stream.write(record);
  stream.close();
  state = trace_state::ended;
}
}  // namespace

void end_trace() {
  lock();
  end_trace_locked();
  unlock();
}

void restart_trace() {
  lock();
  if (state == trace_state::ended) {
    blocks.clear();
    sites.forget_announcements();
    forget_flow();
    open_trace(::getppid());
  }
  unlock();
}

bool foreign_process() { return state == trace_state::on && ::getpid() != identity.pid; }

}  // namespace kivrec
