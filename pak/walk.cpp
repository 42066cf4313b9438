#include "pak/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Returns whether the directory (dev, ino) is level or one above it.
bool on_walk_path(const walk_level *level, dev_t dev, ino_t ino)
{
    for (; level; level = level->parent)
        if (level->dev == dev && level->ino == ino)
            return true;
    return false;
}

// Forms the first PAK_NAME_MAX bytes of dir_path/name, or of name at the top,
// in path, NUL-terminated.
void form_stored_path(char *path, const char *dir_path, const char *name)
{
    size_t used = 0;
    if (dir_path && *dir_path) {
        used = strnlen(dir_path, PAK_NAME_MAX);
        memcpy(path, dir_path, used);
        if (used < PAK_NAME_MAX)
            path[used++] = '/';
    }
    size_t take = strnlen(name, PAK_NAME_MAX - used);
    memcpy(path + used, name, take);
    path[used + take] = '\0';
}

// Appends a record for the stored path to the list, growing it by one.
void append_record(pak_record *&records, uint64_t &count, const char *path, bool cut)
{
    pak_record *grown =
        static_cast<pak_record *>(realloc(records, (count + 1) * sizeof(pak_record)));
    if (!grown) {
        printf("Memory failure: %s\n", strerror(errno));
        exit(-1);
    }
    records = grown;
    pak_record &record = records[count++];
    memset(&record, 0, sizeof record);
    memcpy(record.name, path, strlen(path));
    record.data_length = cut ? PAK_PATH_CUT : 0;
}

}  // namespace

int collect_files(const char *dir_path, pak_record *&records, uint64_t &count,
                  const walk_level &level)
{
    DIR *dir = opendir(".");
    if (!dir) {
        printf("Unable to open work directory: %s\n", strerror(errno));
        return -1;
    }
    int dir_fd = dirfd(dir);
    bool top = !dir_path || !*dir_path;
    char path[PAK_NAME_SIZE];

    while (const dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.')
            continue;
        form_stored_path(path, dir_path, name);
        size_t path_length = (top ? 0 : level.path_length + 1) + strlen(name);

        // The listing's own type saves a status call for every plain file;
        // links, unknown types and directories need the status, following
        // links, to know what they lead to and which directory it is.
        unsigned char type = entry->d_type;
        struct stat st;
        if (type == DT_DIR || type == DT_LNK || type == DT_UNKNOWN) {
            if (fstatat(dir_fd, name, &st, 0) != 0)
                type = DT_REG;  // recorded; its open reports what is wrong
            else if (S_ISDIR(st.st_mode))
                type = DT_DIR;
            else if (S_ISREG(st.st_mode))
                type = DT_REG;
            else
                type = DT_UNKNOWN;
        }

        if (type == DT_REG) {
            append_record(records, count, path, path_length > PAK_NAME_MAX);
            continue;
        }
        if (type != DT_DIR) {
            printf("Skipping %s: not a regular file or directory\n", path);
            continue;
        }
        if (on_walk_path(&level, st.st_dev, st.st_ino)) {
            printf("Skipping %s: directory loop\n", path);
            continue;
        }
        if (chdir(name) != 0) {
            printf("Unable to enter directory %s: %s\n", path, strerror(errno));
            continue;
        }
        const walk_level below = {st.st_dev, st.st_ino, path_length, &level};
        collect_files(path, records, count, below);
        // Back through the open directory, not "..", which after a link to a
        // directory leads somewhere else.
        if (fchdir(dir_fd) != 0) {
            printf("Unable to return to work directory: %s\n", strerror(errno));
            exit(-1);
        }
    }
    closedir(dir);
    return 1;
}
