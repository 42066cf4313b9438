#include "pak/prefetch.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "pak/system.h"

namespace {

// How many members are asked for ahead of the one being copied, at most. One
// thread waits for each member's inode as it looks ahead, so the window must
// be deep enough that the disk always has the data of many members queued;
// deeper only holds more of the cache. Each member looked at ahead holds a
// descriptor for a moment, so the window is never more than a quarter of the
// process's descriptor limit.
constexpr uint64_t READAHEAD_MEMBERS = 32;
constexpr uint64_t READAHEAD_NOFILE_SHARE = 4;

// After this many members in a row that were in the cache already, the tree
// is taken to be cached and looking ahead stops, since each look costs
// system calls that a cached member does not repay.
constexpr unsigned CACHED_RUN_TO_STOP = 64;

// While not reading ahead, one member in this many is looked at to notice a
// part of the tree that is not in the cache.
constexpr uint64_t SAMPLE_EVERY = 64;

// Looks ahead at members [from, to): opens each that is a regular file, the
// same way its turn will, probes whether its data is cached, asks for what
// is not, and closes them. Where the cache cannot be probed, every member's
// data is asked for.
void look_ahead(member_readahead &ahead, uint64_t from, uint64_t to)
{
    int fds[READAHEAD_MEMBERS] = {};
    off_t sizes[READAHEAD_MEMBERS] = {};
    bool cached[READAHEAD_MEMBERS] = {};
    long n = 0;
    for (uint64_t i = from; i < to; ++i) {
        struct stat st;
        int fd = open_member(ahead.records[i].name, st);
        if (fd < 0)
            continue;
        fds[n] = fd;
        sizes[n++] = st.st_size;
    }
    bool probed = probe_cache(ahead.probes, fds, sizes, cached, n);
    for (long k = 0; k < n; ++k) {
        if (probed && cached[k]) {
            ++ahead.cached_run;
        } else {
            ahead.cached_run = 0;
            ahead.active = true;
            // A probe that missed has already asked for its own part.
            if (!probed || sizes[k] > static_cast<off_t>(PROBE_BYTES))
                ask_for_data(fds[k], sizes[k]);
        }
        close(fds[k]);
    }
}

}  // namespace

void readahead_start(member_readahead &ahead, const member_list &list)
{
    ahead = {list.records, std::min(list.count, list.first_cut), 0, READAHEAD_MEMBERS, false, 0, {}};
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        ahead.depth = std::min<uint64_t>(ahead.depth, limit.rlim_cur / READAHEAD_NOFILE_SHARE);
}

void readahead_before(member_readahead &ahead, uint64_t index)
{
    if (ahead.active) {
        // Refilled by halves, so each batch is large.
        if (ahead.next <= index + ahead.depth / 2) {
            uint64_t from = std::max(ahead.next, index + 1);
            uint64_t to = std::min(ahead.count, index + 1 + ahead.depth);
            if (from < to)
                look_ahead(ahead, from, to);
            ahead.next = std::max(from, to);
        }
        if (ahead.cached_run >= CACHED_RUN_TO_STOP)
            ahead.active = false;
    } else if (index % SAMPLE_EVERY == 0 && index + 1 < ahead.count) {
        ahead.cached_run = 0;
        look_ahead(ahead, index + 1, index + 2);
        ahead.next = index + 2;
    }
    // Nothing follows the last member: what probing holds goes with it.
    if (index + 1 >= ahead.count)
        release_probes(ahead.probes);
}
