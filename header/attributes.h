#pragma once

#include <cstdint>

// Reading of Expat attribute lists (alternating names and values ending with
// null). Attributes are taken by position, whatever their names.

// Value of attribute number index (0-based); "" when the tag has fewer.
const char* attr_value(const char** attrs, int index);

// Leading decimal digits the way strtol reads them, kept in 32 bits; 0 when
// there are none.
std::int32_t attr_number(const char** attrs, int index);
