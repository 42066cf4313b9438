// The directory walk that gathers the members of a new archive.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "pak/format.h"

// Until the builder measures a member, a record's data_length is 0, or this
// value when the member's path was longer than a name holds and name keeps
// only its first PAK_NAME_MAX bytes. Such a member is never opened by its cut
// path, which may name another file.
constexpr uint32_t PAK_PATH_CUT = UINT32_MAX;

// One directory on the path from the top of the walk down to the directory
// being read; the chain lets the walk recognise a directory it is already in.
struct walk_level {
    dev_t dev;
    ino_t ino;
    size_t path_length;        // of its whole relative path; 0 at the top
    const walk_level *parent;  // null at the top
};

// Reads the working directory, whose stored path is dir_path (null or empty
// at the top) and whose identity is level, and appends a record for every
// file below it, depth first in the order the system lists each directory.
// Names that begin with "." are passed over with everything below them.
// Directories that cannot be entered, that lead back to a directory on the
// walk's path, and entries that are neither files nor directories are
// reported and skipped. The working directory is the same on return.
// Returns 1 when the directory was read to its end, -1 when it could not be
// read. Ends the process with status -1 when the record list cannot grow.
int collect_files(const char *dir_path, pak_record *&records, uint64_t &count,
                  const walk_level &level);
