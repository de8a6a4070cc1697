#include "db/commands.h"

int main(int argc, char** argv) { return kivdb::kivdb_main(argc, argv); }
