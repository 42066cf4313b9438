// General command-line option parsing from a table of option_spec rows.
//
// The table is the single source of truth: parse_options scans an argument
// vector left to right, stores each option's value straight into the caller's
// variable (or hands it to a callback), and removes every element it consumed.
// Every problem goes to one replaceable reporter; the default one,
// report_and_exit, prints the message on standard error and exits with 99.
//
// Behaviour after a reporter that returns:
//   - "doesn't allow an argument": the option is stored as if given bare.
//   - "invalid number": the range test still follows and the value that was
//     converted is delivered.
//   - "out of range": the converted value is delivered, cut to 32 bits for the
//     32-bit kinds.
//   - "unrecognized option": the option is dropped. A long option's element is
//     removed; in a short group the bad character is skipped, the characters
//     after it are still handled, and the element is removed.
//   - "requires an argument": nothing is stored and no callback is called;
//     the option's element (the last one) is removed and the scan ends.
// set_option_error_handler(nullptr) restores report_and_exit, so there is
// always a reporter and no message goes unreported.
#pragma once

#include <cstdint>

// What an option takes and what its target is. The values are part of the
// interface.
enum option_type : int32_t {
    OPT_END = 0,     // ends the table
    OPT_FLAG = 1,    // no argument; int32_t* set to 1, or void (*)()
    OPT_STRING = 2,  // text; const char** set to the argument, or void (*)(const char*)
    OPT_INT = 3,     // decimal; int32_t*, or void (*)(int32_t)
    OPT_UINT = 4,    // decimal; uint32_t*, or void (*)(uint32_t)
    OPT_LONG = 5,    // decimal; int64_t*, or void (*)(int64_t)
    OPT_ULONG = 6,   // decimal; uint64_t*, or void (*)(uint64_t)
};

// Bit of option_spec::flags: target is a function to call, not a variable.
constexpr int32_t OPT_CALLBACK = 1;

// One row of an option table. The table ends with a row whose kind is OPT_END.
struct option_spec {
    char short_name;        // as in "-c"; 0 for none
    const char *long_name;  // as in "create" for "--create"; null for none
    option_type kind;
    void *target;           // variable or, with OPT_CALLBACK, function
    int32_t flags;
};

// A reporter: takes a printf-style format and its values.
typedef void (*option_reporter)(const char *format, ...);

// Parses *argc elements of argv (element 0 included) against table, storing
// each option met and compacting argv to the elements that were not consumed,
// followed by a null pointer. With keep_negative_numbers nonzero an element
// of a hyphen and a digit is left in place as a non-option.
void parse_options(int *argc, char **argv, const option_spec *table,
                   int keep_negative_numbers);

// Makes handler the reporter for every later message; null restores the
// default reporter.
void set_option_error_handler(option_reporter handler);

// The default reporter: flushes standard output, prints the message on
// standard error and exits with status 99. Never returns.
[[noreturn]] void report_and_exit(const char *format, ...);

// Returns the address of a variable or function as an option_spec target.
template <typename T>
inline void *option_target(T *target)
{
    return reinterpret_cast<void *>(target);
}
