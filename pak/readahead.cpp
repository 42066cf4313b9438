#include "pak/readahead.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "pak/system.h"

namespace {

// How many members are asked for ahead of the one being copied, at most. One
// thread waits for each member's inode as it looks ahead, so the window must
// be deep enough that the disk always has the data of many members queued;
// deeper only holds more of the cache. The members looked at ahead are held
// open together for a moment, so the window is never more than a quarter of
// the process's descriptor limit.
constexpr uint64_t READAHEAD_MEMBERS = 32;
constexpr uint64_t READAHEAD_NOFILE_SHARE = 4;

// How often, in members, the process's count of blocks read from storage is
// looked at: often while not reading ahead, so that a tree that is not in
// the cache is noticed within a few members; less often while reading ahead.
// A stretch of members that read nothing from storage shows the tree to be
// in the cache, where reading ahead would cost system calls for nothing.
constexpr uint64_t CHECK_IDLE = 32;
constexpr uint64_t CHECK_ACTIVE = 64;

// Looks ahead at members [from, to): opens each that is a regular file, the
// same way its turn will, then asks for the start of each one's data, and
// closes them. Asking only once all are open hands the disk the requests
// together rather than one between each member's inode reads.
void look_ahead(const member_readahead &ahead, uint64_t from, uint64_t to)
{
    int fds[READAHEAD_MEMBERS] = {};
    off_t sizes[READAHEAD_MEMBERS] = {};
    size_t n = 0;
    for (uint64_t i = from; i < to; ++i) {
        struct stat st;
        int fd = open_member(ahead.records[i].name, st);
        if (fd < 0)
            continue;
        fds[n] = fd;
        sizes[n++] = st.st_size;
    }
    for (size_t k = 0; k < n; ++k)
        ask_for_data(fds[k], sizes[k]);
    for (size_t k = 0; k < n; ++k)
        close(fds[k]);
}

}  // namespace

void readahead_start(member_readahead &ahead, const member_list &list, unsigned long blocks)
{
    ahead = {list.records, std::min(list.count, list.first_cut), 0, READAHEAD_MEMBERS, false, 0, blocks};
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        ahead.depth = std::min<uint64_t>(ahead.depth, limit.rlim_cur / READAHEAD_NOFILE_SHARE);
}

// Looking ahead never reports anything and leaves no descriptor open: a
// member that cannot be opened ahead is passed over, and its open fails at
// its turn.
void readahead_before(member_readahead &ahead, uint64_t index)
{
    if (index >= ahead.next_check) {
        unsigned long blocks = blocks_read();
        ahead.active = blocks != ahead.blocks;
        ahead.blocks = blocks;
        ahead.next_check = index + (ahead.active ? CHECK_ACTIVE : CHECK_IDLE);
    }
    // Refilled by halves, so that the disk is handed many requests at once.
    if (ahead.active && ahead.next <= index + ahead.depth / 2) {
        uint64_t from = std::max(ahead.next, index + 1);
        uint64_t to = std::min(ahead.count, index + 1 + ahead.depth);
        if (from < to)
            look_ahead(ahead, from, to);
        ahead.next = std::max(from, to);
    }
}
