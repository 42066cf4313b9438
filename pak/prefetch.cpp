#include "pak/prefetch.h"

#include <fcntl.h>
#include <linux/aio_abi.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "pak/walk.h"

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

// How much of a member the cache probe asks for. A read that may not wait
// still starts the kernel's read-ahead where the data is missing, sized from
// the read's length; this much makes that one request cover most members
// whole (up to four times as much).
constexpr size_t PROBE_BYTES = 128 * 1024;

// The batch context of a system that cannot make one.
constexpr unsigned long NO_BATCH = ~0UL;

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
        posix_fadvise(fd, 0, std::min<off_t>(size, READAHEAD_MEMBER_BYTES), POSIX_FADV_WILLNEED);
}

// Opens the member at path for reading without waiting: a named pipe put
// where the walk saw a plain file opens at once, and the size it shows, 0,
// is what is copied. Reads of a plain file do not heed O_NONBLOCK. Returns
// the descriptor, or -1 with errno set.
int open_member(const char *path)
{
    return open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// Opens member index ahead of its turn, without waiting should the walk's
// plain file now be a pipe or device; returns the descriptor and its size, or
// -1 when it is not opened or not a plain file. A cut path is never opened.
int open_ahead(const member_readahead &ahead, uint64_t index, off_t &size)
{
    const pak_record &record = ahead.records[index];
    if (record.data_length == PAK_PATH_CUT)
        return -1;
    int fd = open_member(record.name);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    size = st.st_size;
    return fd;
}

// Looks ahead at members [from, to): opens each, probes whether its start is
// in the cache with reads that may not wait, all handed to the kernel in one
// call so that the requests they start reach the disk together, then closes
// them. A member that cannot be looked at is skipped: its open is tried again,
// and a failure reported, at its turn. Falls back to one probe per member when
// the batch cannot be submitted.
void look_ahead(member_readahead &ahead, uint64_t from, uint64_t to)
{
    int fds[READAHEAD_MEMBERS];
    off_t sizes[READAHEAD_MEMBERS];
    iocb blocks[READAHEAD_MEMBERS];
    iocb *queue[READAHEAD_MEMBERS];
    long n = 0;
    for (uint64_t i = from; i < to; ++i) {
        int fd = open_ahead(ahead, i, sizes[n]);
        if (fd < 0)
            continue;
        fds[n] = fd;
        blocks[n] = iocb{};
        blocks[n].aio_data = static_cast<uint64_t>(n);
        blocks[n].aio_lio_opcode = IOCB_CMD_PREAD;
        blocks[n].aio_fildes = static_cast<uint32_t>(fd);
        blocks[n].aio_buf = reinterpret_cast<uint64_t>(probe_buffer);
        blocks[n].aio_nbytes = probe_length(sizes[n]);
        blocks[n].aio_rw_flags = RWF_NOWAIT;
        queue[n] = &blocks[n];
        ++n;
    }
    // The context is made when there is first a batch to submit, so a run
    // over a cached tree does not make one.
    if (n > 1 && ahead.batch == 0) {
        aio_context_t context = 0;
        ahead.batch = syscall(SYS_io_setup, READAHEAD_MEMBERS, &context) == 0 ? context : NO_BATCH;
    }
    long submitted = 0;
    if (n > 1 && ahead.batch != NO_BATCH) {
        submitted = syscall(SYS_io_submit, ahead.batch, n, queue);
        if (submitted < 0)
            submitted = 0;
        // A read that may not wait completes as it is submitted.
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
    for (long k = submitted; k < n; ++k) {
        iovec vec = {probe_buffer, probe_length(sizes[k])};
        note_probe(ahead, fds[k], sizes[k],
                   preadv2(fds[k], &vec, 1, 0, RWF_NOWAIT) == static_cast<ssize_t>(vec.iov_len));
    }
    for (long k = 0; k < n; ++k)
        close(fds[k]);
}

}  // namespace

void readahead_start(member_readahead &ahead, const pak_record *records, uint64_t count)
{
    ahead = {records, count, 0, READAHEAD_MEMBERS, false, 0, 0};
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        ahead.depth = std::min<uint64_t>(ahead.depth, limit.rlim_cur / READAHEAD_NOFILE_SHARE);
}

FILE *readahead_open(member_readahead &ahead, uint64_t index)
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
    // Nothing follows the last member: the batch context goes with it.
    if (index + 1 >= ahead.count && ahead.batch != 0 && ahead.batch != NO_BATCH) {
        syscall(SYS_io_destroy, ahead.batch);
        ahead.batch = NO_BATCH;
    }
    int fd = open_member(ahead.records[index].name);
    if (fd < 0)
        return nullptr;
    FILE *member = fdopen(fd, "r");
    if (!member) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return member;
}
