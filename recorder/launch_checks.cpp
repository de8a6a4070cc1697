#include "recorder/launch_checks.h"

#include <dirent.h>
#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "recorder/run_id.h"

namespace kivrec {

namespace {

constexpr mode_t directory_mode = 0755;
constexpr std::string_view header_suffix = ".kivhdr";
// execvp's search path when PATH is unset.
constexpr const char* default_search_path = "/bin:/usr/bin";

}  // namespace

std::string header_in(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return {};
  std::string found;
  while (const dirent* e = ::readdir(d)) {
    if (std::string_view(e->d_name).ends_with(header_suffix)) {
      found = e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

namespace {

bool executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

template <typename T>
bool read_at(std::ifstream& in, std::uint64_t offset, T& out) {
  in.seekg(static_cast<std::streamoff>(offset));
  return static_cast<bool>(in.read(reinterpret_cast<char*>(&out), sizeof out));
}

// Whether the program headers of an ELF file of one class list an interpreter.
template <typename Ehdr, typename Phdr>
bool lacks_interpreter(std::ifstream& in) {
  Ehdr header{};
  if (!read_at(in, 0, header) || header.e_phentsize != sizeof(Phdr)) return false;
  if (header.e_type != ET_EXEC && header.e_type != ET_DYN) return false;
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    Phdr segment{};
    if (!read_at(in, header.e_phoff + std::uint64_t{i} * sizeof(Phdr), segment)) return false;
    if (segment.p_type == PT_INTERP) return false;
  }
  return true;
}

}  // namespace

std::string run_id_problem(std::string_view runid) {
  if (valid_run_id(runid)) return {};
  return "run id \"" + std::string(runid) + "\" refused: use 1 to 9 of A-Z a-z 0-9 _ . - (not . or ..)";
}

std::string run_directory_problem(const std::string& run_dir, bool append) {
  if (::mkdir(run_dir.c_str(), directory_mode) == 0) {
    ::chmod(run_dir.c_str(), directory_mode);
    return {};
  }
  if (errno != EEXIST) return "cannot create run directory " + run_dir + ": " + std::strerror(errno);
  const std::string header = header_in(run_dir);
  if (header.empty() || append) return {};
  return run_dir + " already holds a trace (" + header + "): choose another --runid, or --append to add to it";
}

std::string program_file(const std::string& program) {
  if (program.find('/') != std::string::npos) return executable_file(program) ? program : std::string();
  const char* path = ::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : default_search_path;
  while (true) {
    const std::size_t colon = dirs.find(':');
    const std::string_view dir = dirs.substr(0, colon);
    // An empty entry is the current directory.
    const std::string candidate = (dir.empty() ? std::string(".") : std::string(dir)) + "/" + program;
    if (executable_file(candidate)) return candidate;
    if (colon == std::string_view::npos) return {};
    dirs.remove_prefix(colon + 1);
  }
}

bool statically_linked(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  unsigned char ident[EI_NIDENT] = {};
  if (!in.read(reinterpret_cast<char*>(ident), sizeof ident)) return false;
  if (std::memcmp(ident, ELFMAG, SELFMAG) != 0 || ident[EI_DATA] != ELFDATA2LSB) return false;
  if (ident[EI_CLASS] == ELFCLASS64) return lacks_interpreter<Elf64_Ehdr, Elf64_Phdr>(in);
  if (ident[EI_CLASS] == ELFCLASS32) return lacks_interpreter<Elf32_Ehdr, Elf32_Phdr>(in);
  return false;
}

}  // namespace kivrec
