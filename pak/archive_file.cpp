#include "pak/archive_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pak/copy.h"
#include "pak/system.h"

namespace {

// The new file to remove should the process end before it is committed:
// its directory and its name there, or no name. Set and cleared with the
// signals below blocked, so that a handler never sees half of it.
int pending_dir = -1;
const char *volatile pending_name = nullptr;

// Every signal whose default action ends the process and that comes from
// outside it: a terminal, a shell, a broken pipe, a resource limit, a timer.
// Faults within the process (SIGSEGV, SIGABRT and the like) keep their own
// handling; the new file they leave begins with "." and is never archived.
const int ENDING_SIGNALS[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ,
#ifdef SIGVTALRM
    SIGVTALRM,
#endif
#ifdef SIGPROF
    SIGPROF,
#endif
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// The longest part of the archive's name that the new file's name repeats,
// so that the new name always fits where the old one did.
constexpr size_t TEMP_NAME_PART = 100;
constexpr int TEMP_TRIES = 100;
// Links followed at the end of the archive's path before the open is left to
// report the loop.
constexpr int LINK_HOPS = 40;

// Removes the pending new file; safe inside a signal handler.
void remove_pending()
{
    const char *name = pending_name;
    if (name)
        unlinkat(pending_dir, name, 0);
    pending_name = nullptr;
}

// Removes the pending new file, then lets the signal end the process as it
// would have, so that the parent sees the signal.
void end_by_signal(int sig)
{
    remove_pending();
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
}

// Fills set with the ending signals.
void ending_signals(sigset_t &set)
{
    sigemptyset(&set);
    for (int sig : ENDING_SIGNALS)
        sigaddset(&set, sig);
}

// Makes every ending signal that is not ignored remove the pending new file
// first, and exit do the same; once per process.
void watch_for_endings()
{
    static bool watching = false;
    if (watching)
        return;
    watching = true;
    atexit(remove_pending);
    struct sigaction action = {};
    action.sa_handler = end_by_signal;
    ending_signals(action.sa_mask);
    for (int sig : ENDING_SIGNALS) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
}

// Blocks the ending signals while pending_name changes, and lets them
// through again.
struct signals_held {
    sigset_t saved;
    signals_held()
    {
        sigset_t set;
        ending_signals(set);
        sigprocmask(SIG_BLOCK, &set, &saved);
    }
    ~signals_held() { sigprocmask(SIG_SETMASK, &saved, nullptr); }
};

// Returns a new copy of the first n bytes of text followed by tail, or null.
char *joined(const char *text, size_t n, const char *tail)
{
    size_t tail_size = strlen(tail) + 1;
    char *out = static_cast<char *>(malloc(n + tail_size));
    if (out) {
        memcpy(out, text, n);
        memcpy(out + n, tail, tail_size);
    }
    return out;
}

// Returns, in a new buffer, the path that path finally names once the links
// at its end are followed, taken from the working directory as path is; a
// link to nothing names its target. Returns null with errno set when a link
// cannot be read, or its status, other than for want of a file, or memory
// runs out: the link itself must never be taken for the archive.
char *final_target(const char *path)
{
    char *current = joined(path, strlen(path), "");
    for (int hop = 0; current && hop < LINK_HOPS; ++hop) {
        struct stat st;
        bool missing = lstat(current, &st) != 0;
        if (missing && errno != ENOENT) {
            int saved = errno;
            free(current);
            errno = saved;
            return nullptr;
        }
        if (missing || !S_ISLNK(st.st_mode))
            return current;
        // Some file systems give a link's size as 0: the buffer grows until
        // the target fits.
        size_t size = st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 256;
        char *target = nullptr;
        ssize_t got;
        for (;;) {
            char *grown = static_cast<char *>(realloc(target, size));
            if (!grown) {
                free(target);
                free(current);
                return nullptr;
            }
            target = grown;
            got = readlink(current, target, size);
            if (got < 0 || static_cast<size_t>(got) < size)
                break;
            size *= 2;
        }
        if (got < 0) {
            int saved = errno;
            free(target);
            free(current);
            errno = saved;
            return nullptr;
        }
        target[got] = '\0';
        // A relative target is taken from the link's own directory.
        const char *slash = strrchr(current, '/');
        char *next = target[0] == '/' || !slash
                         ? joined(target, static_cast<size_t>(got), "")
                         : joined(current, static_cast<size_t>(slash + 1 - current), target);
        free(target);
        free(current);
        current = next;
    }
    return current;
}

// Makes a new file, of mode less the file-creation mask, with a name of its
// own in the archive's directory that begins with "." and the start of the
// archive's name; dir_prefix is how the path names that directory. Records it
// as the pending file. Returns its descriptor, open for reading and writing,
// or -1 with errno set.
int make_new_file(new_archive &archive, const char *dir_prefix, size_t prefix_size, mode_t mode)
{
    const char *name = archive.name;
    size_t part = strnlen(name, TEMP_NAME_PART);
    char *temp = static_cast<char *>(malloc(prefix_size + 1 + part + sizeof ".XXXXXX"));
    if (!temp)
        return -1;
    memcpy(temp, dir_prefix, prefix_size);
    char *temp_name = temp + prefix_size;
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 32) ^
                 static_cast<uint64_t>(now.tv_sec);
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < TEMP_TRIES; ++attempt) {
        temp_name[0] = '.';
        memcpy(temp_name + 1, name, part);
        char *tail = temp_name + 1 + part;
        *tail++ = '.';
        for (int k = 0; k < 6; ++k) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            *tail++ = letters[x % (sizeof letters - 1)];
        }
        *tail = '\0';
        signals_held held;
        // Open for reading too, so that a rename refused at the end can still
        // copy it, whatever its mode.
        int fd = openat(archive.dir_fd, temp_name, O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC,
                        mode);
        if (fd >= 0) {
            archive.temp_path = temp;
            archive.temp_name = temp_name;
            pending_dir = archive.dir_fd;
            pending_name = temp_name;
            return fd;
        }
        if (errno != EEXIST)
            break;
    }
    int saved = errno;
    free(temp);
    errno = saved;
    return -1;
}

// Gives the new file the owner, group and permission bits of old, as far as
// the process may: another owner, or a group the user is not in, is not an
// error. The owner goes first, as changing it may clear the set-user-ID and
// set-group-ID bits. Returns 0, or the errno of what failed otherwise.
int take_over_attributes(int fd, const struct stat &old)
{
    int error = 0;
    if (fchown(fd, old.st_uid, old.st_gid) != 0 &&
        fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && errno != EPERM)
        error = errno;
    if (fchmod(fd, old.st_mode & 07777) != 0)
        error = errno;
    return error;
}

// Frees what archive holds besides its descriptor.
void release(new_archive &archive)
{
    if (archive.dir_fd >= 0)
        close(archive.dir_fd);
    free(archive.name);
    free(archive.temp_path);
    archive.dir_fd = -1;
    archive.name = nullptr;
    archive.temp_path = nullptr;
    archive.temp_name = nullptr;
}

// Returns whether a directory's refusal of a new file with error leaves
// writing in place as the way left: it lacks the permission, which the file
// itself may still grant. Any other failure ends the build.
bool refused_for_permission(int error)
{
    return error == EACCES || error == EPERM;
}

// Returns whether a rename refused with error may still be done by copying
// in place: the file is a mount point, the directory is sticky or
// append-only, or the two names lie on different file systems.
bool rename_refused(int error)
{
    return error == EBUSY || error == EPERM || error == EACCES || error == EXDEV;
}

// Copies the complete new file, open as from, over the archive's file in
// place, made where it is missing. Returns 0, or -1 with errno set.
int copy_in_place(new_archive &archive, int from)
{
    struct stat st;
    if (fstat(from, &st) != 0)
        return -1;
    int to = openat(archive.dir_fd, archive.name, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (to < 0)
        return -1;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    copy_result copy = copy_range(from, 0, to, 0, size);
    int result = 0;
    if (copy.status != COPY_DONE || copy.copied != size) {
        if (copy.status == COPY_DONE)
            errno = EIO;
        result = -1;
    } else if (ftruncate(to, st.st_size) != 0) {
        result = -1;
    }
    int saved = errno;
    if (close(to) != 0 && result == 0)
        return -1;
    errno = saved;
    return result;
}

}  // namespace

// A file at path that the process may not write is refused with the open's
// error. attributes_errno tells which of the old file's attributes could not
// be taken over; a new archive has 0666 less the file-creation mask. Nothing
// is left behind when it fails.
int open_new_archive(const char *path, new_archive &archive)
{
    archive = {-1, -1, nullptr, nullptr, nullptr, {}, 0, {}, 0};
    watch_for_endings();
    char *target = final_target(path);
    if (!target)
        return -1;
    struct stat old;
    bool exists = stat(target, &old) == 0;
    bool missing = !exists && errno == ENOENT;
    if (!exists && !missing) {
        // A status that cannot be read never sends the build in place.
        int saved = errno;
        free(target);
        errno = saved;
        return -1;
    }
    // A link whose text names no file it leads to, as /proc/self/fd/N of a
    // deleted file, is written through in place.
    struct stat via;
    bool through_link = strcmp(target, path) != 0 && stat(path, &via) == 0 &&
                        (missing || via.st_dev != old.st_dev || via.st_ino != old.st_ino);
    if (through_link) {
        old = via;
        exists = true;
        missing = false;
    }
    // A plain file of one link, or nothing yet, is replaced by a new file.
    bool replaceable = through_link ? false
                       : exists     ? S_ISREG(old.st_mode) && old.st_nlink == 1
                                    : missing;

    const char *slash = strrchr(target, '/');
    const char *name = slash ? slash + 1 : target;
    if (!*name || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        replaceable = false;  // no file can be named there; the open says why
    int error = 0;
    if (replaceable) {
        // A file the user may not write is refused, as writing it in place would be.
        int probe = exists ? open(target, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
        if (exists && probe < 0)
            error = errno;
        if (probe >= 0)
            close(probe);
    }
    if (replaceable && !error) {
        size_t prefix_size = slash ? static_cast<size_t>(slash + 1 - target) : 0;
        char *dir = slash ? joined(target, prefix_size, ".") : nullptr;
        archive.dir_fd = open_directory_handle(dir ? dir : ".");
        free(dir);
        struct stat dir_st;
        if (archive.dir_fd < 0 || fstat(archive.dir_fd, &dir_st) != 0)
            error = errno;
        else
            archive.dir_id = {dir_st.st_dev, dir_st.st_ino};
        if (!error && !(archive.name = joined(name, strlen(name), "")))
            error = errno;
        if (!error) {
            archive.fd = make_new_file(archive, target, prefix_size, exists ? 0600 : 0666);
            if (archive.fd < 0)
                error = errno;
        }
        if (archive.fd >= 0 && exists)
            archive.attributes_errno = take_over_attributes(archive.fd, old);
        if (error && refused_for_permission(error))
            error = 0;  // written in place, below
    }
    free(target);
    if (error) {
        release(archive);
        errno = error;
        return -1;
    }

    if (archive.fd < 0) {
        // Emptied only once the build has read the tree.
        archive.fd = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
        if (archive.fd < 0) {
            int saved = errno;
            release(archive);
            errno = saved;
            return -1;
        }
        // A file this run made in place goes again should the build fail.
        if (missing && archive.dir_fd >= 0 && archive.name) {
            signals_held held;
            pending_dir = archive.dir_fd;
            pending_name = archive.name;
        }
    }
    struct stat written;
    if (fstat(archive.fd, &written) == 0)
        archive.ids[archive.id_count++] = {written.st_dev, written.st_ino};
    if (exists)
        archive.ids[archive.id_count++] = {old.st_dev, old.st_ino};
    return 0;
}

build_skips skips_of(const new_archive &archive)
{
    return {archive.ids, archive.id_count, archive.dir_id, archive.dir_fd >= 0 ? archive.name : nullptr};
}

// The rename is refused for a mount point, a sticky or append-only directory
// or another file system; the copy in place holds the ending signals.
int commit_new_archive(new_archive &archive)
{
    // A second descriptor keeps the new file open for a copy in place; the
    // close of the first reports what the file system could not write.
    int kept = archive.temp_name ? dup(archive.fd) : -1;
    int closed = close(archive.fd);
    archive.fd = -1;
    if (closed != 0 || (archive.temp_name && kept < 0)) {
        int saved = errno;
        if (kept >= 0)
            close(kept);
        discard_new_archive(archive);
        errno = saved;
        return COMMIT_WRITE_FAILED;
    }
    int result = COMMIT_DONE;
    int error = 0;
    if (archive.temp_name) {
        signals_held held;
        if (renameat(archive.dir_fd, archive.temp_name, archive.dir_fd, archive.name) != 0) {
            error = errno;
            result = COMMIT_REPLACE_FAILED;
            if (rename_refused(error) && copy_in_place(archive, kept) == 0) {
                result = COMMIT_DONE;
                if (unlinkat(archive.dir_fd, archive.temp_name, 0) != 0)
                    result = COMMIT_LEFT_BEHIND;
            }
            if (result != COMMIT_DONE)
                error = errno;
            if (result == COMMIT_REPLACE_FAILED)
                remove_pending();
        }
        close(kept);
    }
    {
        signals_held held;
        pending_name = nullptr;
    }
    // The name of a new file left behind stays for the caller's message.
    if (result == COMMIT_LEFT_BEHIND) {
        if (archive.dir_fd >= 0)
            close(archive.dir_fd);
        archive.dir_fd = -1;
    } else {
        release(archive);
    }
    errno = error;
    return result;
}

void discard_new_archive(new_archive &archive)
{
    if (archive.fd >= 0)
        close(archive.fd);
    archive.fd = -1;
    {
        signals_held held;
        remove_pending();
    }
    release(archive);
}
