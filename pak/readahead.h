// Reading ahead of the copy: while one member is copied, the kernel fetches
// the next members from the disk, so a tree that is not in the page cache is
// read with many requests in flight instead of one file at a time. It asks
// with posix_fadvise alone; while the process reads nothing from storage,
// the tree is in the cache and it asks for nothing. It only ever costs time:
// nothing it does is seen in the archive or the listing.
#pragma once

#include <cstdint>

#include "pak/walk.h"

// The read-ahead state of one build over the walk's member list, which it
// reads and never changes.
struct member_readahead {
    const pak_record *records;
    uint64_t count;        // the members that may be looked at: none from the first cut one on
    uint64_t next;         // the first member not yet looked at ahead
    uint64_t depth;        // how many members may be looked at ahead
    bool active;           // reading ahead, while the tree is read from storage
    uint64_t next_check;   // the member at whose turn the blocks read are looked at again
    unsigned long blocks;  // blocks read from storage when they were last looked at
};

// Starts read-ahead over the members of list. blocks is what blocks_read
// gave before the walk: a walk that read the tree's directories from storage
// starts reading ahead at once; otherwise the first members taken tell.
void readahead_start(member_readahead &ahead, const member_list &list, unsigned long blocks);

// Asks the kernel for the data of the members after index, which is about to
// be copied, while the build reads from storage; members come in list order.
void readahead_before(member_readahead &ahead, uint64_t index);
