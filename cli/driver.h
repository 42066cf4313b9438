// The program driver: one run performs exactly one operation (create, list
// or extract) chosen on the command line.
#pragma once

// Runs pakwright with the process's argument count and vector and returns its
// exit status: 0 when the operation ran, -1 when the archive could not be
// opened, the input/output directory could not be made or entered, or the
// archive could not be written completely. Option errors exit with 99 and
// the help option exits with 0 from inside the option parser.
int pakwright_main(int argc, char **argv);

// Prints the help text on standard output and exits with status 0.
[[noreturn]] void print_help();
