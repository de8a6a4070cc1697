#pragma once

// Program-wide settings. They are written only while the command line is
// parsed and read everywhere afterwards.

// 0: no debug output; 1: header parser and notices; 2: every record traced.
extern int debug_level;
// Field separator of every CSV row.
extern char data_sep;
// Separator between an object id and a function number inside a CSV row.
extern char fun_sep;

inline constexpr char default_separator = ';';
