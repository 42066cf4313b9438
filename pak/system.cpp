#include "pak/system.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "pak/config.h"

#if PAKWRIGHT_HAVE_OPENAT2
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

namespace {

// How much of a member reading ahead asks for. The rest of a large member is
// left to the kernel's own read-ahead once the copy reads it in order, so one
// large member cannot crowd out the small ones behind it.
constexpr off_t READAHEAD_MEMBER_BYTES = 4 << 20;

// Checks what the descriptor fd, just opened for path, holds: a file that is
// not regular is closed unread. Returns as open_member does.
int keep_if_regular(int fd, struct stat &st)
{
    int result = fd;
    if (fstat(fd, &st) != 0)
        result = MEMBER_UNOPENED;
    else if (!S_ISREG(st.st_mode))
        result = MEMBER_NOT_REGULAR;
    if (result != fd) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return result;
}

// Opens path for reading without waiting, so that a named pipe opens at
// once, and checks what was opened. The portable way, and the only one that
// may open a device for a moment, where a link leads to one.
int open_then_check(const char *path, struct stat &st)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    return fd < 0 ? MEMBER_UNOPENED : keep_if_regular(fd, st);
}

// What open_without_links gives when the path holds a link, or when the
// system offers no such open.
constexpr int OPEN_OTHERWISE = MEMBER_NOT_REGULAR - 1;

#if PAKWRIGHT_HAVE_OPENAT2
// Whether openat2(2) is there; until it is found missing, it is taken to be.
bool openat2_there = true;
#endif

// Opens path for reading only if no component of it is a symbolic link, in
// one call (openat2 with RESOLVE_NO_SYMLINKS, or O_NOFOLLOW_ANY). Such a path
// leads to a device only where one with the privilege to make device nodes
// has put it there. A named pipe opens at once and is refused unread.
// Returns as open_member does, or OPEN_OTHERWISE.
int open_without_links(const char *path, struct stat &st)
{
#if PAKWRIGHT_HAVE_OPENAT2
    if (openat2_there) {
        open_how how = {};
        how.flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        how.resolve = RESOLVE_NO_SYMLINKS;
        long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
        if (fd >= 0)
            return keep_if_regular(static_cast<int>(fd), st);
        if (errno == ENOSYS)
            openat2_there = false;
        // A filter may refuse the call itself with EPERM; the other ways
        // then give the open's own answer.
        if (errno == ELOOP || errno == ENOSYS || errno == EPERM)
            return OPEN_OTHERWISE;
        return MEMBER_UNOPENED;
    }
    (void)path;
    (void)st;
    return OPEN_OTHERWISE;
#elif PAKWRIGHT_HAVE_O_NOFOLLOW_ANY
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW_ANY);
    if (fd >= 0)
        return keep_if_regular(fd, st);
    return errno == ELOOP ? OPEN_OTHERWISE : MEMBER_UNOPENED;
#else
    (void)path;
    (void)st;
    return OPEN_OTHERWISE;
#endif
}

// Returns whether open_without_links can refuse a path with links, rather
// than leave every path to the other ways.
bool refuses_links()
{
#if PAKWRIGHT_HAVE_OPENAT2
    return openat2_there;
#else
    return PAKWRIGHT_HAVE_O_NOFOLLOW_ANY;
#endif
}

#if PAKWRIGHT_HAVE_O_PATH
// Whether a descriptor opened for its status alone can be reopened for
// reading; until a reopen fails for want of /proc, it is taken to.
bool reopens = true;

// Opens path for its status alone (O_PATH), which never acts on a device,
// and only once the status shows a regular file reopens that very file for
// reading, through /proc on Linux or O_EMPTY_PATH where it exists, so that
// nothing can be put in its place between the check and the open. Returns as
// open_member does, or OPEN_OTHERWISE where the reopen needs a /proc that is
// not mounted.
int open_checked_first(const char *path, struct stat &st)
{
    int handle = open(path, O_PATH | O_CLOEXEC);
    if (handle < 0)
        return MEMBER_UNOPENED;
    int result;
    if (fstat(handle, &st) != 0) {
        result = MEMBER_UNOPENED;
    } else if (!S_ISREG(st.st_mode)) {
        result = MEMBER_NOT_REGULAR;
    } else {
#if PAKWRIGHT_HAVE_O_EMPTY_PATH
        result = openat(handle, "", O_RDONLY | O_NOCTTY | O_CLOEXEC | O_EMPTY_PATH);
#else
        char reopen[32];
        snprintf(reopen, sizeof reopen, "/proc/self/fd/%d", handle);
        result = open(reopen, O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (result < 0 && errno == ENOENT && access("/proc/self/fd", F_OK) != 0) {
            reopens = false;
            result = OPEN_OTHERWISE;
        }
#endif
        if (result == -1)
            result = MEMBER_UNOPENED;
    }
    int saved = errno;
    close(handle);
    errno = saved;
    return result;
}
#endif

// Opens the file a path with links leads to where no descriptor can be
// reopened but open_without_links refuses links: the path is resolved, the
// status of what it leads to read, and only a regular file is opened, by the
// resolved path with no link allowed on the way. A link put in its place
// meanwhile fails the open with ELOOP. Returns as open_member does.
int open_resolved(const char *path, struct stat &st)
{
    char *resolved = realpath(path, nullptr);
    if (!resolved)
        return MEMBER_UNOPENED;
    struct stat seen;
    int result;
    if (stat(resolved, &seen) != 0) {
        result = MEMBER_UNOPENED;
    } else if (!S_ISREG(seen.st_mode)) {
        result = MEMBER_NOT_REGULAR;
    } else {
        result = open_without_links(resolved, st);
        if (result == OPEN_OTHERWISE) {
            errno = ELOOP;
            result = MEMBER_UNOPENED;
        }
    }
    if (result >= 0 && (st.st_dev != seen.st_dev || st.st_ino != seen.st_ino)) {
        close(result);
        errno = ENOENT;  // another file took its place: as if it were gone
        result = MEMBER_UNOPENED;
    }
    int saved = errno;
    free(resolved);
    errno = saved;
    return result;
}

// The ways to open a member that open_without_links leaves, strongest first.
#if PAKWRIGHT_HAVE_O_PATH
constexpr int WAY_CHECK_FIRST = 0;  // open_checked_first
#endif
constexpr int WAY_RESOLVE = 1;      // open_resolved
constexpr int WAY_PORTABLE = 2;     // open_then_check

// Returns the strongest of those ways the system offers, of those not yet
// found missing: a status-only handle reopened; else the resolved path
// opened without links; else the portable open checked after the fact.
int way_with_links()
{
#if PAKWRIGHT_HAVE_O_PATH
    if (reopens)
        return WAY_CHECK_FIRST;
#endif
    return refuses_links() ? WAY_RESOLVE : WAY_PORTABLE;
}

}  // namespace

int open_member(const char *path, struct stat &st)
{
    // One open that refuses links, where the system has it; for a path with
    // links, or without such an open, the way chosen for it. A way found
    // missing as it is tried gives OPEN_OTHERWISE, and the next is chosen.
    int result = open_without_links(path, st);
    while (result == OPEN_OTHERWISE) {
        switch (way_with_links()) {
#if PAKWRIGHT_HAVE_O_PATH
        case WAY_CHECK_FIRST:
            result = open_checked_first(path, st);
            break;
#endif
        case WAY_RESOLVE:
            result = open_resolved(path, st);
            break;
        default:
            result = open_then_check(path, st);
            break;
        }
    }
    return result;
}

bool same_contents(const struct stat &before, const struct stat &after)
{
    auto same = [](const timespec &a, const timespec &b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
#if PAKWRIGHT_HAVE_ST_MTIM
    return before.st_size == after.st_size && same(before.st_mtim, after.st_mtim) &&
           same(before.st_ctim, after.st_ctim);
#elif PAKWRIGHT_HAVE_ST_MTIMESPEC
    return before.st_size == after.st_size && same(before.st_mtimespec, after.st_mtimespec) &&
           same(before.st_ctimespec, after.st_ctimespec);
#else
    (void)same;
    return before.st_size == after.st_size && before.st_mtime == after.st_mtime &&
           before.st_ctime == after.st_ctime;
#endif
}

// How a directory is opened only to name files in it: without needing
// permission to read it where the system allows.
#if defined(O_SEARCH)
constexpr int DIRECTORY_HANDLE = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_PATH)
constexpr int DIRECTORY_HANDLE = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int DIRECTORY_HANDLE = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

int open_directory_handle(const char *path)
{
    return open(path, DIRECTORY_HANDLE);
}

int open_subdirectory(int dir, const char *name)
{
    return openat(dir, name, DIRECTORY_HANDLE | O_NOFOLLOW);
}

int open_beneath(const char *path, int flags, mode_t mode)
{
#if PAKWRIGHT_HAVE_OPENAT2
    if (openat2_there) {
        open_how how = {};
        how.flags = static_cast<uint64_t>(flags);
        how.mode = mode;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
        long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
        if (fd >= 0)
            return static_cast<int>(fd);
        if (errno == ENOSYS)
            openat2_there = false;
        // A filter may refuse the call itself; a rename meanwhile asks for
        // another try. Both go step by step.
        if (errno != ENOSYS && errno != EPERM && errno != EAGAIN)
            return -1;
    }
#else
    (void)path;
    (void)flags;
    (void)mode;
#endif
    return OPEN_STEP_BY_STEP;
}

void ask_for_data(int fd, off_t size)
{
#if PAKWRIGHT_HAVE_POSIX_FADVISE
    posix_fadvise(fd, 0, std::min<off_t>(size, READAHEAD_MEMBER_BYTES), POSIX_FADV_WILLNEED);
#elif PAKWRIGHT_HAVE_F_RDADVISE
    struct radvisory advice = {};
    advice.ra_offset = 0;
    advice.ra_count = static_cast<int>(std::min<off_t>(size, READAHEAD_MEMBER_BYTES));
    fcntl(fd, F_RDADVISE, &advice);
#else
    (void)fd;
    (void)size;
#endif
}

unsigned long blocks_read()
{
#if PAKWRIGHT_HAVE_RU_INBLOCK
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) == 0)
        return static_cast<unsigned long>(usage.ru_inblock);
#endif
    return 0;
}
