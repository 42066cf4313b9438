#include "pak/prefetch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "pak/system.h"

namespace {

// How many members are asked for ahead of the one being copied, at most. One
// thread waits for each member's inode as it looks ahead, so the window must
// be deep enough that the disk always has the data of many members queued;
// deeper only holds more of the cache. Members are looked at one at a time,
// so looking ahead holds one descriptor for a moment.
constexpr uint64_t READAHEAD_MEMBERS = 32;

// How often, in members, the process's count of blocks read from storage is
// looked at: often while not reading ahead, so that a tree that is not in
// the cache is noticed within a few members; less often while reading ahead.
// A stretch of members that read nothing from storage shows the tree to be
// in the cache, where reading ahead would cost system calls for nothing.
constexpr uint64_t CHECK_IDLE = 32;
constexpr uint64_t CHECK_ACTIVE = 64;

// Looks ahead at members [from, to): opens each that is a regular file, the
// same way its turn will, asks for the start of its data, and closes it.
void look_ahead(const member_readahead &ahead, uint64_t from, uint64_t to)
{
    for (uint64_t i = from; i < to; ++i) {
        struct stat st;
        int fd = open_member(ahead.records[i].name, st);
        if (fd < 0)
            continue;
        ask_for_data(fd, st.st_size);
        close(fd);
    }
}

}  // namespace

void readahead_start(member_readahead &ahead, const member_list &list, unsigned long blocks)
{
    ahead = {list.records, std::min(list.count, list.first_cut), 0, false, 0, blocks};
}

void readahead_before(member_readahead &ahead, uint64_t index)
{
    if (index >= ahead.next_check) {
        unsigned long blocks = blocks_read();
        ahead.active = blocks != ahead.blocks;
        ahead.blocks = blocks;
        ahead.next_check = index + (ahead.active ? CHECK_ACTIVE : CHECK_IDLE);
    }
    // Refilled by halves, so that the disk is handed many requests at once.
    if (ahead.active && ahead.next <= index + READAHEAD_MEMBERS / 2) {
        uint64_t from = std::max(ahead.next, index + 1);
        uint64_t to = std::min(ahead.count, index + 1 + READAHEAD_MEMBERS);
        if (from < to)
            look_ahead(ahead, from, to);
        ahead.next = std::max(from, to);
    }
}
