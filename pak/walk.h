// The directory walk that gathers the members of a new archive.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "pak/format.h"

// A file's identity: the device and inode numbers that tell it from every
// other file at the same moment.
struct file_id {
    dev_t dev;
    ino_t ino;
};

// Returns whether st is the identity of one of the count files in ids.
bool is_one_of(const file_id *ids, size_t count, const struct stat &st);

// The files a build never takes as members: the archive being written and
// the one it replaces, by identity, and whatever lies at the archive's name
// in its directory when the walk gets there.
struct build_skips {
    const file_id *ids;
    size_t id_count;
    file_id dir;       // the archive's directory
    const char *name;  // the archive's name there; null when not known
};

// No member's path was cut.
constexpr uint64_t NO_CUT = UINT64_MAX;

// The members a walk found, in walk order, which is the order of their data
// and of the directory in the archive: a record each, with its stored path in
// name, NUL-padded, and both numbers 0. first_cut is the index of the first
// member whose path was longer than a name holds, or NO_CUT: such a name keeps
// only the path's first PAK_NAME_MAX bytes and may name another file, so it
// is never opened.
struct member_list {
    pak_record *records;
    uint64_t count;
    uint64_t first_cut;
};

// What collect_files gives.
constexpr int WALK_COMPLETE = 1;        // every file below was taken
constexpr int WALK_LEFT_OUT = 0;        // a directory below could not be entered or read
constexpr int WALK_TOP_UNREADABLE = -1; // the working directory could not be read at all

// Appends a member for every file below the working directory, depth first
// in the order the system lists each directory, passing over names that
// begin with "." and the files skip names. Directories that cannot be
// entered or read in full are reported, their entries read before a failure
// kept, and make the walk give WALK_LEFT_OUT; entries that are neither files
// nor directories, and directories that lead back to one on the walk's path,
// are reported and skipped by design. The walk holds no descriptor per level
// but for levels reached through links from elsewhere (within half the
// limit), keeps its path on the heap, and ends where it began. Returns
// WALK_COMPLETE, WALK_LEFT_OUT or WALK_TOP_UNREADABLE (reported; nothing
// appended). Ends the process with status -1 when memory runs out or the way
// back up the tree is lost.
int collect_files(member_list &list, const build_skips &skip);
