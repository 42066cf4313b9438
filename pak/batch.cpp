#include "pak/batch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pak/config.h"
#include "pak/copy.h"
#include "pak/system.h"

#if PAKWRIGHT_HAVE_IO_URING
#include <liburing.h>
#include <linux/openat2.h>
#include <sys/resource.h>

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
constexpr uint64_t TAG_READ = 2;
constexpr uint64_t TAG_CLOSE = 3;
// A slot whose descriptor was handed out or never opened, or an operation
// not asked for.
constexpr int SLOT_EMPTY = -ECANCELED;

}  // namespace

// Members are opened in batches: all opens of a batch in one trip; then the
// status of each member opened is read from its descriptor; then the data of
// the small ones in another trip, each followed by its status again. The
// closes of the members copied go with the next batch's opens. A status
// asked of the ring would be handed to a kernel thread, whose wakeups cost
// more than the call itself; opens, reads and closes are done at once.
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
        int status;      // 0 once st holds the member's status, else minus the error
        int read;        // the bytes the read gave, or minus the error
        int after;       // as status, for the status after the read
        size_t data_at;  // where the data read lies in data
        struct stat st;
        struct stat st_after;
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
        if (tag >> 32 == TAG_OPEN)
            slot.fd = cqe->res;
        else if (tag >> 32 == TAG_READ)
            slot.read = cqe->res;
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

// Returns 0 once fd's status is in st, else minus the error.
int status_of(int fd, struct stat &st)
{
    return fstat(fd, &st) == 0 ? 0 : -errno;
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
    unsigned reads = 0;
    size_t used = 0;
    for (unsigned k = 0; k < b.filled; ++k) {
        batch_ring::slot &slot = b.slots[k];
        if (slot.fd < 0)
            continue;
        slot.status = status_of(slot.fd, slot.st);
        uint64_t size = static_cast<uint64_t>(slot.st.st_size);
        if (slot.status != 0 || !S_ISREG(slot.st.st_mode) || size == 0 ||
            size > BATCH_READ_MEMBER_MAX || size > sizeof b.data - used)
            continue;
        slot.data_at = used;
        used += size;
        io_uring_prep_read(queue(b, TAG_READ, k), slot.fd, b.data + slot.data_at,
                           static_cast<unsigned>(size), 0);
        ++reads;
    }
    if (!complete(b, reads)) {
        abandon(b);
        return;
    }
    // The status after each read, as the copy's check takes it.
    for (unsigned k = 0; k < b.filled; ++k)
        if (b.slots[k].read != SLOT_EMPTY)
            b.slots[k].after = status_of(b.slots[k].fd, b.slots[k].st_after);
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
        st = slot.st;
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
    if (slot.read < 0 || slot.read != slot.st.st_size || slot.after != 0)
        return false;
    read = {batch.ring->data + slot.data_at, static_cast<uint64_t>(slot.read), slot.st_after};
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

#endif
