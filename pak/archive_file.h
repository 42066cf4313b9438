// The archive file a build writes: a new file beside the one it replaces,
// renamed over it only once it is complete, so that a build that fails, or
// that a signal ends, leaves the old archive exactly as it was.
#pragma once

#include "pak/walk.h"

// A new archive being written. Where a rename cannot replace what the path
// names (a device, a pipe, a socket), where the file has more than one hard
// link (every name must see the new archive), where the path's link names no
// file that can be reached again, and where the directory refuses new files
// for want of permission, it is written in place instead, as the file itself.
struct new_archive {
    int fd;             // where the build writes
    int dir_fd;         // the directory the archive lies in; -1 when unknown
    char *name;         // its name there, once every link at the path's end is followed
    char *temp_path;    // the new file, as the path names its directory; null in place
    const char *temp_name;  // the new file's name in dir_fd, within temp_path
    file_id ids[2];     // the file written and the one it replaces, never members
    size_t id_count;
    file_id dir_id;     // the identity of dir_fd's directory
    int attributes_errno;   // why the old file's mode or group was not taken over, or 0
};

// Opens a new archive for path, which the process must be allowed to write,
// with the old file's mode, owner and group as far as it may; removed at exit
// or on a signal until committed or discarded. Returns 0, or -1 with errno set.
int open_new_archive(const char *path, new_archive &archive);

// Returns what a build must never take as a member: the files archive writes
// and replaces, and whatever lies at its name in its directory.
build_skips skips_of(const new_archive &archive);

// What commit_new_archive gives; errno tells why when it is not COMMIT_DONE.
constexpr int COMMIT_DONE = 0;
constexpr int COMMIT_LEFT_BEHIND = 1;      // in place, but the new file, at temp_path until
                                           // discard_new_archive, could not be removed
constexpr int COMMIT_WRITE_FAILED = -1;    // closing the new file failed; the old one is kept
constexpr int COMMIT_REPLACE_FAILED = -2;  // it could not be put in place; the old one is kept

// Closes the complete archive and puts it in place of the old one, by a
// rename or, where that is refused, a copy in place. Returns one of the above.
int commit_new_archive(new_archive &archive);

// Closes and removes the new file, leaving the old archive as it was, or, in
// place, leaves what was written. Returns nothing.
void discard_new_archive(new_archive &archive);
