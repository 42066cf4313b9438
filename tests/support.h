// Helpers shared by the unit and end-to-end tests.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <string>
#include <vector>

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
// Returns the bytes of path, or "<missing>" when it cannot be read.
std::string read_file(const std::string &path);
bool path_exists(const std::string &path);
// Returns every path below dir, relative to it and sorted; directories end in "/".
std::vector<std::string> list_tree(const std::string &dir);
// Returns n bytes that differ from one position to the next.
std::string pattern(size_t n, unsigned seed = 1);

// The two heading lines of every listing.
extern const std::string listing_heading;
// The settings lines a run starts with; a null dir prints no directory line,
// as in list mode.
std::string settings_lines(const std::string &pak, const char *dir, const std::string &op);

// Archive bytes, made from the format's rules alone.
std::string le32(uint32_t v);
std::string pak_header_bytes(uint32_t dir_offset, uint32_t dir_length,
                             const std::string &magic = "PACK");
// A 64-byte record; name is padded with NUL bytes to 56, or cut to 56.
std::string pak_record_bytes(const std::string &name, uint32_t data_offset,
                             uint32_t data_length);
struct test_member {
    std::string name;
    std::string data;
};
// A well-formed archive of members, laid out as the builder lays it out.
std::string pak_bytes(const std::vector<test_member> &members);

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
};
// Runs the built pakwright with args (argv[0] is "pakwright") in
// options.cwd, or in dir with run_in.
run_result run_pakwright(const std::vector<std::string> &args, const run_options &options = {});
struct scoped_dir;
run_result run_in(const scoped_dir &dir, const std::vector<std::string> &args,
                  run_options options = {});

// One line of a listing, as every operation prints it.
std::string listing_line(unsigned index, unsigned long size, const std::string &name);

// Returns the name of an entry of dir itself that begins with ".", as the new
// file of a build does while it runs, or "" when there is none.
std::string hidden_entry(const std::string &dir);

// Whether the binary was built with the sanitizers, which rule out address
// limits and interposed allocators.
bool sanitized_build();
