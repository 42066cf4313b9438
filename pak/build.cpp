#include "pak/build.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "pak/batch.h"
#include "pak/copy.h"
#include "pak/format.h"
#include "pak/system.h"
#include "pak/readahead.h"
#include "pak/report.h"

namespace {

// The archive as the builder writes it: every byte goes through the
// functions below to one descriptor, at positions counted here, never at the
// descriptor's own offset. Small members and the directory are gathered and
// written in large pieces, which saves a write for nearly every member of a
// tree of small files.
struct archive_writer {
    int fd;
    uint64_t position;  // of the next byte appended, gathered bytes included
    size_t gathered;    // bytes waiting in the copy buffer, which end at position
};

// The largest member that is gathered rather than copied on its own, and the
// size of the pieces gathered bytes are written in; they wait in the copy
// buffer, which is empty whenever a member is copied on its own.
constexpr size_t GATHER_SIZE = COPY_BUFFER_SIZE;

// Writes the n bytes at bytes at offset; returns whether all were written,
// with errno set when not.
bool write_at(int fd, uint64_t offset, const void *bytes, size_t n)
{
    return write_all(fd, offset, bytes, n).status == COPY_DONE;
}

// Writes out what is gathered; returns whether it was written.
bool flush(archive_writer &out)
{
    size_t n = out.gathered;
    out.gathered = 0;
    return write_at(out.fd, out.position - n, copy_buffer(), n);
}

// Appends the n bytes at bytes; returns whether all were written or gathered.
bool append(archive_writer &out, const void *bytes, size_t n)
{
    if (n > GATHER_SIZE - out.gathered && !flush(out))
        return false;
    if (n > GATHER_SIZE) {
        out.position += n;
        return write_at(out.fd, out.position - n, bytes, n);
    }
    memcpy(copy_buffer() + out.gathered, bytes, n);
    out.gathered += n;
    out.position += n;
    return true;
}

// Reads at most length bytes of member_fd, from its start, behind the bytes
// gathered, which leave room for them; returns what was read and how it ended.
copy_result gather_member(archive_writer &out, int member_fd, size_t length)
{
    copy_result read = read_full(member_fd, 0, copy_buffer() + out.gathered, length);
    out.gathered += static_cast<size_t>(read.copied);
    out.position += read.copied;
    return read;
}

// Appends at most length bytes of the member open as member_fd, from its
// start, gathered when small, else copied on its own; returns what the copy
// gives. Never more bytes than a read delivered are appended.
copy_result append_member(archive_writer &out, int member_fd, uint64_t length)
{
    if (length <= GATHER_SIZE) {
        if (length > GATHER_SIZE - out.gathered && !flush(out))
            return {0, COPY_WRITE_FAILED};
        return gather_member(out, member_fd, static_cast<size_t>(length));
    }
    if (!flush(out))
        return {0, COPY_WRITE_FAILED};
    copy_result copy = copy_range(member_fd, 0, out.fd, out.position, length);
    out.position += copy.copied;
    return copy;
}

// Ends the build at a member that cannot be taken, with the reason.
[[noreturn]] void stop_at_member(const char *path, const char *reason)
{
    say("Error opening %s: %s\n", show_path(path), reason);
    stop_run();
}

// Ends the build when a member of length bytes at offset would not fit the
// archive's 32-bit fields; returns when it fits.
void check_fits(const char *path, uint64_t offset, uint64_t length)
{
    switch (member_limit(offset, length)) {
    case MEMBER_TOO_LARGE:
        say("Error adding %s: %llu bytes exceed the member size limit of %llu bytes\n",
            show_path(path), static_cast<unsigned long long>(length),
            static_cast<unsigned long long>(PAK_U32_MAX));
        stop_run();
    case MEMBER_ENDS_PAST_LIMIT:
        say("Error adding %s: its data would end at offset %llu, past the limit of %llu\n",
            show_path(path), static_cast<unsigned long long>(offset + length),
            static_cast<unsigned long long>(PAK_U32_MAX));
        stop_run();
    default:
        break;
    }
}

// How one member's copy ended.
constexpr int MEMBER_STORED = 0;     // whole, as it was when measured
constexpr int MEMBER_PARTIAL = 1;    // stored as far as it could be read, or changed meanwhile
constexpr int MEMBER_PASSED = 2;     // one of the files never taken, such as the archive
constexpr int MEMBER_WRITE_FAILED = -1;

// How recently a member must have changed for a write to be taken as
// possibly still under way when it is measured.
constexpr time_t RECENT_CHANGE_SECONDS = 10;

// Waits, where the system lets it, for a write that was under way on the
// member open as fd when st was taken from it. Such a write changed the
// times before its data, so the times compared after the copy cannot show
// it, and the copy could take part of it. Seeking to the data waits for the
// write's end where the file system holds the write's lock to seek, as ext4
// and tmpfs do on Linux; every write that starts later changes the times
// where they are fine enough (Linux 6.13 and later take a finer time for a
// file whose times were just read). A write lasts moments, so only a member
// changed within the last seconds is sought, which spares every other
// member the call (a round trip on a network file system).
// Returns whether the wait was made: a member it was not made for needs
// none, and one read before it may hold part of such a write.
bool await_write_under_way(int fd, const struct stat &st)
{
#ifdef SEEK_DATA
    if (st.st_size > 0 && st.st_ctime >= time(nullptr) - RECENT_CHANGE_SECONDS) {
        lseek(fd, 0, SEEK_DATA);
        return true;
    }
#else
    (void)fd;
    (void)st;
#endif
    return false;
}

// Opens, measures, lists and copies member number of the batch, record,
// numbered index in the listing, at the end of the archive, and fills in the
// record's numbers with what was stored. The member is opened before
// anything is written for it. Returns one of the outcomes above; errno tells
// why a write failed.
int copy_member(archive_writer &out, member_batch &batch, uint64_t number, pak_record &record,
                uint64_t index, const build_skips &skip)
{
    struct stat before;
    int fd = next_member_opened(batch, number, before);
    if (fd == MEMBER_NOT_REGULAR)
        stop_at_member(record.name, "not a regular file");
    if (fd < 0)
        stop_at_member(record.name, strerror(errno));
    // The archive may lie inside the tree it is made of; it is never its own
    // member.
    if (is_one_of(skip.ids, skip.id_count, before)) {
        member_done(batch, fd);
        return MEMBER_PASSED;
    }
    bool awaited = await_write_under_way(fd, before);
    uint64_t length = static_cast<uint64_t>(before.st_size);
    check_fits(record.name, out.position, length);
    record.data_offset = static_cast<uint32_t>(out.position);
    print_listing_line(index, length, record.name);

    // A small member may have been read with its batch, unless it was read
    // before a write under way could be awaited.
    member_read ahead = {};
    bool read_ahead = !awaited && length <= GATHER_SIZE && member_read_ahead(batch, ahead);
    copy_result copy = {0, COPY_WRITE_FAILED};
    if (!read_ahead)
        copy = append_member(out, fd, length);
    else if (append(out, ahead.data, static_cast<size_t>(ahead.length)))
        copy = {ahead.length, COPY_DONE};
    int outcome = MEMBER_STORED;
    if (copy.status == COPY_WRITE_FAILED) {
        outcome = MEMBER_WRITE_FAILED;
    } else if (copy.status == COPY_READ_FAILED) {
        say("Error reading %s: %s: %llu of %llu bytes stored\n", show_path(record.name),
            strerror(errno), static_cast<unsigned long long>(copy.copied),
            static_cast<unsigned long long>(length));
        outcome = MEMBER_PARTIAL;
    } else if (copy.copied < length) {
        // At most the measured length is taken; a member that yields less
        // is stored as it came, so the data stays back to back.
        say("Warning: %s shrank while it was read: %llu of %llu bytes stored\n",
            show_path(record.name), static_cast<unsigned long long>(copy.copied),
            static_cast<unsigned long long>(length));
        outcome = MEMBER_PARTIAL;
    } else if (length > 0) {
        // Bytes written meanwhile may be missing from the copy, or be mixed
        // with older ones. An empty member, of which nothing was read, is
        // taken as it was when measured.
        struct stat after = ahead.after;
        if (!read_ahead && fstat(fd, &after) != 0) {
            say("Error checking %s: %s\n", show_path(record.name), strerror(errno));
            outcome = MEMBER_PARTIAL;
        } else if (!same_contents(before, after)) {
            say("%s changed as it was read\n", show_path(record.name));
            outcome = MEMBER_PARTIAL;
        }
    }
    member_done(batch, fd);
    record.data_length = static_cast<uint32_t>(copy.copied);
    return outcome;
}

// Copies every member of list in list order, keeping the records of those
// stored at the front of the list, in order, and their number in kept;
// blocks is what blocks_read gave before the walk, for reading ahead.
// Returns BUILD_COMPLETE, BUILD_LEFT_OUT or BUILD_WRITE_FAILED.
int copy_members(archive_writer &out, member_list &list, unsigned long blocks, uint64_t &kept,
                 const build_skips &skip)
{
    int result = BUILD_COMPLETE;
    kept = 0;
    member_readahead ahead;
    readahead_start(ahead, list, blocks);
    member_batch batch;
    batch_start(batch, list);
    for (uint64_t i = 0; i < list.count; ++i) {
        pak_record record = list.records[i];
        if (i == list.first_cut)
            stop_at_member(record.name, strerror(ENAMETOOLONG));
        readahead_before(ahead, i);
        int outcome = copy_member(out, batch, i, record, kept, skip);
        if (outcome == MEMBER_WRITE_FAILED) {
            batch_end(batch);
            return BUILD_WRITE_FAILED;
        }
        if (outcome == MEMBER_PASSED)
            continue;
        if (outcome == MEMBER_PARTIAL)
            result = BUILD_LEFT_OUT;
        list.records[kept++] = record;
    }
    batch_end(batch);
    return result;
}

// Writes the directory of the kept records behind the members' data, then
// the header's two numbers; returns whether everything was written.
bool finish_archive(archive_writer &out, const pak_record *records, uint64_t kept)
{
    uint64_t dir_offset = out.position;
    for (uint64_t i = 0; i < kept; ++i) {
        unsigned char bytes[PAK_RECORD_SIZE];
        encode_record(records[i], bytes);
        if (!append(out, bytes, sizeof bytes))
            return false;
    }
    unsigned char numbers[2 * PAK_U32_SIZE];
    store_le32(numbers, static_cast<uint32_t>(dir_offset));
    store_le32(numbers + PAK_U32_SIZE, static_cast<uint32_t>(kept * PAK_RECORD_SIZE));
    return flush(out) && write_at(out.fd, PAK_HEADER_DIR_OFFSET_AT, numbers, sizeof numbers);
}

}  // namespace

int member_limit(uint64_t offset, uint64_t length)
{
    if (length > PAK_U32_MAX)
        return MEMBER_TOO_LARGE;
    if (offset + length > PAK_U32_MAX)
        return MEMBER_ENDS_PAST_LIMIT;
    return MEMBER_FITS;
}

// The archive is written in its order: the header, each member's data back
// to back, the directory, then the header's numbers.
int create_pak(int pak_fd, const build_skips &skip)
{
    // The walk comes first, so that a tree that cannot be read leaves
    // nothing written, not even to an archive written in place.
    member_list list = {nullptr, 0, NO_CUT};
    unsigned long blocks = blocks_read();
    int walked = collect_files(list, skip);
    if (walked == WALK_TOP_UNREADABLE)
        return BUILD_TOP_UNREADABLE;
    if (list.count > PAK_RECORDS_MAX) {
        say("Error: %llu members exceed the limit of %llu\n",
            static_cast<unsigned long long>(list.count),
            static_cast<unsigned long long>(PAK_RECORDS_MAX));
        stop_run();
    }

    // The header goes first, its two numbers zero until the directory is
    // written. An archive written in place is emptied only now; one that
    // cannot be positioned, such as a pipe, fails here. What cannot be
    // emptied (a device) needs no emptying.
    archive_writer out = {pak_fd, 0, 0};
    unsigned char header[PAK_HEADER_SIZE] = {};
    memcpy(header, PAK_MAGIC, PAK_MAGIC_SIZE);
    int result = BUILD_COMPLETE;
    if (lseek(pak_fd, 0, SEEK_SET) != 0 || (ftruncate(pak_fd, 0) != 0 && errno != EINVAL) ||
        !append(out, header, sizeof header) || !flush(out)) {
        result = BUILD_WRITE_FAILED;
    } else {
        print_listing_heading();
        uint64_t kept = 0;
        result = copy_members(out, list, blocks, kept, skip);
        if (result != BUILD_WRITE_FAILED && !finish_archive(out, list.records, kept))
            result = BUILD_WRITE_FAILED;
        if (result == BUILD_COMPLETE && walked != WALK_COMPLETE)
            result = BUILD_LEFT_OUT;
    }
    int saved = errno;
    free(list.records);
    errno = saved;
    return result;
}
