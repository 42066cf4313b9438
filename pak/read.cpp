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

// Returns whether path would lead outside the working directory: it is
// absolute, or one of its components is "..".
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

}  // namespace

int make_parent_dirs(const char *path)
{
    // Each prefix is made in a copy, cut at one slash at a time. Without
    // memory for the copy nothing is made, and the open that follows fails.
    char *prefix = strdup(path);
    if (!prefix)
        return 0;
    for (char *slash = strchr(prefix, '/'); slash; slash = strchr(slash + 1, '/')) {
        *slash = '\0';
        mkdir(prefix, 0755);
        *slash = '/';
    }
    free(prefix);
    return 0;
}

int extract_record(FILE *pak, pak_record record)
{
    stored_path path = path_of(record);
    // Trying the open first saves the leading directories' system calls for
    // every member whose directories an earlier member made. Making them only
    // after a failed open leaves the same tree as making them first.
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC;
    int out = open(path.text, flags, 0666);
    if (out < 0) {
        make_parent_dirs(path.text);
        out = open(path.text, flags, 0666);
    }
    if (out < 0) {
        int open_errno = errno;
        say("Error opening %s: %s\n", show_path(path.text), strerror(open_errno));
        errno = open_errno;
        return EXTRACT_FAILED;
    }

    copy_result copy = copy_range(fileno(pak), record.data_offset, out, 0, record.data_length);
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

namespace {

// Reads up to n bytes of pak into buffer. Bytes the file does not hold are
// left as they were; returns whether the read met no error, with errno set
// when it did.
bool read_or_end(FILE *pak, void *buffer, size_t n)
{
    errno = 0;
    if (fread(buffer, 1, n, pak) == n || !ferror(pak))
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

// Lists the count records of directory, whose first held ones are in memory
// and the rest all zero, extracting each after its line unless list_mode is
// set. Returns READ_COMPLETE or READ_LEFT_OUT.
int list_and_extract(FILE *pak, const pak_record *directory, uint64_t held, uint64_t count,
                     int list_mode)
{
    int result = READ_COMPLETE;
    print_listing_heading();
    for (uint64_t i = 0; i < count; ++i) {
        pak_record record = i < held ? directory[i] : pak_record{};
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
        int extracted = extract_record(pak, record);
        if (extracted == EXTRACT_FAILED)
            say("Error writing record: %s\n", strerror(errno));
        if (extracted != EXTRACT_DONE)
            result = READ_LEFT_OUT;
    }
    return result;
}

}  // namespace

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
    pak_record *directory = nullptr;
    if (held > 0) {
        directory = static_cast<pak_record *>(calloc(static_cast<size_t>(held), PAK_RECORD_SIZE));
        if (!directory) {
            say("Error allocating memory: %s\n", strerror(errno));
            return READ_FAILED;
        }
        if (!read_or_end(pak, directory, static_cast<size_t>(held) * PAK_RECORD_SIZE)) {
            free(directory);
            return read_failed();
        }
        for (uint64_t i = 0; i < held; ++i)
            directory[i] = decode_record(reinterpret_cast<const unsigned char *>(&directory[i]));
    }
    int result = list_and_extract(pak, directory, held, count, list_mode);
    free(directory);
    return result;
}
