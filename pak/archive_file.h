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

// Opens a new archive for path, taken from the working directory. A file
// that exists at path must be one the process may write, or it is refused
// with the open's error. The new file takes the mode, owner and group of the
// file it replaces as far as the process may (attributes_errno tells what
// failed); a new archive has 0666 less the file-creation mask. Until it is
// committed or discarded, the new file is removed when the process exits or a
// signal ends it. Returns 0, or -1 with errno set; nothing is left behind then.
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

// Closes the complete archive and puts it in place of the old one: by a
// rename, or, where the rename is refused (a mount point, a sticky or
// append-only directory, another file system), by copying it over the old
// file in place, ending signals held meanwhile. Returns one of the above.
int commit_new_archive(new_archive &archive);

// Closes and removes the new file, leaving the old archive as it was, or, in
// place, leaves what was written. Returns nothing.
void discard_new_archive(new_archive &archive);
