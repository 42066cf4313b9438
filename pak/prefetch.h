// Reading ahead of the copy: while one member is copied, the kernel fetches
// the next members from the disk, so a tree that is not in the page cache is
// read with many requests in flight instead of one file at a time.
#pragma once

#include <cstdint>
#include <cstdio>

#include "pak/format.h"

// The read-ahead state of one build over the walk's record list. Only
// records[i].name and data_length are read; the list is not changed.
struct member_readahead {
    const pak_record *records;
    uint64_t count;
    uint64_t next;        // the first member not yet looked at ahead
    uint64_t depth;       // how many members may be looked at ahead
    bool active;          // reading ahead, or only sampling whether to
    unsigned cached_run;  // members in a row found already in the cache
    unsigned long batch;  // the kernel's context for batched probes; 0: none yet
};

// Starts read-ahead over the count records of records, not yet reading ahead:
// the first member taken tells whether the tree is in the cache.
void readahead_start(member_readahead &ahead, const pak_record *records, uint64_t count);

// Opens member index for reading, by its name, without waiting (a named pipe
// put in its place opens at once), after asking the kernel for the data of
// the members that come next. Members must be taken in list order. Looking ahead never reports anything and leaves no
// descriptor open: a member that cannot be opened ahead is skipped there and
// fails here, at its turn, with the open's errno. The kernel context the
// probes are batched through is released with the last member. Returns the
// open stream, or null with errno set.
FILE *readahead_open(member_readahead &ahead, uint64_t index);
