#include "recorder/user_messages.h"

#include <unistd.h>

#include "recorder/text_buffer.h"
#include "recorder/trace_file.h"

namespace kivrec {

namespace {

constexpr std::size_t line_capacity = 2 * path_capacity;
constinit file_identity standard_error{};

}  // namespace

void remember_standard_error() { standard_error = file_identity::of(STDERR_FILENO); }

void tell_user(std::string_view text) {
  if (!file_identity::of(STDERR_FILENO).same(standard_error)) return;
  char line[line_capacity];
  text_buffer out(line, sizeof line - 1);  // room for the newline, even when the text is cut
  out.text("kivrec: ").text(text);
  line[out.size()] = '\n';
  // One write, so that the line is not torn by the program's own output;
  // a line that cannot be written has nowhere else to go.
  [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line, out.size() + 1);
}

}  // namespace kivrec
