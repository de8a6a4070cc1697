#pragma once

#include <string>
#include <utility>

// Base of the header document's nodes. The parser callbacks hand every start
// tag, end tag and piece of character data to the element on top of the
// element stack; each element class decides what its children mean.
class element {
 public:
  explicit element(std::string name = {}) : name_(std::move(name)) {}
  // Takes the element off the element stack if it is still there.
  virtual ~element();
  element(const element&) = delete;
  element& operator=(const element&) = delete;

  // attrs: Expat's list of alternating names and values ending with null.
  virtual void set_attrs(const char* name, const char** attrs);
  virtual void startElement(element* self, const char* name, const char** attrs);
  virtual void endElement(element* self, const char* name);
  virtual void dataElement(element* self, const char* text, int length);

  const std::string& name() const { return name_; }

 private:
  std::string name_;
};
