#pragma once

#include <cstddef>
#include <cstdint>

// The stack file of one process image, <base>.<pid>.kivstk beside its
// header: the raw material that kivrec names after the program ended. The
// recorder writes it (recorder/stack_file), the launcher reads it
// (recorder/stack_file_reader).
//
// Records are framed as tag (1 byte), payload length (4 bytes) and payload;
// numbers are little-endian. The file starts with a 'V' record, then comes,
// in the order the recorder learnt it:
//   'V' version u32, address bytes of the trace u32
//   'O' an object appeared: index u32, generation u32, load bias u64,
//       range count u16, ranges (start u64, end u64) of its code, build-id
//       length u8, build-id bytes, path (the rest)
//   'U' an object went away: index u32, generation u32 (the first one
//       without it)
//   'K' a new stack: key u32, generation u32, frame count u16, frames u64
//       (return addresses, the allocation's caller first)
// An address of a stack of generation G lies in the object whose
// generations [its 'O', its 'U') hold G: objects are told apart when a
// later one reuses the addresses of one that was unloaded.
namespace kivrec::stack_format {

inline constexpr std::uint32_t version = 1;
inline constexpr char version_tag = 'V';
inline constexpr char object_tag = 'O';
inline constexpr char unload_tag = 'U';
inline constexpr char stack_tag = 'K';
inline constexpr std::size_t frame_bytes = 5;  // tag and payload length
inline constexpr const char* suffix = ".kivstk";
inline constexpr std::size_t max_ranges = 8;
inline constexpr std::size_t max_build_id = 64;
inline constexpr std::size_t max_frames = 1024;

}  // namespace kivrec::stack_format
