// Helpers shared by the unit and end-to-end tests.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <string>
#include <vector>

#include "tests/files.h"

// A fresh directory under /tmp, removed with all it holds when it goes.
struct scoped_dir {
    std::string path;
    scoped_dir();
    ~scoped_dir();
    scoped_dir(const scoped_dir &) = delete;
    scoped_dir &operator=(const scoped_dir &) = delete;
    std::string operator/(const std::string &rel) const { return path + "/" + rel; }
};

// Makes dir the working directory until it goes.
struct scoped_cwd {
    int saved_fd;
    explicit scoped_cwd(const std::string &dir);
    ~scoped_cwd();
    scoped_cwd(const scoped_cwd &) = delete;
    scoped_cwd &operator=(const scoped_cwd &) = delete;
};

// Writes bytes to path, making its leading directories.
void write_file(const std::string &path, const std::string &bytes);

// The two heading lines of every listing.
extern const std::string listing_heading;
// The settings lines a run starts with; a null dir prints no directory line,
// as in list mode.
std::string settings_lines(const std::string &pak, const char *dir, const std::string &op);


// What a run printed and returned.
struct run_result {
    int status;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs fn in this process with standard output and error captured.
run_result capture(const std::function<int()> &fn);

struct run_options {
    std::string cwd;          // where the binary runs; empty: the current directory
    bool as_nobody = false;   // without privilege: root runs it as uid and gid 65534
                              // through setpriv, any other user as itself
    long fsize_limit = -1;    // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored
    long address_limit = -1;  // RLIMIT_AS in bytes
    long nofile_limit = -1;   // RLIMIT_NOFILE: the descriptors the run may hold
    std::string stdin_path;   // empty: /dev/null
    std::vector<std::pair<std::string, std::string>> env;  // set in the run's environment
    bool dynamic = false;     // run the dynamically linked twin, which honours LD_PRELOAD
    std::vector<int> closed_fds;  // of 0, 1 and 2: closed when the binary starts
    std::string stdout_path;  // empty: a pipe read into run_result::out
    long stack_limit = -1;    // RLIMIT_STACK in bytes
    std::string stdin_data;   // when not empty: standard input is a pipe holding it
    // Called about every millisecond while the run goes on, with its process
    // id, until it returns true: to act on a run partway, as by a signal.
    std::function<bool(int pid)> watch;
    // Words that start the run before the binary's own, the first a path:
    // a tracer such as strace with its options.
    std::vector<std::string> prefix;
};
// Runs the built pakwright with args (argv[0] is "pakwright") in
// options.cwd, or in dir with run_in.
run_result run_pakwright(const std::vector<std::string> &args, const run_options &options = {});
struct scoped_dir;
run_result run_in(const scoped_dir &dir, const std::vector<std::string> &args,
                  run_options options = {});

// One line of a listing, as every operation prints it.
std::string listing_line(unsigned index, unsigned long size, const std::string &name);


// Whether the binary was built with the sanitizers, which rule out address
// limits and interposed allocators.
bool sanitized_build();

// The path of the tracer strace, or "" when it is not installed.
std::string strace_path();
// Why runs cannot be traced with strace here (the sanitizers, an emulator,
// no strace), or "" when they can.
std::string cannot_trace();
