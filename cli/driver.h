// The program driver: one run performs exactly one operation (create, list
// or extract) chosen on the command line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/options.h"

// Runs pakwright with the process's argument count and vector and returns its
// exit status: 0 when everything was done; 1 when the operation ran to its
// end but left something out, each thing reported; -1 when the operation
// could not be done or standard output could not be written: the archive
// could not be opened, read or written completely, the input/output
// directory could not be made or entered, or the build stopped. Option
// errors exit with 99 and the help option exits with 0 from inside the
// option parser.
int pakwright_main(int argc, char **argv);

// What the command line chooses; a null path means the default.
struct program_settings {
    const char *pak_path;
    const char *io_dir;
    int32_t create_mode;
    int32_t list_mode;
};

// The program's five option rows and the end row.
constexpr size_t PROGRAM_OPTION_ROWS = 6;

// Fills table with the program's options, storing into settings and calling
// help for -h. Returns nothing; the table refers to settings, which must
// outlive its use.
void program_option_table(option_spec (&table)[PROGRAM_OPTION_ROWS], program_settings &settings,
                          void (*help)());
