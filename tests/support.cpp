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

void remove_tree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR *dir = opendir(path.c_str())) {
            while (dirent *e = readdir(dir))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    remove_tree(path + "/" + e->d_name);
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void list_into(const std::string &root, const std::string &rel, std::vector<std::string> &out)
{
    DIR *dir = opendir((root + "/" + rel).c_str());
    if (!dir)
        return;
    while (dirent *e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        std::string path = rel.empty() ? e->d_name : rel + "/" + e->d_name;
        struct stat st;
        if (lstat((root + "/" + path).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            out.push_back(path + "/");
            list_into(root, path, out);
        } else {
            out.push_back(path);
        }
    }
    closedir(dir);
}

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
// build tree lies.
const std::string &nobody_binary()
{
    static std::string path;
    if (path.empty()) {
        char dir[] = "/tmp/pakwright-bin-XXXXXX";
        if (!mkdtemp(dir))
            abort();
        chmod(dir, 0755);
        path = std::string(dir) + "/pakwright";
        write_file(path, read_file(PAKWRIGHT_BIN));
        chmod(path.c_str(), 0755);
    }
    return path;
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

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool path_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_tree(const std::string &dir)
{
    std::vector<std::string> out;
    list_into(dir, "", out);
    std::sort(out.begin(), out.end());
    return out;
}

std::string pattern(size_t n, unsigned seed)
{
    std::string bytes(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(x >> 16);
    }
    return bytes;
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

std::string le32(uint32_t v)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    return bytes;
}

std::string pak_header_bytes(uint32_t dir_offset, uint32_t dir_length, const std::string &magic)
{
    return magic + le32(dir_offset) + le32(dir_length);
}

std::string pak_record_bytes(const std::string &name, uint32_t data_offset, uint32_t data_length)
{
    std::string field = name.substr(0, 56);
    field.resize(56, '\0');
    return field + le32(data_offset) + le32(data_length);
}

std::string pak_bytes(const std::vector<test_member> &members)
{
    std::string data, directory;
    uint32_t offset = 12;
    for (const test_member &m : members) {
        directory += pak_record_bytes(m.name, offset, static_cast<uint32_t>(m.data.size()));
        data += m.data;
        offset += static_cast<uint32_t>(m.data.size());
    }
    return pak_header_bytes(offset, static_cast<uint32_t>(directory.size())) + data + directory;
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
    std::vector<std::string> words;
    std::string binary = options.as_nobody ? nobody_binary()
                         : options.dynamic  ? std::string(PAKWRIGHT_DYNAMIC_BIN)
                                            : std::string(PAKWRIGHT_BIN);
    if (options.as_nobody)
        words = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", binary};
    else
        words = {binary};
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    std::string name = "pakwright";
    if (!options.as_nobody)
        argv[0] = &name[0];
    std::vector<std::string> rest = args;
    for (std::string &a : rest)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    // Pipes rather than files: a file-size limit must not cut what the run prints.
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        abort();
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(options.stdin_path.empty() ? "/dev/null" : options.stdin_path.c_str(),
                      O_RDONLY);
        dup2(in, 0);
        dup2(out_pipe[1], 1);
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
        if (options.address_limit >= 0) {
            struct rlimit lim = {static_cast<rlim_t>(options.address_limit),
                                 static_cast<rlim_t>(options.address_limit)};
            setrlimit(RLIMIT_AS, &lim);
        }
        if (options.nofile_limit >= 0) {
            struct rlimit lim = {static_cast<rlim_t>(options.nofile_limit),
                                 static_cast<rlim_t>(options.nofile_limit)};
            setrlimit(RLIMIT_NOFILE, &lim);
        }
        for (const auto &var : options.env)
            setenv(var.first.c_str(), var.second.c_str(), 1);
        execv(words[0].c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    run_result result;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    for (int open_pipes = 2; open_pipes > 0;) {
        if (poll(fds, 2, -1) < 0)
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

bool sanitized_build()
{
#ifdef PAKWRIGHT_SANITIZED
    return true;
#else
    return false;
#endif
}
