#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "reader/byte_decoders.h"

// Cursor over the bytes of one data file held in memory. It decodes the
// elements of a record in the declared byte order and never reads outside
// the bytes it was given:
//  - a fixed-width element that would run past the data leaves its target
//    unchanged; the cursor still moves by the element's width;
//  - a string runs to the next zero byte of the data, past the record end
//    if need be (the caller then finds the record out of sync and resumes
//    at the record end); without a zero byte it ends with the data, and the
//    cursor stands one byte beyond the data.
// Positions are offsets from the first byte, so a cursor pushed beyond the
// data by a malformed record is still a plain number.
class data_cursor {
 public:
  using byte = kiv_decode::byte;

  void set_little_endian(bool little) {
    dec_ = little ? kiv_decode::little_endian : kiv_decode::big_endian;
  }
  // The record end starts at the end of the data.
  void reset(const byte* data, std::size_t size) {
    data_ = data;
    size_ = size;
    cursor_ = 0;
    record_end_ = size;
    zero_from_ = 1;
    zero_at_ = 0;
  }

  std::size_t size() const { return size_; }
  std::size_t cursor() const { return cursor_; }
  void seek(std::size_t offset) { cursor_ = offset; }
  std::size_t record_end() const { return record_end_; }
  void set_record_end(std::size_t offset) { record_end_ = offset; }
  bool at_end() const { return cursor_ >= size_; }
  std::size_t remaining() const { return cursor_ < size_ ? size_ - cursor_ : 0; }

  // Raw byte and 2-byte unsigned value at the cursor; the caller has checked
  // remaining().
  byte take_byte() { return data_[cursor_++]; }
  std::uint16_t take_u16() {
    const std::uint16_t v = dec_.bu2(data_ + cursor_);
    cursor_ += 2;
    return v;
  }

  // Widths 1, 2, 4 and 8 are decoded; any other width leaves the value.
  void read(int size, std::uint32_t& value) {
    const byte* p = element(size);
    if (p == nullptr) return;
    if (size == 1) value = static_cast<std::uint32_t>(sign_extended(p));
    else if (size == 2) value = dec_.bu2(p);
    else if (size == 4) value = dec_.bu4(p);
  }
  void read(int size, std::int32_t& value) {
    const byte* p = element(size);
    if (p == nullptr) return;
    if (size == 1) value = sign_extended(p);
    else if (size == 2) value = dec_.bs2(p);
    else if (size == 4) value = dec_.bs4(p);
  }
  // A single byte is sign-extended to 32 bits only; the upper half stays 0.
  void read(int size, std::uint64_t& value) {
    const byte* p = element(size);
    if (p == nullptr) return;
    if (size == 1) value = static_cast<std::uint32_t>(sign_extended(p));
    else if (size == 2) value = dec_.bu2(p);
    else if (size == 4) value = dec_.bu4(p);
    else if (size == 8) value = dec_.bu8(p);
  }
  void read(int size, std::int64_t& value) {
    const byte* p = element(size);
    if (p == nullptr) return;
    if (size == 1) value = static_cast<std::uint32_t>(sign_extended(p));
    else if (size == 2) value = dec_.bs2(p);
    else if (size == 4) value = dec_.bs4(p);
    else if (size == 8) value = dec_.bs8(p);
  }
  // Strings ignore the declared width and the record end: only the end of
  // the data bounds them.
  void read(int, std::string_view& value) {
    if (cursor_ >= size_) {
      value = {};
      if (cursor_ == size_) cursor_ = size_ + 1;
      return;
    }
    const char* first = reinterpret_cast<const char*>(data_ + cursor_);
    const std::size_t zero = next_zero(cursor_);
    value = std::string_view(first, zero - cursor_);
    cursor_ = zero == size_ ? size_ + 1 : zero + 1;
  }
  void read(int size, std::string& value) {
    std::string_view view;
    read(size, view);
    value.assign(view);
  }

 private:
  // The element's first byte, or null when it is not decoded (not a whole
  // element inside the data). Moves the cursor by the width either way; a
  // negative width does not move it.
  const byte* element(int size) {
    if (size <= 0) return nullptr;
    const auto width = static_cast<std::size_t>(size);
    const byte* p = (cursor_ <= size_ && width <= size_ - cursor_) ? data_ + cursor_ : nullptr;
    cursor_ += width;
    return p;
  }
  static std::int32_t sign_extended(const byte* p) { return static_cast<std::int8_t>(*p); }

  // Offset of the first zero byte at or after from (< size_), or size_ when
  // there is none. The last search is remembered: strings without their
  // zero byte, one after the other, would otherwise scan the same bytes
  // again and again.
  std::size_t next_zero(std::size_t from) {
    if (zero_from_ <= from && from <= zero_at_) return zero_at_;
    const void* zero = std::memchr(data_ + from, 0, size_ - from);
    zero_from_ = from;
    zero_at_ = zero == nullptr ? size_ : static_cast<std::size_t>(static_cast<const byte*>(zero) - data_);
    return zero_at_;
  }

  const byte* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cursor_ = 0;
  std::size_t record_end_ = 0;
  // No zero byte lies in [zero_from_, zero_at_); zero_at_ is one, or the
  // end of the data. Empty (from > at) until the first search.
  std::size_t zero_from_ = 1;
  std::size_t zero_at_ = 0;
  kiv_decode::decoders dec_ = kiv_decode::little_endian;
};
