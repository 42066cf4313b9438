// What pakwright takes from the system beyond POSIX, each with a portable
// path beside it. Which is used is found when pakwright is configured, by
// trying each interface, never by the system's name; only speed and how
// tightly a member is checked before it is opened differ between them.
#pragma once

#include <sys/stat.h>

#include <cstddef>

// What open_member gives, besides a descriptor, when the member is not opened.
constexpr int MEMBER_UNOPENED = -1;     // errno tells why
constexpr int MEMBER_NOT_REGULAR = -2;  // not a regular file (any more)

// Opens the regular file at path, following links, for reading, with its
// status in st; never a device where the system can tell first. Returns the
// descriptor, MEMBER_UNOPENED with errno set, or MEMBER_NOT_REGULAR.
int open_member(const char *path, struct stat &st);

// What open_beneath gives where the system cannot open that way in one call.
constexpr int OPEN_STEP_BY_STEP = -2;

// Opens path, taken from the working directory, with flags and mode, in one
// call that refuses any symbolic link on the way and any way out of the
// working directory (openat2). Returns the descriptor, -1 with errno set, or
// OPEN_STEP_BY_STEP where the system has no such call.
int open_beneath(const char *path, int flags, mode_t mode);

// Returns whether two statuses of one file show it unchanged: the same size,
// modification time and change time.
bool same_contents(const struct stat &before, const struct stat &after);

// Opens the directory name in dir (a descriptor, or AT_FDCWD) only to name
// files in it, refusing a symbolic link in its place. Returns the
// descriptor, or -1 with errno set.
int open_subdirectory(int dir, const char *name);

// Opens the directory at path only to come back to it or to name files in it,
// without needing to read it where the system allows. Returns the descriptor,
// or -1 with errno set.
int open_directory_handle(const char *path);

// Asks the system to read the first bytes of the file open as fd, of size
// bytes, into the cache ahead of their use; where it cannot, does nothing.
void ask_for_data(int fd, off_t size);

// Returns how many blocks the process has read from storage so far: data or
// metadata that was not in the cache, whether read at once or ahead. Where
// the system does not count them, returns 0.
unsigned long blocks_read();
