#pragma once

// What the report makes of a location's text: when it is a named call
// stack (as kivrec writes it), its frames and the name a list shows for it,
// its first named frame; any other text (a source position of another
// tracer) names itself and has no stack.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "report/stack_frame.h"

namespace kivdb::report {

// A location text read: its name and, when it is a stack, its frames.
struct parsed_place {
  std::string name;                 // what a list shows
  std::vector<stack_frame> frames;  // empty when the text is not a stack
  std::size_t self = 0;             // index of the first named frame
};

// A place as the catalog keeps it.
struct named_place {
  std::string name;
  // The stack's frames as indices into the catalog's frames; empty when the
  // text is not a stack.
  std::vector<std::uint32_t> stack;
  // The stack's functions, each once (a function that calls itself too),
  // as indices into the catalog's functions; the first is the function of
  // the first named frame.
  std::vector<std::uint32_t> functions;
};

// A function as the by-function figures tell functions apart: its name,
// its source file (empty when unknown) and its object.
struct function_key {
  std::string function;
  std::string file;
  std::string object;
};

// Whether the frame's function is known: a frame known only by its place
// reads `object+0x1234` and has no file.
bool is_named(const stack_frame& frame);

// Index of the stack's first named frame; 0 (the allocation site) when no
// frame is named.
std::size_t first_named(const std::vector<stack_frame>& stack);

// "function (file:line)", or the function alone when its line is unknown.
std::string frame_name(const stack_frame& frame);

// "function (file:line) [object]": one frame as the stack text shows it,
// without its escapes.
std::string frame_text(const stack_frame& frame);

// The place of a location text. A text that is not a stack, or a stack
// without frames, is a place of that name without a stack.
parsed_place place_of(std::string_view text);

// Places of a run's location texts, each text split once however many
// lists and images name it, and the functions of their stacks.
class place_catalog {
 public:
  const named_place& of(const std::string& text);
  const function_key& function(std::uint32_t index) const { return functions_[index]; }
  // The frames the places' stacks index.
  const frame_table& frames() const { return frames_; }
  frame_table take_frames() { return std::move(frames_); }

 private:
  // The function of one of the catalog's frames.
  std::uint32_t function_of(std::uint32_t frame_index);
  void list_functions(named_place& place, std::size_t self);

  std::map<std::string, named_place, std::less<>> places_;
  frame_table frames_;
  std::vector<function_key> functions_;
  std::map<std::string, std::uint32_t, std::less<>> function_index_;
  static constexpr std::uint32_t unknown_function = UINT32_MAX;
  std::vector<std::uint32_t> function_of_frame_;
  // The place a function was last listed for, so that each is listed once.
  std::vector<std::uint64_t> listed_in_;
  std::uint64_t stamp_ = 0;
};

}  // namespace kivdb::report
