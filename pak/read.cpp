#include "pak/read.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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
    // A path longer than the system takes cannot be opened either; its open
    // reports it.
    char prefix[PATH_MAX];
    for (const char *slash = strchr(path, '/'); slash; slash = strchr(slash + 1, '/')) {
        size_t len = static_cast<size_t>(slash - path);
        if (len >= sizeof prefix)
            break;
        memcpy(prefix, path, len);
        prefix[len] = '\0';
        mkdir(prefix, 0755);
    }
    return 0;
}

int extract_record(FILE *pak, pak_record record)
{
    stored_path path = path_of(record);
    // Trying the open first saves the leading directories' system calls for
    // every member whose directories an earlier member made. Making them only
    // after a failed open leaves the same tree as making them first.
    FILE *out = fopen(path.text, "wb");
    if (!out) {
        make_parent_dirs(path.text);
        out = fopen(path.text, "wb");
    }
    if (!out) {
        int open_errno = errno;
        say("Error opening %s: %s\n", show_path(path.text), strerror(open_errno));
        errno = open_errno;
        return -1;
    }

    copy_result copy = copy_range(fileno(pak), record.data_offset, fileno(out), record.data_length);
    if (copy.status == COPY_WRITE_FAILED) {
        int write_errno = errno;
        fclose(out);
        errno = write_errno;
        return -1;
    }
    if (copy.copied < record.data_length)
        say("Member %s is incomplete: %llu of its %lu bytes are missing from the archive\n",
               show_path(path.text),
               static_cast<unsigned long long>(record.data_length - copy.copied),
               static_cast<unsigned long>(record.data_length));
    return fclose(out) == 0 ? 0 : -1;
}

int read_pak(FILE *pak, int list_mode)
{
    unsigned char magic[PAK_MAGIC_SIZE];
    if (fread(magic, 1, sizeof magic, pak) != sizeof magic ||
        memcmp(magic, PAK_MAGIC, sizeof magic) != 0) {
        fputs("Error: not a PAK file\n", stderr);
        return -1;
    }
    // Bytes of the two numbers that the file does not hold read as zero.
    unsigned char field[PAK_U32_SIZE] = {0};
    fread(field, 1, sizeof field, pak);
    uint64_t dir_offset = load_le32(field);
    memset(field, 0, sizeof field);
    fread(field, 1, sizeof field, pak);
    uint64_t dir_length = load_le32(field);
    uint64_t count = dir_length / PAK_RECORD_SIZE;

    off_t size = size_and_seek(pak, dir_offset);
    if (size < 0) {
        say("Error seeking in archive: %s\n", strerror(errno));
        return -1;
    }
    // Memory is taken only for records the file can supply, the last one
    // perhaps in part; the others are listed as all-zero records.
    uint64_t available = static_cast<uint64_t>(size) > dir_offset
                             ? static_cast<uint64_t>(size) - dir_offset : 0;
    uint64_t held = std::min(count, (available + PAK_RECORD_SIZE - 1) / PAK_RECORD_SIZE);
    pak_record *directory = nullptr;
    if (held > 0) {
        directory = static_cast<pak_record *>(calloc(held, PAK_RECORD_SIZE));
        if (!directory) {
            say("Error allocating memory: %s\n", strerror(errno));
            fclose(pak);
            stop_run();
        }
        fread(directory, 1, held * PAK_RECORD_SIZE, pak);
        for (uint64_t i = 0; i < held; ++i)
            directory[i] = decode_record(reinterpret_cast<const unsigned char *>(&directory[i]));
    }

    print_listing_heading();
    for (uint64_t i = 0; i < count; ++i) {
        pak_record record = i < held ? directory[i] : pak_record{};
        stored_path path = path_of(record);
        say("%3i %8lu %s\n", static_cast<int>(i), static_cast<unsigned long>(record.data_length),
            show_path(path.text));
        if (list_mode)
            continue;
        if (leads_outside(path.text)) {
            say("Not extracting %s: path leads outside the output directory\n",
                show_path(path.text));
            continue;
        }
        if (extract_record(pak, record) != 0)
            say("Error writing record: %s\n", strerror(errno));
    }
    free(directory);
    return 0;
}
