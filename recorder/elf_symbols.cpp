#include "recorder/elf_symbols.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace kivrec {

bool elf_symbols::load(const char* path) {
  unload();
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  void* map = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(Elf64_Ehdr)))
    map = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return false;
  file_ = static_cast<const std::uint8_t*>(map);
  file_size_ = static_cast<std::size_t>(st.st_size);
  if (select_tables()) return true;
  unload();
  return false;
}

void elf_symbols::unload() {
  if (file_ != nullptr) ::munmap(const_cast<std::uint8_t*>(file_), file_size_);
  file_ = nullptr;
  file_size_ = 0;
  symbols_ = nullptr;
  symbol_count_ = 0;
  strings_ = nullptr;
  strings_size_ = 0;
}

// Finds the symbol table (or, failing that, the dynamic one) and its string
// table, checking that every part lies inside the file.
bool elf_symbols::select_tables() {
  const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(file_);
  if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64) return false;
  if (eh->e_shentsize != sizeof(Elf64_Shdr) || eh->e_shoff == 0) return false;
  if (eh->e_shoff > file_size_ || eh->e_shnum > (file_size_ - eh->e_shoff) / sizeof(Elf64_Shdr)) return false;
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(file_ + eh->e_shoff);
  for (const unsigned wanted : {SHT_SYMTAB, SHT_DYNSYM}) {
    for (unsigned i = 0; i < eh->e_shnum; ++i) {
      const Elf64_Shdr& s = sections[i];
      if (s.sh_type != wanted || s.sh_link >= eh->e_shnum) continue;
      const Elf64_Shdr& str = sections[s.sh_link];
      if (s.sh_offset > file_size_ || s.sh_size > file_size_ - s.sh_offset) continue;
      if (str.sh_offset > file_size_ || str.sh_size > file_size_ - str.sh_offset || str.sh_size == 0) continue;
      symbols_ = file_ + s.sh_offset;
      symbol_count_ = s.sh_size / sizeof(Elf64_Sym);
      strings_ = reinterpret_cast<const char*>(file_ + str.sh_offset);
      strings_size_ = str.sh_size;
      return true;
    }
  }
  return false;
}

bool elf_symbols::function_symbol(std::size_t index, std::uint64_t* address, std::string_view* name) const {
  const Elf64_Sym& s = static_cast<const Elf64_Sym*>(symbols_)[index];
  if (ELF64_ST_TYPE(s.st_info) != STT_FUNC || s.st_value == 0 || s.st_name >= strings_size_) return false;
  const char* text = strings_ + s.st_name;
  *address = s.st_value;
  *name = std::string_view(text, ::strnlen(text, strings_size_ - s.st_name));
  return true;
}

bool elf_symbols::find_function(std::uint64_t address, std::string_view* name, std::uint64_t* offset) const {
  const auto* symbols = static_cast<const Elf64_Sym*>(symbols_);
  for (std::size_t i = 0; i < symbol_count_; ++i) {
    const Elf64_Sym& s = symbols[i];
    if (ELF64_ST_TYPE(s.st_info) != STT_FUNC || s.st_value == 0) continue;
    if (address < s.st_value || address - s.st_value >= s.st_size) continue;
    if (s.st_name >= strings_size_) return false;
    const char* text = strings_ + s.st_name;
    *name = std::string_view(text, ::strnlen(text, strings_size_ - s.st_name));
    *offset = address - s.st_value;
    return true;
  }
  return false;
}

}  // namespace kivrec
