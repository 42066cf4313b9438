// The archive file a build writes: a new file beside the one it replaces,
// renamed over it only once it is complete, so that a build that fails, or
// that a signal ends, leaves the old archive exactly as it was.
#pragma once

#include "pak/walk.h"

// A new archive being written. Where a rename cannot replace what the path
// names (a device, a pipe, a socket), where the file has more than one hard
// link (every name must see the new archive), and where no new file can be
// made in its directory, it is written in place instead, as the file itself.
struct new_archive {
    int fd;             // where the build writes
    int dir_fd;         // the directory the archive lies in; -1 when unknown
    char *name;         // its name there, once every link at the path's end is followed
    char *temp_name;    // the new file's name there; null when written in place
    file_id ids[2];     // the file written and the one it replaces, never members
    size_t id_count;
};

// Opens a new archive for path, taken from the working directory. A file
// that exists at path must be one the process may write, or it is refused
// with the open's error, whether or not it would be replaced. The new file
// has the permission bits of the file it replaces, and its owner and group
// where the process may set them; a new archive has 0666 less the
// file-creation mask. Until it is committed or discarded, the new file is
// removed when the process exits or a signal ends it (the signal then ends
// the process as it would have). Returns 0, or -1 with errno set when the
// archive cannot be opened; nothing is left behind then.
int open_new_archive(const char *path, new_archive &archive);

// Closes the complete archive and puts it in place of the old one. Returns
// 0, or -1 with errno set when closing or renaming failed; the new file is
// then removed and the old one left as it was.
int commit_new_archive(new_archive &archive);

// Closes and removes the new file, leaving the old archive as it was, or, in
// place, leaves what was written. Returns nothing.
void discard_new_archive(new_archive &archive);
