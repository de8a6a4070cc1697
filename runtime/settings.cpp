#include "runtime/settings.h"

int debug_level = 0;
char data_sep = default_separator;
char fun_sep = default_separator;
