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
// once, and checks what was opened. The portable way.
int open_then_check(const char *path, struct stat &st)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    return fd < 0 ? MEMBER_UNOPENED : keep_if_regular(fd, st);
}

#if PAKWRIGHT_HAVE_OPENAT2
// Whether openat2(2) is there; until it is found missing, it is taken to be.
bool openat2_there = true;

// What open_without_links gives when the path is to be opened another way.
constexpr int OPEN_OTHERWISE = MEMBER_NOT_REGULAR - 1;

// Opens path for reading only if no component of it is a symbolic link
// (openat2 with RESOLVE_NO_SYMLINKS), in one call. Such a path leads to a
// device only where one with the privilege to make device nodes has put it
// there; a member turned into a link to a device, or reached through a link
// at all, fails with ELOOP instead and is opened by open_checked_first. A
// named pipe opens at once and is refused unread. Returns as open_member
// does, or OPEN_OTHERWISE.
int open_without_links(const char *path, struct stat &st)
{
    open_how how = {};
    how.flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
    if (fd >= 0)
        return keep_if_regular(static_cast<int>(fd), st);
    if (errno == ENOSYS)
        openat2_there = false;
    // A filter may refuse the call itself with EPERM; the other way then
    // gives the open's own answer.
    if (errno == ELOOP || errno == ENOSYS || errno == EPERM)
        return OPEN_OTHERWISE;
    return MEMBER_UNOPENED;
}
#endif

#if PAKWRIGHT_HAVE_O_PATH
// Whether /proc reopens a descriptor opened for its status alone; until a
// reopen fails for want of /proc, it is taken to.
bool proc_reopens = true;

// Opens path for its status alone (O_PATH), which never acts on a device,
// and only once the status shows a regular file reopens that very file for
// reading through /proc, so that nothing can be put in its place between the
// check and the open. Without /proc, falls back to open_then_check.
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
        char reopen[32];
        snprintf(reopen, sizeof reopen, "/proc/self/fd/%d", handle);
        result = open(reopen, O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (result < 0 && errno == ENOENT && access("/proc/self/fd", F_OK) != 0) {
            proc_reopens = false;
            close(handle);
            return open_then_check(path, st);
        }
        if (result < 0)
            result = MEMBER_UNOPENED;
    }
    int saved = errno;
    close(handle);
    errno = saved;
    return result;
}
#endif

}  // namespace

int open_member(const char *path, struct stat &st)
{
#if PAKWRIGHT_HAVE_OPENAT2
    if (openat2_there) {
        int result = open_without_links(path, st);
        if (result != OPEN_OTHERWISE)
            return result;
    }
#endif
#if PAKWRIGHT_HAVE_O_PATH
    if (proc_reopens)
        return open_checked_first(path, st);
#endif
    return open_then_check(path, st);
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

int open_directory_handle(const char *path)
{
#if defined(O_SEARCH)
    return open(path, O_SEARCH | O_DIRECTORY | O_CLOEXEC);
#elif defined(O_PATH)
    return open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
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
