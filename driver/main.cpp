#include "driver/kiv_main.h"

int main(int argc, char** argv) { return kiv_main(argc, argv); }
