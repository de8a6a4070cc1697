// Named call stacks end to end: programs built here with gcc -O2 -g are
// recorded by kivrec and converted by kiv, and kiv's "hashloc" table must
// name every frame of their stacks as the source says.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/stack_text.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"
#include "support/source_lines.h"

namespace {

namespace fs = std::filesystem;
using kivstack::frame;
using kivtest::program_result;
using kivtest::read_file;
using kivtest::run_program;
using kivtest::scratch_dir;
using kivtest::line_of;
using kivtest::write_file;

constexpr const char* runid = "st";

// Runs a tool of the build chain; the test fails with its message when it does.
void tool(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd) {
  const program_result r = run_program(program, {args, cwd.string(), {}});
  ASSERT_EQ(r.status, 0) << program << ": " << r.err;
}

// Writes `name` into `dir` and compiles it with gcc or g++ -O2 -g.
void compile(const fs::path& dir, const std::string& name, const std::string& source, const std::string& output,
             std::vector<std::string> extra = {}) {
  write_file(dir / name, source);
  std::vector<std::string> args = {"-O2", "-g", (dir / name).string(), "-o", (dir / output).string()};
  args.insert(args.end(), extra.begin(), extra.end());
  tool(name.ends_with(".cpp") ? "/usr/bin/g++" : "/usr/bin/gcc", args, dir);
}

struct recorded {
  program_result record;
  program_result convert;
  std::map<std::string, std::string> hashloc;  // key -> stack text
  std::map<std::string, int> allocations;      // key -> 'a' records
  std::string hashloc_table;
};

constexpr std::size_t memory_location = 18;

// Records `program` with kivrec into dir/st and converts it with kiv.
recorded record(const fs::path& dir, const std::vector<std::string>& program,
                const std::vector<std::string>& options = {}) {
  recorded r;
  std::vector<std::string> args = {"--dir", dir.string(), "--runid", runid, "--quiet"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back("--");
  args.insert(args.end(), program.begin(), program.end());
  r.record = run_program(KIVREC_BINARY, {args, "", {}});
  r.convert = run_program(KIV_BINARY, {{"-R", runid}, dir.string(), {}});
  const std::string prefix = (dir / runid / (std::string("kiv.") + runid + ".")).string();
  r.hashloc_table = read_file(prefix + "hashloc.1.csv");
  std::istringstream rows(r.hashloc_table);
  for (std::string row; std::getline(rows, row);) {
    std::size_t at = 0;
    for (int field = 0; field < 2; ++field) at = row.find(';', at) + 1;
    const std::size_t text = row.find(';', at);
    r.hashloc[row.substr(at, text - at)] = row.substr(text + 1);
  }
  std::istringstream memory(read_file(prefix + "memory.1.csv"));
  for (std::string row; std::getline(memory, row);) {
    std::vector<std::string> fields;
    std::istringstream in(row);
    for (std::string f; std::getline(in, f, ';');) fields.push_back(f);
    if (fields.size() > memory_location && fields[3] == "a") ++r.allocations[fields[memory_location]];
  }
  return r;
}

std::vector<frame> frames_of(const std::string& text) {
  auto frames = kivstack::parse_stack(text);
  EXPECT_TRUE(frames.has_value()) << text;
  return frames.value_or(std::vector<frame>{});
}

// The stacks whose first frame is in `function`.
std::vector<std::vector<frame>> stacks_from(const recorded& r, const std::string& function) {
  std::vector<std::vector<frame>> out;
  for (const auto& [key, text] : r.hashloc) {
    auto frames = frames_of(text);
    if (!frames.empty() && frames[0].function == function) out.push_back(std::move(frames));
  }
  return out;
}

// Every file of a run directory by name, with its bytes.
std::map<std::string, std::string> files_of(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(dir)) files[entry.path().filename().string()] = read_file(entry.path());
  return files;
}

// kivrec names while the program runs: the run directory must be what
// naming it after the end gives. The names are taken out again (the names
// file, and its entry from the header it was put into) and the directory
// is named anew with kivrec --name.
void expect_same_as_naming_afterwards(const fs::path& run_dir) {
  const std::map<std::string, std::string> named = files_of(run_dir);
  int headers = 0;
  for (const auto& [name, text] : named) {
    if (name.ends_with(".names.kivdat")) fs::remove(run_dir / name);
    if (!name.ends_with(".kivhdr")) continue;
    ++headers;
    const std::size_t names_entry = text.find(".names.kivdat\"");
    ASSERT_NE(names_entry, std::string::npos) << name;
    const std::size_t start = text.rfind("  <kivfile>\n", names_entry);
    const std::size_t end = text.find("  </kivfile>\n", names_entry) + std::string("  </kivfile>\n").size();
    write_file(run_dir / name, text.substr(0, start) + text.substr(end));
  }
  ASSERT_GT(headers, 0);
  const program_result again = run_program(KIVREC_BINARY, {{"--name", run_dir}, "", {}});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(files_of(run_dir), named);
}

constexpr const char* inlined_source = R"(#include <stdlib.h>
#include <string.h>
static inline char* dup_name(const char* s) {
  size_t n = strlen(s) + 1;
  char* p = malloc(n); /* at dup_name */
  if (p) memcpy(p, s, n);
  return p;
}
static inline char* remember(const char* s) {
  return dup_name(s); /* at remember */
}
static inline char* parse_line(const char* s) {
  return remember(s); /* at parse_line */
}
char* volatile keep[3];
int main(int argc, char** argv) {
  (void)argc;
  for (int i = 0; i < 3; ++i) keep[i] = parse_line(argv[0] + i); /* at main */
  return 0;
}
)";

TEST(Stacks, InlinedCallsAreFramesWithTheirSourceLines) {
  scratch_dir dir("kivrec_inlined");
  compile(dir.path(), "leaky.c", inlined_source, "leaky");
  const recorded r = record(dir.path(), {dir / "leaky"});
  ASSERT_EQ(r.record.status, 0) << r.record.err;
  ASSERT_EQ(r.convert.status, 0) << r.convert.err;
  const auto stacks = stacks_from(r, "dup_name");
  ASSERT_EQ(stacks.size(), 1u) << r.hashloc_table;
  const std::string file = dir / "leaky.c";
  const std::vector<frame> expected = {{"dup_name", file, line_of(inlined_source, "at dup_name"), "leaky"},
                                       {"remember", file, line_of(inlined_source, "at remember"), "leaky"},
                                       {"parse_line", file, line_of(inlined_source, "at parse_line"), "leaky"},
                                       {"main", file, line_of(inlined_source, "at main"), "leaky"}};
  ASSERT_GT(stacks[0].size(), expected.size());
  EXPECT_EQ(std::vector<frame>(stacks[0].begin(), stacks[0].begin() + 4), expected) << r.hashloc_table;
  // The three leaks share the one stack and its key.
  for (const auto& [key, text] : r.hashloc) {
    if (!text.starts_with("dup_name ")) continue;
    EXPECT_EQ(r.allocations.at(key), 3);
  }
}

constexpr const char* wrapper_source = R"(#include <stdlib.h>
#include <string.h>
void* wrap_alloc(size_t n) {
  void* p = malloc(n);
  if (p) memset(p, 1, n); /* not 0: malloc and a clearing memset become one calloc */
  return p;
}
)";

constexpr const char* wrapper_user_source = R"(#include <stddef.h>
void* wrap_alloc(size_t n);
void* volatile keep;
int main(void) {
  keep = wrap_alloc(64);
  return 0;
}
)";

// Without symbol tables and DWARF a library still names its exported
// functions; a stripped program's own code reads as object+offset.
TEST(Stacks, StrippedObjectsAreNamedFromTheirDynamicSymbols) {
  scratch_dir dir("kivrec_stripped");
  compile(dir.path(), "wrap.c", wrapper_source, "libwrap.so", {"-shared", "-fPIC"});
  compile(dir.path(), "user.c", wrapper_user_source, "user",
          {"-L" + dir.path().string(), "-lwrap", "-Wl,-rpath," + dir.path().string()});
  tool("/usr/bin/strip", {"--strip-all", "libwrap.so", "user"}, dir.path());
  const recorded r = record(dir.path(), {dir / "user"});
  ASSERT_EQ(r.record.status, 0) << r.record.err;
  const auto stacks = stacks_from(r, "wrap_alloc");
  ASSERT_EQ(stacks.size(), 1u) << r.hashloc_table;
  ASSERT_GE(stacks[0].size(), 2u);
  EXPECT_EQ(stacks[0][0], (frame{"wrap_alloc", "", 0, "libwrap.so"}));
  EXPECT_EQ(stacks[0][1].object, "user");
  EXPECT_TRUE(stacks[0][1].function.starts_with("user+0x")) << stacks[0][1].function;
}

constexpr const char* hidden_source = R"(#include <stdlib.h>
#include <string.h>
__attribute__((noinline)) static void* hidden_alloc(size_t n) {
  void* p = malloc(n);
  if (p) memset(p, 1, n); /* not 0: malloc and a clearing memset become one calloc */
  return p;
}
void* wrap_alloc(size_t n) {
  void* p = hidden_alloc(n);
  if (p) ((char*)p)[0] = 2;
  return p;
}
)";

// Runs a shell command line in `dir`; the test fails with its message when it does.
void shell(const std::string& line, const fs::path& dir) { tool("/bin/sh", {"-c", line}, dir); }

// A stripped library that carries its function symbols compressed in a
// .gnu_debugdata section (as some distributions ship theirs) names its
// static functions too.
TEST(Stacks, StaticFunctionsOfStrippedLibrariesAreNamedFromTheirCompressedSymbols) {
  scratch_dir dir("kivrec_minidebug");
  compile(dir.path(), "wrap.c", hidden_source, "libwrap.so", {"-shared", "-fPIC"});
  compile(dir.path(), "user.c", wrapper_user_source, "user",
          {"-L" + dir.path().string(), "-lwrap", "-Wl,-rpath," + dir.path().string()});
  // The function symbols that the dynamic symbol table lacks, alone in an
  // xz-compressed copy of the debug file.
  shell("nm -D --format=posix --defined-only libwrap.so | cut -d' ' -f1 | sort > dynamic && "
        "nm --format=posix --defined-only libwrap.so | awk '$2 ~ /[Tt]/ {print $1}' | sort > functions && "
        "comm -13 dynamic functions > kept && "
        "objcopy --only-keep-debug libwrap.so full.debug && "
        "objcopy -S --remove-section .comment --keep-symbols=kept full.debug mini && xz -f mini && "
        "strip --strip-all libwrap.so && objcopy --add-section .gnu_debugdata=mini.xz libwrap.so",
        dir.path());
  const recorded r = record(dir.path(), {dir / "user"});
  ASSERT_EQ(r.record.status, 0) << r.record.err;
  const auto stacks = stacks_from(r, "hidden_alloc");
  ASSERT_EQ(stacks.size(), 1u) << r.hashloc_table;
  ASSERT_GE(stacks[0].size(), 2u);
  EXPECT_EQ(stacks[0][0], (frame{"hidden_alloc", "", 0, "libwrap.so"}));
  EXPECT_EQ(stacks[0][1], (frame{"wrap_alloc", "", 0, "libwrap.so"}));
}

// The build-id of an ELF file as readelf prints it.
std::string build_id_of(const fs::path& file) {
  const program_result r = run_program("/usr/bin/readelf", {{"-n", file.string()}, "", {}});
  const std::string label = "Build ID: ";
  const std::size_t at = r.out.find(label);
  if (at == std::string::npos) return "";
  return r.out.substr(at + label.size(), r.out.find('\n', at) - at - label.size());
}

TEST(Stacks, SeparateDebugFilesAreFoundByBuildId) {
  scratch_dir dir("kivrec_debugfile");
  compile(dir.path(), "leaky.c", inlined_source, "leaky", {"-Wl,--build-id"});
  const std::string id = build_id_of(dir / "leaky");
  ASSERT_GT(id.size(), 2u);
  const fs::path debug_root = dir.path() / "debug";
  fs::create_directories(debug_root / ".build-id" / id.substr(0, 2));
  const fs::path debug_file = debug_root / ".build-id" / id.substr(0, 2) / (id.substr(2) + ".debug");
  tool("/usr/bin/objcopy", {"--only-keep-debug", "leaky", debug_file.string()}, dir.path());
  tool("/usr/bin/strip", {"--strip-all", "leaky"}, dir.path());

  scratch_dir with("kivrec_debugfile_with");
  const recorded named = record(with.path(), {dir / "leaky"}, {"--debug-dir", debug_root.string()});
  ASSERT_EQ(named.record.status, 0) << named.record.err;
  const auto stacks = stacks_from(named, "dup_name");
  ASSERT_EQ(stacks.size(), 1u) << named.hashloc_table;
  EXPECT_EQ(stacks[0][0], (frame{"dup_name", dir / "leaky.c", line_of(inlined_source, "at dup_name"), "leaky"}));
  EXPECT_EQ(stacks[0][3].function, "main");

  scratch_dir without("kivrec_debugfile_without");
  const recorded bare = record(without.path(), {dir / "leaky"});
  EXPECT_TRUE(stacks_from(bare, "dup_name").empty()) << "named only from the debug file";
}

constexpr const char* cpp_source = R"(#include <cstdlib>
#include <vector>
namespace app {
template <typename T>
__attribute__((noinline)) T* make_block(std::size_t n) {
  T* p = static_cast<T*>(std::malloc(n * sizeof(T))); // at make_block
  if (p != nullptr) p[0] = T();
  return p;
}
struct Store {
  __attribute__((noinline)) void keep(int n);
  std::vector<int*> kept;
};
void Store::keep(int n) {
  kept.push_back(make_block<int>(static_cast<std::size_t>(n))); // at keep
}
}  // namespace app
app::Store* volatile store = new app::Store;
int main() {
  for (int i = 1; i < 4; ++i) store->keep(i);
  return 0;
}
)";

TEST(Stacks, CppNamesAreDemangled) {
  scratch_dir dir("kivrec_cpp_names");
  compile(dir.path(), "store.cpp", cpp_source, "store");
  const recorded r = record(dir.path(), {dir / "store"});
  ASSERT_EQ(r.record.status, 0) << r.record.err;
  const auto stacks = stacks_from(r, "int* app::make_block<int>(unsigned long)");
  ASSERT_FALSE(stacks.empty()) << r.hashloc_table;
  for (const auto& stack : stacks) {  // main's loop may be unrolled: a stack per call
    ASSERT_GE(stack.size(), 3u);
    EXPECT_EQ(stack[0].line, line_of(cpp_source, "at make_block"));
    EXPECT_EQ(stack[1], (frame{"app::Store::keep(int)", dir / "store.cpp", line_of(cpp_source, "at keep"), "store"}));
    EXPECT_EQ(stack[2].function, "main");
  }
  // The vector's growth is named through the standard library's inlined code.
  bool vector_growth = false;
  for (const auto& [key, text] : r.hashloc)
    vector_growth |= text.find("std::vector<int*, std::allocator<int*> >::") != std::string::npos &&
                     text.find("app::Store::keep(int)") != std::string::npos;
  EXPECT_TRUE(vector_growth) << r.hashloc_table;
}

constexpr const char* plugin_source = R"(#include <stdlib.h>
#include <string.h>
void* NAME_alloc(void) {
  void* p = malloc(SIZE); /* at alloc */
  if (p) memset(p, 1, SIZE);
  return p;
}
)";

constexpr const char* loader_source = R"(#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
void* volatile keep[2];
/* Loads the plugin, lets it allocate, unloads it; gives where it was loaded. */
static void* use(const char* path, const char* function, int slot) {
  void* handle = dlopen(path, RTLD_NOW);
  if (handle == NULL) return NULL;
  void* (*allocate)(void) = (void* (*)(void))dlsym(handle, function);
  keep[slot] = allocate();
  Dl_info info;
  dladdr((void*)allocate, &info);
  void* base = info.dli_fbase;
  dlclose(handle);
  return base;
}
int main(int argc, char** argv) {
  if (argc < 3) return 2;
  void* first = use(argv[1], "first_alloc", 0);
  void* second = use(argv[2], "second_alloc", 1);
  puts(first == second ? "same" : "different");
  return first != NULL && second != NULL ? 0 : 3;
}
)";

std::string plugin(const std::string& name, int size) {
  std::string source = plugin_source;
  for (std::size_t at; (at = source.find("NAME")) != std::string::npos;) source.replace(at, 4, name);
  for (std::size_t at; (at = source.find("SIZE")) != std::string::npos;) source.replace(at, 4, std::to_string(size));
  return source;
}

// A library unloaded before the end keeps its names, also when the next
// one is loaded at its addresses; the trace keeps them when the program
// and its libraries are gone.
TEST(Stacks, UnloadedLibrariesAreNamedAndNamesTravelWithTheTrace) {
  scratch_dir build("kivrec_plugins");
  compile(build.path(), "first.c", plugin("first", 48), "libfirst.so", {"-shared", "-fPIC"});
  compile(build.path(), "second.c", plugin("second", 48), "libsecond.so", {"-shared", "-fPIC"});
  compile(build.path(), "loader.c", loader_source, "loader", {"-ldl"});
  scratch_dir traces("kivrec_plugin_trace");
  const recorded r = record(traces.path(), {build / "loader", build / "libfirst.so", build / "libsecond.so"});
  ASSERT_EQ(r.record.status, 0) << r.record.err;
  EXPECT_EQ(r.record.out, "same\n") << "the second library reuses the first one's addresses";
  const std::uint32_t line = line_of(plugin_source, "at alloc");
  const auto first = stacks_from(r, "first_alloc");
  const auto second = stacks_from(r, "second_alloc");
  ASSERT_EQ(first.size(), 1u) << r.hashloc_table;
  ASSERT_EQ(second.size(), 1u) << r.hashloc_table;
  EXPECT_EQ(first[0][0], (frame{"first_alloc", build / "first.c", line, "libfirst.so"}));
  EXPECT_EQ(second[0][0], (frame{"second_alloc", build / "second.c", line, "libsecond.so"}));
  EXPECT_EQ(first[0][1].function, "use");
  expect_same_as_naming_afterwards(traces.path() / runid);

  // Moved to another directory, without the program and its libraries,
  // the trace converts to the same names.
  scratch_dir moved("kivrec_plugin_moved");
  fs::rename(traces.path() / runid, moved.path() / runid);
  fs::remove_all(build.path() / "loader");
  fs::remove(build.path() / "libfirst.so");
  fs::remove(build.path() / "libsecond.so");
  for (const auto& entry : fs::directory_iterator(moved.path() / runid))
    if (entry.path().extension() == ".csv" || entry.path().extension() == ".sql") fs::remove(entry.path());
  const program_result again = run_program(KIV_BINARY, {{"-R", runid}, moved.path().string(), {}});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(read_file(moved.path() / runid / (std::string("kiv.") + runid + ".hashloc.1.csv")), r.hashloc_table);
}

constexpr const char* rounds_source = R"(#include <stdlib.h>
#include <string.h>
#include <unistd.h>
void* volatile keep;
/* A stack of its own for every depth. */
__attribute__((noinline)) void* level(int n, size_t size) {
  if (n == 0) {
    void* p = malloc(size);
    if (p) memset(p, 1, size);
    return p;
  }
  void* p = level(n - 1, size);
  keep = p;
  return p;
}
int main(void) {
  for (int round = 0; round < 24; ++round) {
    /* Enough records that the trace is written out during each round. */
    for (int i = 0; i < 2000; ++i) free(level(round % 12, 16 + (size_t)(i % 64)));
    usleep(20000);
  }
  return 0;
}
)";

// New stacks keep appearing while the program runs: what kivrec named on
// the way is what it would have named at the end.
TEST(Stacks, NamingWhileTheProgramRunsEqualsNamingAfterIt) {
  scratch_dir dir("kivrec_follow");
  compile(dir.path(), "rounds.c", rounds_source, "rounds");
  const recorded r = record(dir.path(), {dir / "rounds"});
  ASSERT_EQ(r.record.status, 0) << r.record.err;
  std::set<std::size_t> depths;
  for (const auto& stack : stacks_from(r, "level")) {
    std::size_t levels = 0;
    while (levels < stack.size() && stack[levels].function == "level") ++levels;
    depths.insert(levels);
  }
  EXPECT_EQ(depths.size(), 12u) << r.hashloc_table;
  expect_same_as_naming_afterwards(dir.path() / runid);
}

constexpr const char* deleting_loader_source = R"(#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
void* volatile keep;
/* Whether the process `pid` holds `path` open. */
static int holds_open(pid_t pid, const char* path) {
  char dir[64];
  snprintf(dir, sizeof dir, "/proc/%d/fd", (int)pid);
  DIR* d = opendir(dir);
  int found = 0;
  for (struct dirent* e; d != NULL && !found && (e = readdir(d)) != NULL;) {
    char link[PATH_MAX + 80], target[PATH_MAX];
    snprintf(link, sizeof link, "%s/%s", dir, e->d_name);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 0) {
      target[n] = 0;
      found = strcmp(target, path) == 0;
    }
  }
  if (d != NULL) closedir(d);
  return found;
}
int main(int argc, char** argv) {
  if (argc < 2) return 2;
  char path[PATH_MAX];
  if (realpath(argv[1], path) == NULL) return 2;
  void* handle = dlopen(path, RTLD_NOW);
  if (handle == NULL) return 3;
  void* (*allocate)(void) = (void* (*)(void))dlsym(handle, "doomed_alloc");
  keep = allocate();
  /* Once kivrec has the library open, it goes away for good. */
  for (int i = 0; i < 1000 && !holds_open(getppid(), path); ++i) usleep(10000);
  dlclose(handle);
  return unlink(path) == 0 ? 0 : 4;
}
)";

// A library the program deletes while it runs is named all the same:
// kivrec opens it as soon as the program has loaded it.
TEST(Stacks, ALibraryDeletedByTheProgramIsNamed) {
  scratch_dir dir("kivrec_deleted");
  compile(dir.path(), "doomed.c", plugin("doomed", 40), "libdoomed.so", {"-shared", "-fPIC"});
  compile(dir.path(), "loader.c", deleting_loader_source, "loader", {"-ldl"});
  const recorded r = record(dir.path(), {dir / "loader", dir / "libdoomed.so"});
  ASSERT_EQ(r.record.status, 0) << r.record.err;
  EXPECT_FALSE(fs::exists(dir / "libdoomed.so"));
  const auto stacks = stacks_from(r, "doomed_alloc");
  ASSERT_EQ(stacks.size(), 1u) << r.hashloc_table;
  EXPECT_EQ(stacks[0][0], (frame{"doomed_alloc", dir / "doomed.c", line_of(plugin_source, "at alloc"), "libdoomed.so"}));
}

constexpr const char* deep_source = R"(#include <stdlib.h>
#include <string.h>
void* volatile keep;
#define LEVEL(name, next) \
  __attribute__((noinline)) void* name(int n) { void* p = next(n); if (p) memset(p, 0, 1); return p; }
__attribute__((noinline)) void* f1(int n) {
  void* p = malloc((size_t)n);
  if (p) memset(p, 1, (size_t)n); /* not 0: malloc and a clearing memset become one calloc */
  return p;
}
LEVEL(f2, f1)
LEVEL(f3, f2)
LEVEL(f4, f3)
LEVEL(f5, f4)
LEVEL(f6, f5)
int main(void) {
  keep = f6(32);
  return 0;
}
)";

TEST(Stacks, DepthKeepsTheFramesNearestTheAllocation) {
  scratch_dir dir("kivrec_depth");
  compile(dir.path(), "deep.c", deep_source, "deep");
  const recorded r = record(dir.path(), {dir / "deep"}, {"--depth", "4"});
  ASSERT_EQ(r.record.status, 0) << r.record.err;
  const auto stacks = stacks_from(r, "f1");
  ASSERT_EQ(stacks.size(), 1u) << r.hashloc_table;
  std::vector<std::string> functions;
  for (const frame& f : stacks[0]) functions.push_back(f.function);
  EXPECT_EQ(functions, (std::vector<std::string>{"f1", "f2", "f3", "f4"}));
  // The depth counts return addresses; one into inlined code (the C
  // library's, say) names a frame for each inlined call, so only the
  // program's own stacks are counted frame by frame.
  for (const auto& [key, text] : r.hashloc) {
    if (frames_of(text).front().object != "deep") continue;
    EXPECT_LE(frames_of(text).size(), 4u) << text;
  }
}

constexpr const char* deep_cpp_source = R"(#include <cstdlib>
#include <cstring>
void* volatile keep;
// f1 allocates with malloc, then with new[] and aligned new: allocator
// functions whose paths through the recorder may differ in length.
__attribute__((noinline)) void* f1(int n) {
  void* p = std::malloc(static_cast<std::size_t>(n));
  if (p) std::memset(p, 1, static_cast<std::size_t>(n));
  keep = p;
  keep = new char[static_cast<std::size_t>(n)];
  struct alignas(64) wide { char c[64]; };
  keep = new wide;
  return p;
}
#define LEVEL(name, next) \
  __attribute__((noinline)) void* name(int n) { void* p = next(n); keep = p; return p; }
LEVEL(f2, f1)
LEVEL(f3, f2)
LEVEL(f4, f3)
LEVEL(f5, f4)
LEVEL(f6, f5)
int main() {
  keep = f6(32);
  return 0;
}
)";

// Every allocator function keeps the frames nearest the allocation, also
// after another one was seen first.
TEST(Stacks, DepthHoldsForEveryAllocatorFunction) {
  scratch_dir dir("kivrec_depth_cpp");
  compile(dir.path(), "deep.cpp", deep_cpp_source, "deep");
  const recorded r = record(dir.path(), {dir / "deep"}, {"--depth", "4"});
  ASSERT_EQ(r.record.status, 0) << r.record.err;
  const auto stacks = stacks_from(r, "f1(int)");
  ASSERT_EQ(stacks.size(), 3u) << r.hashloc_table;
  for (const auto& stack : stacks) {
    std::vector<std::string> functions;
    for (const frame& f : stack) functions.push_back(f.function);
    EXPECT_EQ(functions, (std::vector<std::string>{"f1(int)", "f2(int)", "f3(int)", "f4(int)"}));
  }
}

constexpr const char* paths_source = R"(#include <stdlib.h>
#include <string.h>
void* volatile keep;
__attribute__((noinline)) void alloc_here(void) {
  void* p = malloc(24);
  if (p) memset(p, 1, 24);
  keep = p;
}
__attribute__((noinline)) void caller_a(int first, int second) {
  for (int i = 0; i < first; ++i) alloc_here(); /* path 1 */
  for (int i = 0; i < second; ++i) alloc_here(); /* path 2 */
}
__attribute__((noinline)) void caller_b(int n) {
  for (int i = 0; i < n; ++i) alloc_here(); /* path 3 */
}
int main(void) {
  caller_a(2, 3);
  caller_b(4);
  return 0;
}
)";

// Stacks that differ in one outer frame only are locations of their own.
TEST(Stacks, EveryDistinctStackHasItsOwnKey) {
  scratch_dir dir("kivrec_paths");
  compile(dir.path(), "paths.c", paths_source, "paths");
  const recorded r = record(dir.path(), {dir / "paths"});
  ASSERT_EQ(r.record.status, 0) << r.record.err;
  std::map<std::uint32_t, int> by_line;  // caller's line -> allocations
  for (const auto& [key, text] : r.hashloc) {
    const auto frames = frames_of(text);
    if (frames.size() < 2 || frames[0].function != "alloc_here") continue;
    EXPECT_EQ(by_line.count(frames[1].line), 0u) << "one key per stack";
    by_line[frames[1].line] = r.allocations.count(key) ? r.allocations.at(key) : 0;
  }
  EXPECT_EQ(by_line, (std::map<std::uint32_t, int>{{line_of(paths_source, "path 1"), 2},
                                                   {line_of(paths_source, "path 2"), 3},
                                                   {line_of(paths_source, "path 3"), 4}}));
}

constexpr const char* status_source = R"(#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
void* volatile keep;
int main(int argc, char** argv) {
  keep = malloc(40);
  if (argc > 1 && strcmp(argv[1], "term") == 0) raise(SIGTERM);
  if (argc > 1 && strcmp(argv[1], "wait") == 0) sleep(30);
  return argc > 1 ? atoi(argv[1]) : 0;
}
)";

// kivrec ends as its program did (killed by signal N: 128 + N, as a
// shell reports it) and names the trace in every case.
TEST(Stacks, KivrecEndsWithItsProgramsStatus) {
  scratch_dir build("kivrec_status");
  compile(build.path(), "status.c", status_source, "status");
  for (const auto& [argument, status] : std::vector<std::pair<std::string, int>>{{"0", 0}, {"3", 3}, {"term", 128 + SIGTERM}}) {
    scratch_dir dir("kivrec_status_run");
    const recorded r = record(dir.path(), {build / "status", argument});
    EXPECT_EQ(r.record.status, status) << argument;
    EXPECT_EQ(stacks_from(r, "main").size(), 1u) << argument << r.hashloc_table;
  }
}

TEST(Stacks, SignalsSentToKivrecReachTheProgram) {
  scratch_dir build("kivrec_forward");
  compile(build.path(), "status.c", status_source, "status");
  scratch_dir dir("kivrec_forward_run");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::execl(KIVREC_BINARY, "kivrec", "--dir", dir.path().c_str(), "--runid", runid, "--quiet", "--",
            (build / "status").c_str(), "wait", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Once the program's first stack is on its way, it sleeps.
  const fs::path run_dir = dir.path() / runid;
  for (int i = 0; i < 500 && !(fs::exists(run_dir) && !fs::is_empty(run_dir)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
}

// A run directory named once is left as it is by kivrec --name.
TEST(Stacks, NamingAgainChangesNothing) {
  scratch_dir dir("kivrec_rename");
  compile(dir.path(), "leaky.c", inlined_source, "leaky");
  const recorded r = record(dir.path(), {dir / "leaky"});
  ASSERT_EQ(r.record.status, 0) << r.record.err;
  std::map<std::string, std::string> before;
  for (const auto& entry : fs::directory_iterator(dir.path() / runid))
    before[entry.path().filename().string()] = read_file(entry.path());
  const program_result again = run_program(KIVREC_BINARY, {{"--name", dir / runid}, "", {}});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.err, "");
  std::map<std::string, std::string> after;
  for (const auto& entry : fs::directory_iterator(dir.path() / runid))
    after[entry.path().filename().string()] = read_file(entry.path());
  EXPECT_EQ(after, before);
}

}  // namespace
