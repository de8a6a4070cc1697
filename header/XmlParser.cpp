#include "header/XmlParser.h"

#include <iostream>
#include <new>

#include "header/el_stack.h"
#include "header/element.h"
#include "runtime/settings.h"

XmlParser::XmlParser(XML_StartElementHandler start, XML_EndElementHandler end,
                     XML_CharacterDataHandler data, void* user_data)
    : parser_(XML_ParserCreate(nullptr)) {
  if (!parser_) throw std::bad_alloc();
  XML_SetUserData(parser_, user_data);
  XML_SetElementHandler(parser_, start, end);
  XML_SetCharacterDataHandler(parser_, data);
}

XmlParser::~XmlParser() { XML_ParserFree(parser_); }

// Events that arrive while no element is open (a document that closed its
// root twice, say) have nobody to handle them and are dropped.

void startElement(void*, const XML_Char* name, const XML_Char** attrs) {
  element* top = el_stack_top();
  if (!top) return;
  if (debug_level) std::cerr << "startElement: " << " '" << name << "'" << " from '" << top->name() << "'" << '\n';
  top->startElement(top, name, attrs);
}

void endElement(void*, const XML_Char* name) {
  element* top = el_stack_top();
  if (!top) return;
  if (debug_level) std::cerr << "endElement: " << " '" << name << "'" << " from '" << top->name() << "'" << '\n';
  top->endElement(top, name);
}

void dataElement(void*, const XML_Char* text, int length) {
  element* top = el_stack_top();
  if (!top) return;
  if (debug_level) std::cerr << "userdata: " << std::string_view(text, static_cast<std::size_t>(length)) << '\n';
  top->dataElement(top, text, length);
}
