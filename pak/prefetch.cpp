#include "pak/prefetch.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "pak/config.h"
#include "pak/member.h"

#if PAKWRIGHT_READAHEAD_AIO
#include <linux/aio_abi.h>
#include <sys/syscall.h>
#endif
#if PAKWRIGHT_READAHEAD_AIO || PAKWRIGHT_READAHEAD_NOWAIT
#include <sys/uio.h>
#endif

namespace {

// How many members are asked for ahead of the one being copied, at most. One
// thread waits for each member's inode as it looks ahead, so the window must
// be deep enough that the disk always has the data of many members queued;
// deeper only holds more of the cache. Each member looked at ahead holds a
// descriptor for a moment, so the window is never more than a quarter of the
// process's descriptor limit.
constexpr uint64_t READAHEAD_MEMBERS = 32;
constexpr uint64_t READAHEAD_NOFILE_SHARE = 4;

// How much of one member is asked for ahead. The rest of a large member is
// left to the kernel's own read-ahead once the copy reads it in order, so one
// large member cannot crowd out the small ones behind it.
constexpr off_t READAHEAD_MEMBER_BYTES = 4 << 20;

// After this many members in a row that were in the cache already, the tree
// is taken to be cached and looking ahead stops, since each look costs
// system calls that a cached member does not repay.
constexpr unsigned CACHED_RUN_TO_STOP = 64;

// While not reading ahead, one member in this many is looked at to notice a
// part of the tree that is not in the cache.
constexpr uint64_t SAMPLE_EVERY = 64;

// Asks for the start of the member open as fd, of size bytes, as far as
// reading ahead goes.
void ask_for(int fd, off_t size)
{
#if PAKWRIGHT_HAVE_POSIX_FADVISE
    posix_fadvise(fd, 0, std::min<off_t>(size, READAHEAD_MEMBER_BYTES), POSIX_FADV_WILLNEED);
#else
    (void)fd;
    (void)size;
#endif
}

#if PAKWRIGHT_READAHEAD_AIO || PAKWRIGHT_READAHEAD_NOWAIT
// How much of a member the cache probe asks for. A read that may not wait
// still starts the kernel's read-ahead where the data is missing, sized from
// the read's length; this much makes that one request cover most members
// whole (up to four times as much).
constexpr size_t PROBE_BYTES = 128 * 1024;

// Where probes put what they read; nothing reads it.
char probe_buffer[PROBE_BYTES];

// The length a probe of a member of size bytes asks for.
size_t probe_length(off_t size)
{
    return static_cast<size_t>(std::min<off_t>(size, PROBE_BYTES));
}

// Notes whether a member's start was found in the cache, and when it was not,
// asks for the rest of what is read ahead of it.
void note_probe(member_readahead &ahead, int fd, off_t size, bool cached)
{
    if (cached) {
        ++ahead.cached_run;
        return;
    }
    ahead.cached_run = 0;
    ahead.active = true;
    if (size > static_cast<off_t>(PROBE_BYTES))
        ask_for(fd, size);
}

// Probes one member with a read that may not wait (RWF_NOWAIT): it completes
// from the cache or fails at once with EAGAIN, having started the kernel's
// read-ahead for what is missing.
void probe_alone(member_readahead &ahead, int fd, off_t size)
{
    iovec vec = {probe_buffer, probe_length(size)};
    note_probe(ahead, fd, size, preadv2(fd, &vec, 1, 0, RWF_NOWAIT) == static_cast<ssize_t>(vec.iov_len));
}
#endif

#if PAKWRIGHT_READAHEAD_AIO
// The batch context of a system that cannot make one.
constexpr unsigned long NO_BATCH = ~0UL;

// Probes the n members open as fds, whose sizes are in sizes, with reads that
// may not wait, all handed to the kernel in one call (Linux AIO, io_submit) so
// that the requests they start reach the disk together: where each request
// handed to a virtual disk alone costs a switch to the host, batching them
// saves about as much as reading ahead does. A read that may not wait
// completes as it is submitted. Falls back to one probe per member when the
// batch cannot be had or submitted.
void probe(member_readahead &ahead, const int *fds, const off_t *sizes, long n)
{
    // The context is made when there is first a batch to submit, so a run
    // over a cached tree does not make one.
    if (n > 1 && ahead.batch == 0) {
        aio_context_t context = 0;
        ahead.batch = syscall(SYS_io_setup, READAHEAD_MEMBERS, &context) == 0 ? context : NO_BATCH;
    }
    iocb blocks[READAHEAD_MEMBERS];
    iocb *queue[READAHEAD_MEMBERS];
    long submitted = 0;
    if (n > 1 && ahead.batch != NO_BATCH) {
        for (long k = 0; k < n; ++k) {
            blocks[k] = iocb{};
            blocks[k].aio_data = static_cast<uint64_t>(k);
            blocks[k].aio_lio_opcode = IOCB_CMD_PREAD;
            blocks[k].aio_fildes = static_cast<uint32_t>(fds[k]);
            blocks[k].aio_buf = reinterpret_cast<uint64_t>(probe_buffer);
            blocks[k].aio_nbytes = probe_length(sizes[k]);
            blocks[k].aio_rw_flags = RWF_NOWAIT;
            queue[k] = &blocks[k];
        }
        submitted = std::max(0L, syscall(SYS_io_submit, ahead.batch, n, queue));
        io_event events[READAHEAD_MEMBERS];
        for (long got = 0; got < submitted;) {
            long more = syscall(SYS_io_getevents, ahead.batch, submitted - got, submitted - got,
                                events, nullptr);
            if (more <= 0)
                break;
            for (long e = 0; e < more; ++e) {
                long k = static_cast<long>(events[e].data);
                note_probe(ahead, fds[k], sizes[k],
                           events[e].res == static_cast<int64_t>(blocks[k].aio_nbytes));
            }
            got += more;
        }
    }
    for (long k = submitted; k < n; ++k)
        probe_alone(ahead, fds[k], sizes[k]);
}

// Releases the batch context once nothing follows.
void release(member_readahead &ahead)
{
    if (ahead.batch != 0 && ahead.batch != NO_BATCH)
        syscall(SYS_io_destroy, ahead.batch);
    ahead.batch = NO_BATCH;
}
#elif PAKWRIGHT_READAHEAD_NOWAIT
// Probes each of the n members open as fds on its own.
void probe(member_readahead &ahead, const int *fds, const off_t *sizes, long n)
{
    for (long k = 0; k < n; ++k)
        probe_alone(ahead, fds[k], sizes[k]);
}

void release(member_readahead &) {}
#else
// Without a way to probe the cache, every member ahead is asked for.
void probe(member_readahead &ahead, const int *fds, const off_t *sizes, long n)
{
    ahead.active = true;
    for (long k = 0; k < n; ++k)
        ask_for(fds[k], sizes[k]);
}

void release(member_readahead &) {}
#endif

// Looks ahead at members [from, to): opens each that is a regular file, the
// same way its turn will, probes or asks for their data, and closes them.
void look_ahead(member_readahead &ahead, uint64_t from, uint64_t to)
{
    int fds[READAHEAD_MEMBERS];
    off_t sizes[READAHEAD_MEMBERS];
    long n = 0;
    for (uint64_t i = from; i < to; ++i) {
        struct stat st;
        int fd = open_member(ahead.records[i].name, st);
        if (fd < 0)
            continue;
        fds[n] = fd;
        sizes[n++] = st.st_size;
    }
    probe(ahead, fds, sizes, n);
    for (long k = 0; k < n; ++k)
        close(fds[k]);
}

}  // namespace

void readahead_start(member_readahead &ahead, const member_list &list)
{
    ahead = {list.records, std::min(list.count, list.first_cut), 0, READAHEAD_MEMBERS, false, 0, 0};
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
    // Nothing follows the last member: what reading ahead holds goes with it.
    if (index + 1 >= ahead.count)
        release(ahead);
}
