// Opening the members of a new archive: only ever regular files, never a
// device, a pipe or a directory put in a member's place after the walk.
#pragma once

#include <sys/stat.h>

// What open_member gives, besides a descriptor, when the member is not opened.
constexpr int MEMBER_UNOPENED = -1;     // errno tells why
constexpr int MEMBER_NOT_REGULAR = -2;  // not a regular file (any more)

// Opens the file at path, following links, for reading, and fills st with
// its status. A file that is not regular is never read and, where the system
// can open a file for its status alone, never opened for reading either, so
// that opening a device cannot act on it. Returns the descriptor,
// MEMBER_UNOPENED with errno set, or MEMBER_NOT_REGULAR.
int open_member(const char *path, struct stat &st);

// Returns whether two statuses of one file show it unchanged: the same size,
// modification time and change time.
bool same_contents(const struct stat &before, const struct stat &after);
