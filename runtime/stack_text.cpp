#include "runtime/stack_text.h"

#include <charconv>

namespace kivstack {

namespace {

constexpr std::string_view frame_separator = " < ";
constexpr std::string_view location_open = " (";
constexpr std::string_view object_open = " [";
constexpr std::string_view offset_mark = "+0x";
constexpr char hex_digits[] = "0123456789ABCDEF";
constexpr unsigned char first_printable = 0x20;
constexpr unsigned char delete_char = 0x7f;
constexpr int hex_base = 16;

// What a field must escape beyond the characters every field escapes.
enum escape_rule : unsigned {
  plain = 0,
  blank_paren = 1,    // "( " after a blank: a function name
  blank_bracket = 2,  // "[" after a blank: an object name
};

bool after_blank(std::string_view raw, std::size_t i) { return i > 0 && raw[i - 1] == ' '; }

// A '<' that could read as part of a frame separator: blanks (or a field
// boundary) on both sides.
bool separator_like(std::string_view raw, std::size_t i) {
  return (i == 0 || raw[i - 1] == ' ') && (i + 1 == raw.size() || raw[i + 1] == ' ');
}

bool needs_escape(std::string_view raw, std::size_t i, unsigned rule) {
  const auto c = static_cast<unsigned char>(raw[i]);
  if (c < first_printable || c == delete_char || c == '%' || c == ';') return true;
  if (c == '<') return separator_like(raw, i);
  if (c == '(') return (rule & blank_paren) != 0 && after_blank(raw, i);
  if (c == '[') return (rule & blank_bracket) != 0 && after_blank(raw, i);
  return false;
}

void append_escaped(std::string& out, std::string_view raw, unsigned rule) {
  if (raw.size() > max_name_bytes) raw = raw.substr(0, max_name_bytes);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (!needs_escape(raw, i, rule)) {
      out += raw[i];
      continue;
    }
    const auto c = static_cast<unsigned char>(raw[i]);
    out += '%';
    out += hex_digits[c / hex_base];
    out += hex_digits[c % hex_base];
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hex_value(text[i + 1]);
    const int low = hex_value(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * hex_base + low);
    i += 2;
  }
  return out;
}

bool all_hex(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text)
    if (hex_value(c) < 0) return false;
  return true;
}

// True when the frame reads as `object+0x1234` alone.
bool is_unnamed(const frame& f) {
  if (f.line != 0 || !f.function.starts_with(f.object)) return false;
  const std::string_view rest = std::string_view(f.function).substr(f.object.size());
  return rest.starts_with(offset_mark) && all_hex(rest.substr(offset_mark.size()));
}

std::optional<frame> parse_unnamed(std::string_view text) {
  const std::size_t mark = text.rfind(offset_mark);
  if (mark == std::string_view::npos || !all_hex(text.substr(mark + offset_mark.size()))) return std::nullopt;
  auto function = unescape(text);
  auto object = unescape(text.substr(0, mark));
  if (!function || !object) return std::nullopt;
  return frame{std::move(*function), {}, 0, std::move(*object)};
}

// "file:line)" of a named frame into f.
bool parse_location(std::string_view location, frame& f) {
  if (!location.ends_with(')')) return false;
  location.remove_suffix(1);
  const std::size_t colon = location.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  const std::string_view digits = location.substr(colon + 1);
  std::uint32_t line = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), line);
  if (error != std::errc() || end != digits.data() + digits.size() || line == 0) return false;
  auto file = unescape(location.substr(0, colon));
  if (!file) return false;
  f.file = std::move(*file);
  f.line = line;
  return true;
}

std::optional<frame> parse_frame(std::string_view text) {
  const std::size_t open = text.rfind(object_open);
  if (open == std::string_view::npos || !text.ends_with(']')) return parse_unnamed(text);
  frame f;
  auto object = unescape(text.substr(open + object_open.size(), text.size() - open - object_open.size() - 1));
  if (!object) return std::nullopt;
  f.object = std::move(*object);
  std::string_view rest = text.substr(0, open);
  const std::size_t location = rest.find(location_open);
  if (location != std::string_view::npos) {
    if (!parse_location(rest.substr(location + location_open.size()), f)) return std::nullopt;
    rest = rest.substr(0, location);
  }
  auto function = unescape(rest);
  if (!function || function->empty()) return std::nullopt;
  f.function = std::move(*function);
  return f;
}

}  // namespace

frame unnamed_frame(std::string_view object, std::uint64_t offset) {
  char digits[sizeof(std::uint64_t) * 2];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, offset, hex_base);
  (void)error;  // sixteen digits always fit
  frame f;
  f.object = std::string(object.substr(0, max_name_bytes));
  f.function = f.object + std::string(offset_mark) + std::string(digits, end);
  return f;
}

void append_frame(std::string& out, const frame& f) {
  if (is_unnamed(f)) {
    append_escaped(out, f.function, blank_paren | blank_bracket);
    return;
  }
  append_escaped(out, f.function.empty() ? std::string_view("?") : std::string_view(f.function), blank_paren);
  if (f.line != 0 && !f.file.empty()) {
    out += location_open;
    append_escaped(out, f.file, plain);
    out += ':';
    out += std::to_string(f.line);
    out += ')';
  }
  out += object_open;
  append_escaped(out, f.object, blank_bracket);
  out += ']';
}

bool stack_text_builder::add(std::string_view frame_text) {
  const std::size_t separator = text_.empty() ? 0 : frame_separator.size();
  full_ = full_ || text_.size() + separator + frame_text.size() > limit_;
  if (full_) return false;
  if (separator != 0) text_ += frame_separator;
  text_ += frame_text;
  return true;
}

std::string format_stack(std::span<const frame> frames, std::size_t limit) {
  stack_text_builder out(limit);
  std::string one;
  for (const frame& f : frames) {
    one.clear();
    append_frame(one, f);
    if (!out.add(one)) break;
  }
  return out.text();
}

std::optional<std::vector<frame>> parse_stack(std::string_view text) {
  std::vector<frame> frames;
  while (!text.empty()) {
    const std::size_t end = text.find(frame_separator);
    auto f = parse_frame(text.substr(0, end));
    if (!f) return std::nullopt;
    frames.push_back(std::move(*f));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + frame_separator.size());
    if (text.empty()) return std::nullopt;
  }
  return frames;
}

}  // namespace kivstack
