#include "pak/build.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "pak/copy.h"
#include "pak/format.h"
#include "pak/prefetch.h"
#include "pak/report.h"
#include "pak/walk.h"

namespace {

// Frees the record list and gives the builder's result for a failed write,
// keeping the failure's errno for the caller's message.
int fail_write(pak_record *records)
{
    int write_errno = errno;
    free(records);
    errno = write_errno;
    return -1;
}

// Ends the build at a member that cannot be opened, with the system's text.
[[noreturn]] void stop_at_unopenable(const char *path, int error)
{
    say("Error opening %s: %s\n", show_path(path), strerror(error));
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

// Writes v to pak as a little-endian u32; returns whether it was written.
bool write_le32(FILE *pak, uint32_t v)
{
    unsigned char bytes[PAK_U32_SIZE];
    store_le32(bytes, v);
    return fwrite(bytes, 1, sizeof bytes, pak) == sizeof bytes;
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

int create_pak(FILE *pak)
{
    struct stat archive;
    bool archive_known = fstat(fileno(pak), &archive) == 0;

    if (fseeko(pak, 0, SEEK_SET) != 0 || fwrite(PAK_MAGIC, 1, PAK_MAGIC_SIZE, pak) != PAK_MAGIC_SIZE)
        return fail_write(nullptr);

    pak_record *records = nullptr;
    uint64_t count = 0;
    collect_files(records, count, archive_known ? &archive : nullptr);
    if (count > PAK_RECORDS_MAX) {
        say("Error: %llu members exceed the limit of %llu\n", static_cast<unsigned long long>(count),
            static_cast<unsigned long long>(PAK_RECORDS_MAX));
        stop_run();
    }

    if (fseeko(pak, PAK_HEADER_SIZE, SEEK_SET) != 0)
        return fail_write(records);
    print_listing_heading();

    // Member data goes straight to the archive's descriptor, so the stream
    // holds nothing buffered while it does, and the write position is
    // counted here rather than asked of the stream.
    uint64_t position = PAK_HEADER_SIZE;
    uint64_t kept = 0;
    member_readahead ahead;
    readahead_start(ahead, records, count);
    for (uint64_t i = 0; i < count; ++i) {
        pak_record record = records[i];
        if (record.data_length == PAK_PATH_CUT)
            stop_at_unopenable(record.name, ENAMETOOLONG);
        FILE *member = readahead_open(ahead, i);
        struct stat st;
        if (!member)
            stop_at_unopenable(record.name, errno);
        if (fstat(fileno(member), &st) != 0)
            stop_at_unopenable(record.name, errno);
        // The archive may lie inside the tree it is made of; it is never
        // its own member.
        if (archive_known && st.st_dev == archive.st_dev && st.st_ino == archive.st_ino) {
            fclose(member);
            continue;
        }
        uint64_t length = static_cast<uint64_t>(st.st_size);
        check_fits(record.name, position, length);
        record.data_offset = static_cast<uint32_t>(position);
        say("%3lu %8lu %s\n", static_cast<unsigned long>(kept), static_cast<unsigned long>(length),
            show_path(record.name));

        copy_result copy = copy_range(fileno(member), 0, fileno(pak), length);
        if (copy.status == COPY_WRITE_FAILED) {
            int write_errno = errno;
            fclose(member);
            errno = write_errno;
            return fail_write(records);
        }
        // At most the measured length is taken; a member that yields less
        // is stored as it came, so the data stays back to back.
        if (copy.status == COPY_READ_FAILED)
            say("Error reading %s: %s: %llu of %llu bytes stored\n", show_path(record.name),
                strerror(errno), static_cast<unsigned long long>(copy.copied),
                static_cast<unsigned long long>(length));
        else if (copy.copied < length)
            say("Warning: %s shrank while it was read: %llu of %llu bytes stored\n",
                show_path(record.name), static_cast<unsigned long long>(copy.copied),
                static_cast<unsigned long long>(length));
        fclose(member);
        record.data_length = static_cast<uint32_t>(copy.copied);
        position += copy.copied;
        records[kept++] = record;
    }

    // Back in step with the descriptor the data was written through.
    if (fseeko(pak, static_cast<off_t>(position), SEEK_SET) != 0)
        return fail_write(records);
    // The array has the file's record layout: encoded in place, it is
    // written whole.
    for (uint64_t i = 0; i < kept; ++i) {
        const pak_record record = records[i];
        encode_record(record, reinterpret_cast<unsigned char *>(&records[i]));
    }
    size_t dir_bytes = static_cast<size_t>(kept * PAK_RECORD_SIZE);
    if (dir_bytes > 0 && fwrite(records, 1, dir_bytes, pak) != dir_bytes)
        return fail_write(records);
    if (fseeko(pak, PAK_HEADER_DIR_OFFSET_AT, SEEK_SET) != 0 ||
        !write_le32(pak, static_cast<uint32_t>(position)) ||
        !write_le32(pak, static_cast<uint32_t>(kept * PAK_RECORD_SIZE)))
        return fail_write(records);
    free(records);
    return 1;
}
