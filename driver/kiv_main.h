#pragma once

// The whole program: parses the command line and runs the conversions.
// Returns the exit status (some paths end the process directly).
int kiv_main(int argc, char** argv);
