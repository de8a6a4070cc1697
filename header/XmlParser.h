#pragma once

#include <expat.h>

// Owns one Expat parser created with no fixed encoding (the document's own
// declaration decides).
class XmlParser {
 public:
  XmlParser(XML_StartElementHandler start, XML_EndElementHandler end,
            XML_CharacterDataHandler data, void* user_data);
  ~XmlParser();
  XmlParser(const XmlParser&) = delete;
  XmlParser& operator=(const XmlParser&) = delete;
  XML_Parser get_parser() const { return parser_; }

 private:
  XML_Parser parser_;
};

// The document callbacks: each forwards to the element on top of the stack.
void startElement(void* user_data, const XML_Char* name, const XML_Char** attrs);
void endElement(void* user_data, const XML_Char* name);
void dataElement(void* user_data, const XML_Char* text, int length);
