// What pakwright prints: the one way every path is shown, and standard
// output written with its failures kept, so that a run whose listing was
// lost never ends as a success.
#pragma once

#include <cstdint>

// Prints format and its values on standard output, as printf does, and
// keeps the error of the first write that fails for finish_stdout. Returns
// what printf returns.
int say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Returns path as pakwright shows it: controls (C0, DEL, C1) and bytes outside
// well-formed UTF-8 as a backslash and three octal digits. The text lives
// until the next call; without the memory for it, it is cut and ends in "...".
const char *show_path(const char *path);

// Prints the two heading lines of a listing on standard output, with dash
// groups as wide as the index, size and name columns.
void print_listing_heading();

// Prints one listing line: the member's index, counted from 0, its size and
// its stored path as show_path shows it.
void print_listing_line(uint64_t index, uint64_t size, const char *path);

// Flushes standard output and, the first time a write to it has failed,
// prints "Error writing standard output: %s" with the system's text on
// standard error. Returns 0 when everything printed was written, -1 when a
// write failed.
int finish_stdout();

// Ends the process with status -1 (255 as the system reports it), once a
// failed write of standard output has been reported as finish_stdout does.
[[noreturn]] void stop_run();
