#include "tests/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace {

std::string slurp_fd(int fd)
{
    std::string bytes;
    char buf[65536];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

// A copy of the binary that the unprivileged user can reach wherever the
// build tree lies. Its directory goes when the test program exits, as the
// scoped directories do; the forked children leave through _exit and so
// never remove it under the others.
const std::string &nobody_binary()
{
    static std::string dir, path;
    if (path.empty()) {
        char templ[] = "/tmp/pakwright-bin-XXXXXX";
        if (!mkdtemp(templ))
            abort();
        dir = templ;
        atexit([] { remove_tree(dir); });
        chmod(dir.c_str(), 0755);
        path = dir + "/pakwright";
        write_file(path, read_file(PAKWRIGHT_BIN));
        chmod(path.c_str(), 0755);
    }
    return path;
}

// The words that start a binary of this build on this machine: the
// emulator's, split at spaces, in a cross build; none otherwise.
const std::vector<std::string> &emulator_words()
{
    static const std::vector<std::string> words = [] {
        std::vector<std::string> split;
#ifdef PAKWRIGHT_EMULATOR
        std::istringstream in(PAKWRIGHT_EMULATOR);
        for (std::string w; in >> w;)
            split.push_back(w);
#endif
        return split;
    }();
    return words;
}

}  // namespace

scoped_dir::scoped_dir()
{
    char templ[] = "/tmp/pakwright-test-XXXXXX";
    if (!mkdtemp(templ))
        abort();
    path = templ;
}

scoped_dir::~scoped_dir()
{
    remove_tree(path);
}

scoped_cwd::scoped_cwd(const std::string &dir) : saved_fd(open(".", O_RDONLY | O_DIRECTORY))
{
    if (chdir(dir.c_str()) != 0)
        abort();
}

scoped_cwd::~scoped_cwd()
{
    if (fchdir(saved_fd) != 0)
        abort();
    close(saved_fd);
}

void write_file(const std::string &path, const std::string &bytes)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        ADD_FAILURE() << "cannot write " << path;
}

const std::string listing_heading =
    "Num Size     File name\n"
    "--- -------- -------------------------------------------------------\n";

std::string settings_lines(const std::string &pak, const char *dir, const std::string &op)
{
    std::string s = "Using pak file: " + pak + "\n";
    if (dir)
        s += "Input/output directory: " + std::string(dir) + "\n";
    return s + "Operation: " + op + "\n";
}

run_result capture(const std::function<int()> &fn)
{
    fflush(stdout);
    fflush(stderr);
    FILE *out = tmpfile(), *err = tmpfile();
    int saved_out = dup(1), saved_err = dup(2);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    int status = fn();
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    run_result result = {status, slurp_fd(fileno(out)), slurp_fd(fileno(err))};
    fclose(out);
    fclose(err);
    return result;
}

run_result run_pakwright(const std::vector<std::string> &args, const run_options &options)
{
    // Root becomes the unprivileged user; any other user meets permissions
    // as itself.
    const bool drop_root = options.as_nobody && geteuid() == 0;
    std::vector<std::string> words = options.prefix;
    if (drop_root)
        words.insert(words.end(),
                     {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    // Under the emulator (qemu-user) the environment is set for the guest
    // alone, so a preloaded module never reaches the emulator itself. The
    // emulator's own reservations would exhaust an RLIMIT_AS, so the limit
    // becomes the guest's reserved address space instead: the limit on top
    // of the 32 MiB below which qemu may load a position-independent binary
    // (as it does on s390x).
    const bool emulated = !emulator_words().empty();
    for (const std::string &w : emulator_words())
        words.push_back(w);
    if (emulated && options.address_limit >= 0)
        words.insert(words.end(), {"-R", std::to_string(options.address_limit + (32L << 20))});
    if (emulated)
        for (const auto &var : options.env)
            words.insert(words.end(), {"-E", var.first + "=" + var.second});
    words.push_back(drop_root         ? nobody_binary()
                    : options.dynamic ? std::string(PAKWRIGHT_DYNAMIC_BIN)
                                      : std::string(PAKWRIGHT_BIN));
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    std::string name = "pakwright";
    if (words.size() == 1)
        argv[0] = &name[0];
    std::vector<std::string> rest = args;
    for (std::string &a : rest)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    // Pipes rather than files: a file-size limit must not cut what the run prints.
    int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        abort();
    // What standard input holds fits the pipe's buffer: it is written whole
    // before the run starts.
    if (!options.stdin_data.empty() &&
        (pipe(in_pipe) != 0 ||
         write(in_pipe[1], options.stdin_data.data(), options.stdin_data.size()) !=
             static_cast<ssize_t>(options.stdin_data.size())))
        abort();
    if (in_pipe[1] >= 0)
        close(in_pipe[1]);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int in = in_pipe[0] >= 0 ? in_pipe[0]
                 : open(options.stdin_path.empty() ? "/dev/null" : options.stdin_path.c_str(),
                        O_RDONLY);
        int out = options.stdout_path.empty()
                      ? out_pipe[1]
                      : open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        if (options.fsize_limit >= 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit lim = {static_cast<rlim_t>(options.fsize_limit),
                                 static_cast<rlim_t>(options.fsize_limit)};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        if (options.address_limit >= 0 && !emulated) {
            struct rlimit lim = {static_cast<rlim_t>(options.address_limit),
                                 static_cast<rlim_t>(options.address_limit)};
            setrlimit(RLIMIT_AS, &lim);
        }
        for (auto [resource, limit] : {std::pair{RLIMIT_STACK, options.stack_limit},
                                       std::pair{RLIMIT_NOFILE, options.nofile_limit}}) {
            struct rlimit lim = {static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
            if (limit >= 0)
                setrlimit(resource, &lim);
        }
        for (int fd : options.closed_fds)
            close(fd);
        for (const auto &var : options.env)
            if (!emulated)
                setenv(var.first.c_str(), var.second.c_str(), 1);
        execv(words[0].c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (in_pipe[0] >= 0)
        close(in_pipe[0]);
    bool watching = static_cast<bool>(options.watch);
    run_result result;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    for (int open_pipes = 2; open_pipes > 0;) {
        if (watching && options.watch(pid))
            watching = false;
        if (poll(fds, 2, watching ? 1 : -1) < 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return result;
}

run_result run_in(const scoped_dir &dir, const std::vector<std::string> &args, run_options options)
{
    options.cwd = dir.path;
    return run_pakwright(args, options);
}

std::string listing_line(unsigned index, unsigned long size, const std::string &name)
{
    char numbers[32];
    snprintf(numbers, sizeof numbers, "%3u %8lu ", index, size);
    return numbers + name + "\n";
}


bool sanitized_build()
{
#ifdef PAKWRIGHT_SANITIZED
    return true;
#else
    return false;
#endif
}

std::string strace_path()
{
    const char *path = getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/strace").c_str(), X_OK) == 0)
            return dir + "/strace";
    return "";
}

std::string cannot_trace()
{
    if (sanitized_build())
        return "the sanitizers' own calls would be traced with pakwright's";
#ifdef PAKWRIGHT_EMULATOR
    return "strace would trace the emulator, not pakwright";
#endif
    if (strace_path().empty())
        return "strace is not installed (Debian: strace)";
    return "";
}
