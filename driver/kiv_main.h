#pragma once

// The whole program: parses the command line and runs the conversions.
// Returns the exit status (some paths end the process directly).
int kiv_main(int argc, char** argv);

// Prints the usage text on standard output.
void usage();

// Handler for uncaught exceptions: flushes and closes every table file and
// the import script, reports and aborts.
[[noreturn]] void kiv_terminate_handler();
