# Writes a header declaring the bytes of INPUT as
#   inline constexpr char NAME_data[] = {...};
#   inline constexpr std::string_view NAME{NAME_data, size};
# so that files such as the charting library are built into the program.
# Usage: cmake -DINPUT=file -DOUTPUT=header -DNAME=identifier -P embed_file.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
# Line breaks every 16 bytes keep the generated file readable by tools.
string(REGEX REPLACE "(('[^']*',){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "#pragma once\n#include <string_view>\n"
  "// Generated from ${INPUT}; do not edit.\n"
  "inline constexpr char ${NAME}_data[] = {\n${bytes}0};\n"
  "inline constexpr std::string_view ${NAME}{${NAME}_data, ${size}};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
