#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The one-line text of a named call stack, as a location's text in a trace
// and in kiv's "hashloc" table, and its parser (the database splits it back
// into one row per frame).
//
// Frames run from the allocation site outwards, joined by " < ":
//
//   dup_name (/src/leaky.c:6) [leaky] < main (/src/leaky.c:10) [leaky] < libc.so.6+0x271ca
//
// A frame whose function is known reads `function (file:line) [object]`,
// the part in parentheses only when its source line is known; a frame
// known only by its place reads `object+0x1234` (the offset from the
// object's load address). Inlined calls are frames of their own.
//
// Escapes keep the text on one line, free of the CSV separator and
// parseable whatever the names hold: '%', ';' and control characters are
// written as %XX (two upper-case hex digits); so is a '<' with a blank on
// either side, a '(' after a blank in a function name and a '[' after a
// blank in an object name.
namespace kivstack {

struct frame {
  std::string function;  // demangled; `object+0x1234` when unknown
  std::string file;      // empty when unknown
  std::uint32_t line = 0;  // 0 when unknown (the file is then left out)
  std::string object;    // the object's file name without directories

  friend bool operator==(const frame&, const frame&) = default;
};

// A frame known only by its object and the offset in it.
frame unnamed_frame(std::string_view object, std::uint64_t offset);

// Longest text written (a trace record's payload holds at most 65,535
// bytes with the location key and the closing zero byte), and longest
// function, file and object name kept (longer ones are cut to it).
inline constexpr std::size_t max_text_bytes = 65000;
inline constexpr std::size_t max_name_bytes = 1024;

// One frame's text.
void append_frame(std::string& out, const frame& f);

// Joins frame texts (from append_frame) into a stack's text. Frames are
// added while the text stays within the limit: once one does not fit, it
// and every later one are left out, so a cut stack keeps the frames
// nearest the allocation.
class stack_text_builder {
 public:
  explicit stack_text_builder(std::size_t limit = max_text_bytes) : limit_(limit) {}
  // False when the frame was left out.
  bool add(std::string_view frame_text);
  const std::string& text() const { return text_; }
  void clear() {
    text_.clear();
    full_ = false;
  }

 private:
  std::size_t limit_;
  std::string text_;
  bool full_ = false;
};

// The stack's text, built as above.
std::string format_stack(std::span<const frame> frames, std::size_t limit = max_text_bytes);

// Splits a stack text back into its frames; nothing when the text is not
// one (an empty text is a stack without frames).
std::optional<std::vector<frame>> parse_stack(std::string_view text);

}  // namespace kivstack
