// The directory walk that gathers the members of a new archive.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "pak/format.h"

// Until the builder measures a member, a record's data_length is 0, or this
// value when the member's path was longer than a name holds and name keeps
// only its first PAK_NAME_MAX bytes. Such a member is never opened by its cut
// path, which may name another file.
constexpr uint32_t PAK_PATH_CUT = UINT32_MAX;

// Appends a record for every file below the working directory, depth first
// in the order the system lists each directory. Names that begin with "."
// are passed over with everything below them, and so is the file whose
// identity is archive (when not null), wherever it lies. Directories that
// cannot be entered, that lead back to a directory on the walk's path, and
// entries that are neither files nor directories are reported and skipped.
//
// The walk keeps its path on the heap, not the stack, and holds at most one
// descriptor per level, and only for a level that ".." does not lead back
// from (one reached through a link from elsewhere); those stay within half
// the descriptor limit. So no depth of tree exhausts the stack or the
// descriptors. The working directory is the same on return.
//
// Returns 1 when the working directory was read to its end, -1 when it could
// not be read. Ends the process with status -1 when memory runs out or the
// way back up the tree is lost.
int collect_files(pak_record *&records, uint64_t &count, const struct stat *archive);
