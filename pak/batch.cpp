#include "pak/batch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pak/config.h"
#include "pak/copy.h"
#include "pak/read.h"
#include "pak/system.h"

#if PAKWRIGHT_HAVE_IO_URING
#include <liburing.h>
#include <linux/openat2.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>

namespace {

// Members in a batch at most. Each batch holds its members open together
// with those of the last batch, waiting to be closed, so a batch is never
// more than an eighth of the descriptor limit. 64 saves nearly every trip;
// 16 and 256 measured slower and no faster.
constexpr unsigned BATCH_MEMBERS = 64;
constexpr uint64_t BATCH_NOFILE_SHARE = 8;
// Below this many members, setting up the ring costs more than it saves.
constexpr uint64_t BATCH_MIN_MEMBERS = 2;
// The data of members up to this size is read in the batch too, into one
// buffer of this many bytes.
constexpr uint64_t BATCH_READ_MEMBER_MAX = 16 * 1024;
constexpr size_t BATCH_READ_BYTES = 256 * 1024;
// What a completion answers, in the high half of its tag; its slot is in
// the low half.
constexpr uint64_t TAG_OPEN = 1;
constexpr uint64_t TAG_STATUS = 2;
constexpr uint64_t TAG_READ = 3;
constexpr uint64_t TAG_AFTER = 4;
constexpr uint64_t TAG_CLOSE = 5;
constexpr uint64_t TAG_WRITE = 6;
// A slot whose descriptor was handed out or never opened, or an operation
// not asked for.
constexpr int SLOT_EMPTY = -ECANCELED;

}  // namespace

// Members are opened in batches: all opens of a batch in one trip; then the
// status of each member opened, from its descriptor, in another; then the
// data of the small ones, each read followed by its status again, in a
// third. The closes of the members copied go with the next batch's opens.
struct batch_ring {
    io_uring ring;
    open_how how;       // as open_member opens a member without links
    unsigned size;      // members in a full batch
    uint64_t first;     // the member in slot 0
    unsigned filled;    // slots of this batch
    unsigned taken;     // slots handed out, in order
    unsigned close_count;
    bool broken;        // the ring failed: every member left is opened at its turn
    struct slot {
        int fd;          // the open's result: a descriptor, or minus the error
        int status;      // the status's result: 0, or minus the error
        int read;        // the bytes the read gave, or minus the error
        int after;       // the result of the status after the read
        size_t data_at;  // where the data read lies in data
        struct statx stx;
        struct statx stx_after;
    } slots[BATCH_MEMBERS];
    const slot *handed;  // the slot last handed out whole, or null
    int closes[BATCH_MEMBERS];
    char data[BATCH_READ_BYTES];
};

namespace {

batch_ring the_ring;

// Submits what is queued and takes expected completions, each to its slot.
// Returns whether all came.
bool complete(batch_ring &b, unsigned expected)
{
    int submitted;
    do
        submitted = io_uring_submit_and_wait(&b.ring, expected);
    while (submitted == -EINTR);
    if (submitted < 0)
        return false;
    for (unsigned got = 0; got < expected;) {
        io_uring_cqe *cqe;
        int waited = io_uring_wait_cqe(&b.ring, &cqe);
        if (waited == -EINTR)
            continue;
        if (waited < 0)
            return false;
        uint64_t tag = io_uring_cqe_get_data64(cqe);
        batch_ring::slot &slot = b.slots[static_cast<uint32_t>(tag) % BATCH_MEMBERS];
        switch (tag >> 32) {
        case TAG_OPEN:
            slot.fd = cqe->res;
            break;
        case TAG_STATUS:
            slot.status = cqe->res;
            break;
        case TAG_READ:
            slot.read = cqe->res;
            break;
        case TAG_AFTER:
            slot.after = cqe->res;
            break;
        default:
            break;
        }
        io_uring_cqe_seen(&b.ring, cqe);
        ++got;
    }
    return true;
}

// Queues op's operation for slot k; returns its entry.
io_uring_sqe *queue(batch_ring &b, uint64_t op, unsigned k)
{
    io_uring_sqe *sqe = io_uring_get_sqe(&b.ring);
    io_uring_sqe_set_data64(sqe, op << 32 | k);
    return sqe;
}

// Queues the closes waiting; returns how many.
unsigned queue_closes(batch_ring &b)
{
    unsigned n = b.close_count;
    for (unsigned k = 0; k < n; ++k)
        io_uring_prep_close(queue(b, TAG_CLOSE, 0), b.closes[k]);
    b.close_count = 0;
    return n;
}

// Gives up the ring after a failure, whose late completions no slot may take:
// what the batch opened is closed, and every member left is opened at its turn.
void abandon(batch_ring &b)
{
    for (unsigned k = 0; k < b.filled; ++k)
        if (b.slots[k].fd >= 0)
            close(b.slots[k].fd);
    b.filled = 0;
    b.broken = true;
}

// Opens the members from index on, a batch of them, reads the status of each
// one opened and the data of the small regular ones. Where the ring fails,
// every slot is left to be opened at its turn.
void fill(member_batch &batch, batch_ring &b, uint64_t index)
{
    b.first = index;
    b.filled = static_cast<unsigned>(std::min<uint64_t>(b.size, batch.count - index));
    b.taken = 0;
    b.handed = nullptr;
    unsigned closes = queue_closes(b);
    for (unsigned k = 0; k < b.filled; ++k) {
        b.slots[k] = {SLOT_EMPTY, SLOT_EMPTY, SLOT_EMPTY, SLOT_EMPTY, 0, {}, {}};
        io_uring_prep_openat2(queue(b, TAG_OPEN, k), AT_FDCWD, batch.records[index + k].name,
                              &b.how);
    }
    if (!complete(b, closes + b.filled)) {
        abandon(b);
        return;
    }
    unsigned ops = 0;
    for (unsigned k = 0; k < b.filled; ++k) {
        if (b.slots[k].fd < 0)
            continue;
        io_uring_prep_statx(queue(b, TAG_STATUS, k), b.slots[k].fd, "",
                            AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS,
                            &b.slots[k].stx);
        ++ops;
    }
    if (!complete(b, ops)) {
        abandon(b);
        return;
    }
    ops = 0;
    size_t used = 0;
    for (unsigned k = 0; k < b.filled; ++k) {
        batch_ring::slot &slot = b.slots[k];
        uint64_t size = slot.stx.stx_size;
        if (slot.fd < 0 || slot.status != 0 || !S_ISREG(slot.stx.stx_mode) || size == 0 ||
            size > BATCH_READ_MEMBER_MAX || size > sizeof b.data - used)
            continue;
        slot.data_at = used;
        used += size;
        // The status after the read follows it, as the copy's check does.
        io_uring_sqe *read = queue(b, TAG_READ, k);
        io_uring_prep_read(read, slot.fd, b.data + slot.data_at, static_cast<unsigned>(size), 0);
        io_uring_sqe_set_flags(read, IOSQE_IO_LINK);
        io_uring_prep_statx(queue(b, TAG_AFTER, k), slot.fd, "",
                            AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS,
                            &slot.stx_after);
        ops += 2;
    }
    if (!complete(b, ops))
        abandon(b);
}

// Returns the status statx gave as stat gives it.
struct stat stat_of(const struct statx &x)
{
    struct stat st = {};
    st.st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    st.st_ino = x.stx_ino;
    st.st_mode = x.stx_mode;
    st.st_nlink = x.stx_nlink;
    st.st_uid = x.stx_uid;
    st.st_gid = x.stx_gid;
    st.st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
    st.st_size = static_cast<off_t>(x.stx_size);
    st.st_blksize = x.stx_blksize;
    st.st_blocks = static_cast<blkcnt_t>(x.stx_blocks);
    st.st_atim = {x.stx_atime.tv_sec, x.stx_atime.tv_nsec};
    st.st_mtim = {x.stx_mtime.tv_sec, x.stx_mtime.tv_nsec};
    st.st_ctim = {x.stx_ctime.tv_sec, x.stx_ctime.tv_nsec};
    return st;
}

// Closes fd at once, keeping errno.
void close_now(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
}

// Returns whether the ring can do every operation a batch asks of it.
bool ring_does_all(io_uring &ring)
{
    io_uring_probe *probe = io_uring_get_probe_ring(&ring);
    if (!probe)
        return false;
    bool all = io_uring_opcode_supported(probe, IORING_OP_OPENAT2) &&
               io_uring_opcode_supported(probe, IORING_OP_STATX) &&
               io_uring_opcode_supported(probe, IORING_OP_READ) &&
               io_uring_opcode_supported(probe, IORING_OP_CLOSE);
    io_uring_free_probe(probe);
    return all;
}

}  // namespace

void batch_start(member_batch &batch, const member_list &list)
{
    batch = {list.records, std::min(list.count, list.first_cut), nullptr};
    uint64_t size = BATCH_MEMBERS;
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        size = std::min<uint64_t>(size, limit.rlim_cur / BATCH_NOFILE_SHARE);
    if (batch.count < BATCH_MIN_MEMBERS || size < 2)
        return;
    batch_ring &b = the_ring;
    // Where the system has no io_uring, or refuses it, members are opened
    // one at a time, as they are everywhere else.
    if (io_uring_queue_init(static_cast<unsigned>(2 * size), &b.ring, 0) != 0)
        return;
    if (!ring_does_all(b.ring)) {
        io_uring_queue_exit(&b.ring);
        return;
    }
    b.how = {};
    b.how.flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    b.how.resolve = RESOLVE_NO_SYMLINKS;
    b.size = static_cast<unsigned>(size);
    b.first = 0;
    b.filled = 0;
    b.taken = 0;
    b.close_count = 0;
    b.broken = false;
    batch.ring = &b;
}

int next_member_opened(member_batch &batch, uint64_t index, struct stat &st)
{
    const char *path = batch.records[index].name;
    if (!batch.ring || batch.ring->broken || index >= batch.count)
        return open_member(path, st);
    batch_ring &b = *batch.ring;
    if (index >= b.first + b.filled)
        fill(batch, b, index);
    if (index < b.first + b.taken || index >= b.first + b.filled)
        return open_member(path, st);
    batch_ring::slot &slot = b.slots[index - b.first];
    b.taken = static_cast<unsigned>(index - b.first) + 1;
    b.handed = nullptr;
    int fd = slot.fd;
    slot.fd = SLOT_EMPTY;
    // Only what opened as a regular file is taken from the batch. Whatever
    // failed, or met a link, is opened again now, the way open_member
    // chooses, so it gives the answer and the message it gives at its turn.
    if (fd >= 0 && slot.status == 0) {
        st = stat_of(slot.stx);
        if (S_ISREG(st.st_mode)) {
            b.handed = &slot;
            return fd;
        }
        close_now(fd);
        return MEMBER_NOT_REGULAR;
    }
    if (fd >= 0)
        close_now(fd);
    return open_member(path, st);
}

bool member_read_ahead(member_batch &batch, member_read &read)
{
    if (!batch.ring || !batch.ring->handed)
        return false;
    const batch_ring::slot &slot = *batch.ring->handed;
    // Only a read that gave the whole member, with its status after, stands
    // for the copy's own; anything else is read again at its turn.
    if (slot.read < 0 || static_cast<uint64_t>(slot.read) != slot.stx.stx_size || slot.after != 0)
        return false;
    read = {batch.ring->data + slot.data_at, static_cast<uint64_t>(slot.read), stat_of(slot.stx_after)};
    return true;
}

void member_done(member_batch &batch, int fd)
{
    if (!batch.ring || batch.ring->broken || batch.ring->close_count == batch.ring->size) {
        close_now(fd);
        return;
    }
    batch.ring->closes[batch.ring->close_count++] = fd;
}

void batch_end(member_batch &batch)
{
    if (!batch.ring)
        return;
    batch_ring &b = *batch.ring;
    int saved = errno;
    // Members opened ahead and never reached are closed unread.
    for (unsigned k = b.taken; k < b.filled; ++k)
        if (b.slots[k].fd >= 0 && b.close_count < b.size)
            b.closes[b.close_count++] = b.slots[k].fd;
        else if (b.slots[k].fd >= 0)
            close(b.slots[k].fd);
    if (!b.broken) {
        b.filled = 0;
        complete(b, queue_closes(b));
    }
    for (unsigned k = 0; k < b.close_count; ++k)
        close(b.closes[k]);
    io_uring_queue_exit(&b.ring);
    errno = saved;
    batch.ring = nullptr;
}

// Members are written in batches: each member file is created, written and
// closed by a chain of operations that runs one after another, member after
// member, as the one-at-a-time path would, and stops at the first that does
// not succeed. Descriptors live in the ring's own table, a slot a member.
struct write_ring {
    io_uring ring;
    open_how how;       // as create_member_file opens a member file beneath
    uint64_t first;     // the member in slot 0
    unsigned filled;    // slots of this batch
    struct slot {
        int open;        // each operation's result, or SLOT_EMPTY where it never ran
        int write;
        int close;
        uint32_t length;
        char path[PAK_NAME_SIZE + 1];  // read by the kernel when the batch is submitted
    } slots[BATCH_MEMBERS];
};

namespace {

write_ring the_write_ring;

// Submits a chain of count operations and takes their completions.
// Returns whether all came.
bool complete_writes(write_ring &w, unsigned count)
{
    int submitted;
    do
        submitted = io_uring_submit_and_wait(&w.ring, count);
    while (submitted == -EINTR);
    if (submitted < 0)
        return false;
    for (unsigned got = 0; got < count;) {
        io_uring_cqe *cqe;
        int waited = io_uring_wait_cqe(&w.ring, &cqe);
        if (waited == -EINTR)
            continue;
        if (waited < 0)
            return false;
        uint64_t tag = io_uring_cqe_get_data64(cqe);
        write_ring::slot &slot = w.slots[static_cast<uint32_t>(tag) % BATCH_MEMBERS];
        if (tag >> 32 == TAG_OPEN)
            slot.open = cqe->res;
        else if (tag >> 32 == TAG_WRITE)
            slot.write = cqe->res;
        else
            slot.close = cqe->res;
        io_uring_cqe_seen(&w.ring, cqe);
        ++got;
    }
    return true;
}

// Returns whether member record may be written in a batch: a file, not a
// directory, whose path stays beneath, with its data at most
// BATCH_READ_MEMBER_MAX bytes.
bool batchable(const pak_record &record, const char *path)
{
    size_t length = strlen(path);
    return length > 0 && path[length - 1] != '/' && !leads_outside(path) &&
           record.data_length <= BATCH_READ_MEMBER_MAX;
}

// Writes the members from index on, as many in a row as can be batched and
// whose data one read of the archive into the copy buffer holds. Members
// whose path leads outside are passed over; they are never written.
void fill_writes(write_batch &batch, write_ring &w, uint64_t index)
{
    w.first = index;
    w.filled = 0;
    // Which members come, and the stretch of the archive that holds their data.
    uint64_t start = 0, end = 0;
    bool reading = false;
    unsigned n = 0;
    for (; n < BATCH_MEMBERS && index + n < batch.held; ++n) {
        pak_record record = decode_record(batch.directory + (index + n) * PAK_RECORD_SIZE);
        char path[PAK_NAME_SIZE + 1];
        memcpy(path, record.name, PAK_NAME_SIZE);
        path[PAK_NAME_SIZE] = '\0';
        if (leads_outside(path))
            continue;
        if (!batchable(record, path))
            break;
        if (record.data_length == 0)
            continue;
        if (!reading) {
            reading = true;
            start = record.data_offset;
        }
        uint64_t member_end = uint64_t{record.data_offset} + record.data_length;
        if (record.data_offset < start || member_end - start > COPY_BUFFER_SIZE)
            break;
        end = std::max(end, member_end);
    }
    copy_result got = {0, COPY_DONE};
    if (reading)
        got = read_full(batch.pak_fd, start, copy_buffer(), static_cast<size_t>(end - start));

    unsigned ops = 0;
    io_uring_sqe *last = nullptr;
    for (unsigned k = 0; k < n; ++k) {
        pak_record record = decode_record(batch.directory + (index + k) * PAK_RECORD_SIZE);
        write_ring::slot &slot = w.slots[k];
        slot.open = slot.write = slot.close = SLOT_EMPTY;
        slot.length = record.data_length;
        memcpy(slot.path, record.name, PAK_NAME_SIZE);
        slot.path[PAK_NAME_SIZE] = '\0';
        w.filled = k + 1;
        if (leads_outside(slot.path))
            continue;
        // Data the archive does not hold, or that could not be read, is
        // left to the member's turn, which reports it.
        if (record.data_length > 0 &&
            uint64_t{record.data_offset} + record.data_length > start + got.copied) {
            w.filled = k;
            break;
        }
        io_uring_sqe *open = io_uring_get_sqe(&w.ring);
        io_uring_prep_openat2_direct(open, AT_FDCWD, slot.path, &w.how, k);
        io_uring_sqe_set_data64(open, TAG_OPEN << 32 | k);
        io_uring_sqe_set_flags(open, IOSQE_IO_LINK);
        ++ops;
        if (record.data_length > 0) {
            io_uring_sqe *write = io_uring_get_sqe(&w.ring);
            io_uring_prep_write(write, static_cast<int>(k),
                                copy_buffer() + (record.data_offset - start), record.data_length, 0);
            io_uring_sqe_set_data64(write, TAG_WRITE << 32 | k);
            io_uring_sqe_set_flags(write, IOSQE_FIXED_FILE | IOSQE_IO_LINK);
            ++ops;
        }
        io_uring_sqe *done = io_uring_get_sqe(&w.ring);
        io_uring_prep_close_direct(done, k);
        io_uring_sqe_set_data64(done, TAG_CLOSE << 32 | k);
        io_uring_sqe_set_flags(done, IOSQE_IO_LINK);
        ++ops;
        last = done;
    }
    if (!last)
        return;
    // The chain ends with the batch.
    io_uring_sqe_set_flags(last, 0);
    // A ring that fails is given up: the members left are written one at a
    // time.
    if (!complete_writes(w, ops)) {
        w.filled = 0;
        io_uring_queue_exit(&w.ring);
        batch.ring = nullptr;
    }
}

}  // namespace

void write_batch_start(write_batch &batch, FILE *pak, const unsigned char *directory,
                       uint64_t held)
{
    batch = {fileno(pak), directory, held, nullptr};
    if (held < BATCH_MIN_MEMBERS)
        return;
    write_ring &w = the_write_ring;
    if (io_uring_queue_init(4 * BATCH_MEMBERS, &w.ring, 0) != 0)
        return;
    io_uring_probe *probe = io_uring_get_probe_ring(&w.ring);
    bool all = probe && io_uring_opcode_supported(probe, IORING_OP_OPENAT2) &&
               io_uring_opcode_supported(probe, IORING_OP_WRITE) &&
               io_uring_opcode_supported(probe, IORING_OP_CLOSE);
    if (probe)
        io_uring_free_probe(probe);
    if (!all || io_uring_register_files_sparse(&w.ring, BATCH_MEMBERS) != 0) {
        io_uring_queue_exit(&w.ring);
        return;
    }
    w.how = {};
    w.how.flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NOCTTY;
    w.how.mode = 0666;
    w.how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    w.first = 0;
    w.filled = 0;
    batch.ring = &w;
}

int member_written(write_batch &batch, FILE *pak, uint64_t index, const pak_record &record)
{
    if (!batch.ring || index >= batch.held)
        return extract_record(pak, record);
    write_ring &w = *batch.ring;
    if (index < w.first || index >= w.first + w.filled ||
        w.slots[index - w.first].open == SLOT_EMPTY)
        fill_writes(batch, w, index);
    if (index < w.first || index >= w.first + w.filled)
        return extract_record(pak, record);
    const write_ring::slot &slot = w.slots[index - w.first];
    bool written = slot.length == 0 ? slot.write == SLOT_EMPTY
                                    : slot.write == static_cast<int>(slot.length);
    if (slot.open >= 0 && written && slot.close == 0)
        return EXTRACT_DONE;
    // Whatever did not succeed is done again at its turn, the way the member
    // is written one at a time, which makes its directories and gives its
    // message. The chain stopped there: the members after it come in a new
    // batch.
    w.filled = static_cast<unsigned>(index - w.first) + 1;
    return extract_record(pak, record);
}

void write_batch_end(write_batch &batch)
{
    if (!batch.ring)
        return;
    int saved = errno;
    io_uring_queue_exit(&batch.ring->ring);
    errno = saved;
    batch.ring = nullptr;
}

#else

struct batch_ring {
    int unused;
};

void batch_start(member_batch &batch, const member_list &list)
{
    batch = {list.records, std::min(list.count, list.first_cut), nullptr};
}

int next_member_opened(member_batch &batch, uint64_t index, struct stat &st)
{
    return open_member(batch.records[index].name, st);
}

bool member_read_ahead(member_batch &, member_read &)
{
    return false;
}

void member_done(member_batch &, int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
}

void batch_end(member_batch &)
{
}

struct write_ring {
    int unused;
};

void write_batch_start(write_batch &batch, FILE *pak, const unsigned char *directory,
                       uint64_t held)
{
    batch = {fileno(pak), directory, held, nullptr};
}

int member_written(write_batch &, FILE *pak, uint64_t, const pak_record &record)
{
    return extract_record(pak, record);
}

void write_batch_end(write_batch &)
{
}

#endif
