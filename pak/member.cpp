#include "pak/member.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "pak/config.h"

namespace {

// Opens path for reading without waiting, so that a named pipe opens at
// once, and checks what was opened; a file that is not regular is closed
// unread. Returns as open_member does.
int open_and_check(const char *path, struct stat &st)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return MEMBER_UNOPENED;
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

#if PAKWRIGHT_HAVE_O_PATH
// Whether /proc reopens a descriptor opened for its status alone; until a
// reopen fails for want of /proc, it is taken to.
bool proc_reopens = true;

// Opens path for its status alone (O_PATH), which never acts on a device,
// and only once the status shows a regular file reopens that very file for
// reading through /proc, so that nothing can be put in its place between the
// check and the open. Without /proc, falls back to open_and_check.
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
            return open_and_check(path, st);
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
#if PAKWRIGHT_HAVE_O_PATH
    if (proc_reopens)
        return open_checked_first(path, st);
#endif
    return open_and_check(path, st);
}

bool same_contents(const struct stat &before, const struct stat &after)
{
#if PAKWRIGHT_HAVE_ST_MTIM
    auto same = [](const timespec &a, const timespec &b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return before.st_size == after.st_size && same(before.st_mtim, after.st_mtim) &&
           same(before.st_ctim, after.st_ctim);
#elif PAKWRIGHT_HAVE_ST_MTIMESPEC
    auto same = [](const timespec &a, const timespec &b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return before.st_size == after.st_size && same(before.st_mtimespec, after.st_mtimespec) &&
           same(before.st_ctimespec, after.st_ctimespec);
#else
    return before.st_size == after.st_size && before.st_mtime == after.st_mtime &&
           before.st_ctime == after.st_ctime;
#endif
}
