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

// The members a walk found, in the archive's order: a record each, its path
// in name and both numbers 0. A path cut to fit a name may name another file:
// the member at first_cut, the first so cut, or none (NO_CUT), is never opened.
struct member_list {
    pak_record *records;
    uint64_t count;
    uint64_t first_cut;
};

// What collect_files gives.
constexpr int WALK_COMPLETE = 1;        // every file below was taken
constexpr int WALK_LEFT_OUT = 0;        // a directory below could not be entered or read
constexpr int WALK_TOP_UNREADABLE = -1; // the working directory could not be read at all

// Appends a member for every file below the working directory, depth first,
// but for names that begin with "." and what skip names; what it cannot read,
// and what is neither file nor directory, is reported. Returns one of the
// above; ends the process with -1 when memory or the way back up is lost.
int collect_files(member_list &list, const build_skips &skip);
