#include "driver/kiv_main.h"

// Placeholder until the command line lands.
int kiv_main(int, char**) { return 0; }
