// What pakwright prints: the one way every path is shown, and standard
// output written with its failures kept, so that a run whose listing was
// lost never ends as a success.
#pragma once

#include <cstdint>

// Prints format and its values on standard output, as printf does, and
// keeps the error of the first write that fails for finish_stdout. Returns
// what printf returns.
int say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Returns path as pakwright shows it: every byte that a terminal could take
// as a control, or that is not part of well-formed UTF-8, is written as a
// backslash and three octal digits. These are bytes 0x01 to 0x1F and 0x7F,
// the two-byte UTF-8 forms of U+0080 to U+009F, and every byte from 0x80 up
// that does not belong to a well-formed UTF-8 character (such as a lead byte
// left alone where a stored path was cut at 55 bytes). Everything else,
// valid UTF-8 included, is shown as it is. The text lives in one
// buffer that the next call reuses, so each printed line shows one path. A
// path that needs more memory than can be had is shown cut, ending in "...".
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
