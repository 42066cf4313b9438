#include "pak/read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "pak/copy.h"
#include "pak/report.h"
#include "pak/system.h"

namespace {

// Returns the stored path of record as a NUL-terminated copy: the name
// field's bytes up to its first NUL, and never more than the field holds.
struct stored_path {
    char text[PAK_NAME_SIZE + 1];
};

stored_path path_of(const pak_record &record)
{
    stored_path path;
    memcpy(path.text, record.name, PAK_NAME_SIZE);
    path.text[PAK_NAME_SIZE] = '\0';
    return path;
}

// Returns the size of the file behind pak and leaves it positioned at
// offset, or -1 with errno set when it cannot seek.
off_t size_and_seek(FILE *pak, uint64_t offset)
{
    if (fseeko(pak, 0, SEEK_END) != 0)
        return -1;
    off_t size = ftello(pak);
    if (size < 0 || fseeko(pak, static_cast<off_t>(offset), SEEK_SET) != 0)
        return -1;
    return size;
}

// Opens the directory that holds the last component of path, taken from the
// working directory one component at a time, never through a symbolic link;
// with make set, missing directories are made with mode 0755 on the way,
// and so is the last component of a path that ends in "/".
// Sets last to where the last component begins (with any slashes after it).
// Returns the descriptor, AT_FDCWD when path has no leading directory, or -1
// with errno set.
int open_leading_dirs(const char *path, bool make, const char **last)
{
    // A stored path is short; a longer one leads nowhere that can be made.
    char copy[PAK_NAME_SIZE + 1];
    size_t length = strnlen(path, sizeof copy);
    if (length == sizeof copy) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(copy, path, length + 1);
    size_t end = length;
    while (end > 0 && copy[end - 1] == '/')
        --end;
    size_t start = end;
    while (start > 0 && copy[start - 1] != '/')
        --start;
    *last = path + start;
    int dir = AT_FDCWD;
    for (size_t at = 0; at < start;) {
        size_t slash = at;
        while (copy[slash] != '/')
            ++slash;
        copy[slash] = '\0';
        if (slash > at) {
            int next = open_subdirectory(dir, copy + at);
            if (next < 0 && errno == ENOENT && make && mkdirat(dir, copy + at, 0755) == 0)
                next = open_subdirectory(dir, copy + at);
            int saved = errno;
            if (dir != AT_FDCWD)
                close(dir);
            errno = saved;
            if (next < 0)
                return -1;
            dir = next;
        }
        at = slash + 1;
    }
    // A path that ends in "/" names a directory, which is made as well.
    if (make && end < length) {
        copy[end] = '\0';
        mkdirat(dir, copy + start, 0755);
    }
    return dir;
}

// Opens the member file at path below the working directory for writing,
// made or emptied, its missing leading directories made; no symbolic link on
// the way or in its place is followed. Returns the descriptor, or -1 with
// errno set.
int create_member_file(const char *path)
{
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    // One call does for every member whose directories an earlier one made.
    size_t length = strlen(path);
    bool names_directory = length > 0 && path[length - 1] == '/';
    int out = names_directory ? OPEN_STEP_BY_STEP : open_beneath(path, flags, 0666);
    if (out >= 0 || (out == -1 && errno != ENOENT))
        return out;
    const char *last;
    int dir = open_leading_dirs(path, true, &last);
    if (dir == -1)
        return -1;
    out = openat(dir, last, flags, 0666);
    int saved = errno;
    if (dir != AT_FDCWD)
        close(dir);
    errno = saved;
    return out;
}

// Members up to this size are written from a stretch of the archive read
// ahead: where their data lies back to back, as it does in most archives,
// one read serves many.
constexpr uint64_t GATHERED_MEMBER_MAX = 16 * 1024;

// The stretch of the archive that the copy buffer holds.
struct archive_window {
    uint64_t start;  // its first byte's offset in the archive
    uint64_t held;   // how many bytes it holds
};

// Returns whether the data of record lies whole in window, reading a new
// stretch that begins with it when it does not: a whole buffer where it
// follows the last stretch, else only the member's own data.
bool in_window(int pak_fd, const pak_record &record, archive_window &window)
{
    uint64_t end = uint64_t{record.data_offset} + record.data_length;
    if (record.data_offset >= window.start && end <= window.start + window.held)
        return true;
    size_t want = record.data_offset == window.start + window.held
                      ? COPY_BUFFER_SIZE : static_cast<size_t>(record.data_length);
    copy_result got = read_full(pak_fd, record.data_offset, copy_buffer(), want);
    window = {record.data_offset, got.copied};
    return end <= window.start + window.held;
}

// Writes record as extract_record does, its data from window where it lies
// there; window then holds what the copy buffer holds.
int write_member(FILE *pak, const pak_record &record, archive_window &window)
{
    stored_path path = path_of(record);
    int out = create_member_file(path.text);
    if (out < 0) {
        int open_errno = errno;
        say("Error opening %s: %s\n", show_path(path.text), strerror(open_errno));
        errno = open_errno;
        return EXTRACT_FAILED;
    }

    copy_result copy = {0, COPY_DONE};
    int pak_fd = fileno(pak);
    if (record.data_length > 0 && record.data_length <= GATHERED_MEMBER_MAX &&
        in_window(pak_fd, record, window)) {
        copy = write_all(out, 0, copy_buffer() + (record.data_offset - window.start),
                         record.data_length);
    } else if (record.data_length > 0) {
        // A member the archive holds only in part, or whose data cannot be
        // read, is written as far as it goes.
        window = {0, 0};
        copy = copy_range(pak_fd, record.data_offset, out, 0, record.data_length);
    }
    int result = EXTRACT_DONE;
    if (copy.status == COPY_WRITE_FAILED) {
        result = EXTRACT_FAILED;
    } else if (copy.status == COPY_READ_FAILED) {
        say("Error reading %s: %s\n", show_path(path.text), strerror(errno));
        result = EXTRACT_PARTIAL;
    } else if (copy.copied < record.data_length) {
        say("Member %s is incomplete: %llu of its %lu bytes are missing from the archive\n",
            show_path(path.text),
            static_cast<unsigned long long>(record.data_length - copy.copied),
            static_cast<unsigned long>(record.data_length));
        result = EXTRACT_PARTIAL;
    }
    int saved = errno;
    if (close(out) != 0 && result != EXTRACT_FAILED)
        return EXTRACT_FAILED;
    errno = saved;
    return result;
}

// Reads up to n bytes of pak into buffer, and counts them in *got when got
// is given. Bytes the file does not give are left as they were; returns
// whether the read met no error, with errno set when it did.
bool read_or_end(FILE *pak, void *buffer, size_t n, size_t *got = nullptr)
{
    errno = 0;
    size_t read = fread(buffer, 1, n, pak);
    if (got)
        *got = read;
    if (read == n || !ferror(pak))
        return true;
    if (errno == 0)
        errno = EIO;
    return false;
}

// Reports a failed read of the archive's header or directory; returns
// READ_FAILED.
int read_failed()
{
    say("Error reading archive: %s\n", strerror(errno));
    return READ_FAILED;
}

// Lists the count records of the directory, whose first held ones are in
// memory as the file's bytes and the rest all zero, extracting each after its
// line unless list_mode is set. Returns READ_COMPLETE or READ_LEFT_OUT.
int list_and_extract(FILE *pak, const unsigned char *directory, uint64_t held, uint64_t count,
                     int list_mode)
{
    int result = READ_COMPLETE;
    print_listing_heading();
    archive_window window = {0, 0};
    for (uint64_t i = 0; i < count; ++i) {
        pak_record record = i < held ? decode_record(directory + i * PAK_RECORD_SIZE) : pak_record{};
        stored_path path = path_of(record);
        print_listing_line(i, record.data_length, path.text);
        if (list_mode)
            continue;
        if (leads_outside(path.text)) {
            say("Not extracting %s: path leads outside the output directory\n",
                show_path(path.text));
            result = READ_LEFT_OUT;
            continue;
        }
        int extracted = write_member(pak, record, window);
        if (extracted == EXTRACT_FAILED)
            say("Error writing record: %s\n", strerror(errno));
        if (extracted != EXTRACT_DONE)
            result = READ_LEFT_OUT;
    }
    return result;
}

}  // namespace

bool leads_outside(const char *path)
{
    if (path[0] == '/')
        return true;
    for (const char *p = path; *p;) {
        const char *end = strchr(p, '/');
        size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
        if (len == 2 && p[0] == '.' && p[1] == '.')
            return true;
        p += len;
        if (*p == '/')
            ++p;
    }
    return false;
}

int make_parent_dirs(const char *path)
{
    const char *last;
    int dir = open_leading_dirs(path, true, &last);
    if (dir >= 0)
        close(dir);
    return 0;
}

int extract_record(FILE *pak, pak_record record)
{
    archive_window none = {0, 0};
    return write_member(pak, record, none);
}

int read_pak(FILE *pak, int list_mode)
{
    // A file shorter than the magic leaves zeros, which are no magic.
    unsigned char magic[PAK_MAGIC_SIZE] = {0};
    if (!read_or_end(pak, magic, sizeof magic))
        return read_failed();
    if (memcmp(magic, PAK_MAGIC, sizeof magic) != 0) {
        fputs("Error: not a PAK file\n", stderr);
        return READ_FAILED;
    }
    // Bytes of the two numbers that the file does not hold read as zero.
    unsigned char numbers[2 * PAK_U32_SIZE] = {0};
    if (!read_or_end(pak, numbers, sizeof numbers))
        return read_failed();
    uint64_t dir_offset = load_le32(numbers);
    uint64_t dir_length = load_le32(numbers + PAK_U32_SIZE);
    uint64_t count = dir_length / PAK_RECORD_SIZE;

    off_t size = size_and_seek(pak, dir_offset);
    if (size < 0) {
        say("Error seeking in archive: %s\n", strerror(errno));
        return READ_FAILED;
    }
    // Memory is taken only for records the file can supply, the last one
    // perhaps in part; the others are listed as all-zero records.
    uint64_t available = static_cast<uint64_t>(size) > dir_offset
                             ? static_cast<uint64_t>(size) - dir_offset : 0;
    uint64_t held = std::min(count, (available + PAK_RECORD_SIZE - 1) / PAK_RECORD_SIZE);
    unsigned char *directory = nullptr;
    if (held > 0) {
        directory = static_cast<unsigned char *>(calloc(static_cast<size_t>(held), PAK_RECORD_SIZE));
        if (!directory) {
            say("Error allocating memory: %s\n", strerror(errno));
            return READ_FAILED;
        }
        size_t got = 0;
        if (!read_or_end(pak, directory, static_cast<size_t>(held) * PAK_RECORD_SIZE, &got)) {
            free(directory);
            return read_failed();
        }
        // A file cut while it is read gives less than its size promised.
        available = std::min<uint64_t>(available, got);
    }
    int result = list_and_extract(pak, directory, held, count, list_mode);
    free(directory);
    // The records the file does not hold whole were listed as zeros.
    uint64_t whole = std::min(count, available / PAK_RECORD_SIZE);
    if (whole < count) {
        say("Archive directory is incomplete: the file holds %llu of its %llu records\n",
            static_cast<unsigned long long>(whole), static_cast<unsigned long long>(count));
        result = READ_LEFT_OUT;
    }
    return result;
}
