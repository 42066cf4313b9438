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
constexpr int WALK_TOP_UNREADABLE = -1; // the working directory itself could not be read

// Appends a member for every file below the working directory, depth first
// in the order the system lists each directory. Names that begin with "."
// are passed over with everything below them, and so are the skip_count
// files whose identities skip holds (the archive being written and the one
// it replaces), wherever they lie. Directories that cannot be entered or
// read are reported, skipped and make the walk give WALK_LEFT_OUT; entries
// that are neither files nor directories, and directories that lead back to
// one on the walk's path, are reported and skipped by design.
//
// The walk keeps its path on the heap, not the stack, and holds at most one
// descriptor per level, and only for a level that ".." does not lead back
// from (one reached through a link from elsewhere); those stay within half
// the descriptor limit. Each level holds its directory's entries in a buffer
// of just their size, so a chain of directories costs about a hundred bytes
// a level. So no depth of tree exhausts the stack, the descriptors or memory.
// The working directory is the same on return.
//
// Returns WALK_COMPLETE, WALK_LEFT_OUT or WALK_TOP_UNREADABLE. Ends the
// process with status -1 when memory runs out or the way back up the tree is
// lost.
int collect_files(member_list &list, const file_id *skip, size_t skip_count);
