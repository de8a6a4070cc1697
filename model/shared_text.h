#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "output/out_stream.h"

// A text that many records share with the state they were read in (the
// current Vorex call's name and arguments). Copying it copies a handle, never
// the characters, so capturing a record's context allocates nothing.
//
// It either borrows a string that outlives every copy (a function name held
// by the object table) or shares ownership of its own buffer. Assigning
// reuses the buffer when no copy holds it any more.
class shared_text {
 public:
  shared_text() = default;
  explicit shared_text(std::string_view text) { assign(text); }

  // Refers to text without copying it; text must outlive every copy.
  static shared_text borrow(const std::string& text) {
    shared_text t;
    t.text_ = &text;
    return t;
  }

  void assign(std::string_view text) {
    if (!owned_ || owned_.use_count() != 1)
      owned_ = std::make_shared<std::string>(text);
    else
      owned_->assign(text);
    text_ = owned_.get();
  }

  void clear() {
    owned_.reset();
    text_ = nullptr;
  }

  const std::string& str() const { return text_ != nullptr ? *text_ : empty_text(); }
  bool empty() const { return str().empty(); }

 private:
  static const std::string& empty_text() {
    static const std::string empty;
    return empty;
  }

  std::shared_ptr<std::string> owned_;
  const std::string* text_ = nullptr;
};

inline out_stream& operator<<(out_stream& os, const shared_text& text) { return os << text.str(); }
