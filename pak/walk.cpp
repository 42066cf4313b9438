#include "pak/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pak/report.h"
#include "pak/system.h"

namespace {

// One directory on the walk's path, from the top down to the directory being
// read. Its entries are read whole when it is entered, so no directory stays
// open while the walk is below it.
struct walk_level {
    dev_t dev;
    ino_t ino;
    size_t path_length;  // of its whole relative path; 0 at the top
    char *entries;       // each entry: its ino_t, its type byte, its name, NUL
    size_t entries_used;
    size_t next_entry;   // offset of the next entry to handle
    int back_fd;         // the directory above, when ".." does not lead there; else -1
    size_t same_bucket;  // index + 1 of the next level in its hash bucket; 0 ends it
};

// The walk's path as a stack of levels, with a hash of their identities so
// that recognising a directory already on the path costs the same at any
// depth. Levels are pushed and popped in stack order, so the innermost level
// is always first in its bucket.
struct walk_state {
    walk_level *levels;
    size_t depth;
    size_t capacity;
    size_t *buckets;  // index + 1 of the innermost level in each bucket; 0 for none
    size_t bucket_count;
    size_t held_fds;  // back_fd descriptors open
    size_t fd_cap;    // the most back_fd descriptors the walk may hold
    bool left_out;    // a directory below could not be entered or read
    char path[PAK_NAME_SIZE];  // the stored path of the entry being handled
    char *up;         // "name/..", formed for the directory about to be entered
    size_t up_size;
};

constexpr size_t FIRST_BUCKETS = 64;
// Entries are gathered in a buffer that doubles from this size, then cut to
// what they take, since a level keeps them while the walk is below it.
constexpr size_t FIRST_ENTRY_BYTES = 4096;
// Where the descriptor limit is infinite, the walk still holds no more.
constexpr size_t FD_CAP_MAX = 4096;
constexpr size_t ENTRY_HEAD = sizeof(ino_t) + 1;

// Ends the process after memory has run out.
[[noreturn]] void memory_failure()
{
    say("Memory failure: %s\n", strerror(errno));
    stop_run();
}

// Returns the bucket of the directory (dev, ino).
size_t bucket_of(const walk_state &s, dev_t dev, ino_t ino)
{
    uint64_t h = (static_cast<uint64_t>(dev) * 0x9E3779B97F4A7C15u) ^ static_cast<uint64_t>(ino);
    h *= 0xFF51AFD7ED558CCDu;
    return static_cast<size_t>(h >> 32) & (s.bucket_count - 1);
}

// Returns whether the directory (dev, ino) is on the walk's path.
bool on_walk_path(const walk_state &s, dev_t dev, ino_t ino)
{
    for (size_t i = s.buckets[bucket_of(s, dev, ino)]; i; i = s.levels[i - 1].same_bucket)
        if (s.levels[i - 1].dev == dev && s.levels[i - 1].ino == ino)
            return true;
    return false;
}

// Links the level at index into its bucket, ahead of the levels above it.
void hash_level(walk_state &s, size_t index)
{
    walk_level &level = s.levels[index];
    size_t &head = s.buckets[bucket_of(s, level.dev, level.ino)];
    level.same_bucket = head;
    head = index + 1;
}

// Pushes a level for the directory (dev, ino) with no entries yet, growing
// the stack and the hash as needed; returns it.
walk_level &push_level(walk_state &s, dev_t dev, ino_t ino, size_t path_length, int back_fd)
{
    if (s.depth == s.capacity) {
        size_t capacity = s.capacity ? s.capacity * 2 : 64;
        void *grown = realloc(s.levels, capacity * sizeof(walk_level));
        if (!grown)
            memory_failure();
        s.levels = static_cast<walk_level *>(grown);
        s.capacity = capacity;
    }
    if (s.depth * 2 >= s.bucket_count) {
        size_t count = s.bucket_count ? s.bucket_count * 2 : FIRST_BUCKETS;
        void *grown = calloc(count, sizeof(size_t));
        if (!grown)
            memory_failure();
        free(s.buckets);
        s.buckets = static_cast<size_t *>(grown);
        s.bucket_count = count;
        for (size_t i = 0; i < s.depth; ++i)
            hash_level(s, i);
    }
    walk_level &level = s.levels[s.depth];
    level = {dev, ino, path_length, nullptr, 0, 0, back_fd, 0};
    hash_level(s, s.depth++);
    return level;
}

// What read_entries gives.
constexpr int ENTRIES_READ = 0;        // every entry was read
constexpr int ENTRIES_CUT_SHORT = 1;   // reading failed after some entries; errno tells why
constexpr int ENTRIES_UNREAD = -1;     // the directory could not be opened or read at all

// Reads the working directory's entries, hidden ones left out, into level;
// those read before a failure stay. Returns ENTRIES_READ, ENTRIES_CUT_SHORT
// or ENTRIES_UNREAD, with errno set on failure.
int read_entries(walk_level &level)
{
    DIR *dir = opendir(".");
    if (!dir)
        return ENTRIES_UNREAD;
    size_t size = 0;
    bool any = false;
    for (;;) {
        // readdir tells the end from a failure only by errno.
        errno = 0;
        const dirent *entry = readdir(dir);
        if (!entry)
            break;
        any = true;
        if (entry->d_name[0] == '.')
            continue;
        size_t name_size = strlen(entry->d_name) + 1;
        size_t need = level.entries_used + ENTRY_HEAD + name_size;
        if (need > size) {
            size = size ? size * 2 : FIRST_ENTRY_BYTES;
            if (size < need)
                size = need;
            void *grown = realloc(level.entries, size);
            if (!grown)
                memory_failure();
            level.entries = static_cast<char *>(grown);
        }
        char *at = level.entries + level.entries_used;
        ino_t ino = entry->d_ino;
        memcpy(at, &ino, sizeof ino);
        at[sizeof ino] = static_cast<char>(entry->d_type);
        memcpy(at + ENTRY_HEAD, entry->d_name, name_size);
        level.entries_used = need;
    }
    int error = errno;
    closedir(dir);
    if (level.entries_used < size) {
        // Never fails in practice; if it does, the larger buffer serves.
        if (void *cut = realloc(level.entries, level.entries_used ? level.entries_used : 1))
            level.entries = static_cast<char *>(cut);
    }
    errno = error;
    if (error == 0)
        return ENTRIES_READ;
    return any ? ENTRIES_CUT_SHORT : ENTRIES_UNREAD;
}

// Returns to the directory above the innermost level and drops that level.
// Ends the process when the way back no longer leads to that directory, as
// when the tree is moved while it is walked.
void leave_level(walk_state &s)
{
    walk_level &level = s.levels[s.depth - 1];
    const walk_level &above = s.levels[s.depth - 2];
    bool back;
    if (level.back_fd >= 0) {
        back = fchdir(level.back_fd) == 0;
        int saved = errno;
        close(level.back_fd);
        errno = saved;
        --s.held_fds;
    } else {
        // A directory moved away meanwhile leaves ".." somewhere else.
        struct stat st;
        back = chdir("..") == 0 && stat(".", &st) == 0;
        if (back && (st.st_dev != above.dev || st.st_ino != above.ino)) {
            back = false;
            errno = ENOENT;
        }
    }
    if (!back) {
        say("Unable to return to work directory: %s\n", strerror(errno));
        stop_run();
    }
    s.buckets[bucket_of(s, level.dev, level.ino)] = level.same_bucket;
    free(level.entries);
    --s.depth;
}

// Returns whether ".." of the subdirectory name leads back to the innermost
// level: it does unless the directory was reached through a link from
// elsewhere.
bool dotdot_leads_back(walk_state &s, const char *name)
{
    size_t need = strlen(name) + sizeof "/..";
    if (need > s.up_size) {
        void *grown = realloc(s.up, need);
        if (!grown)
            memory_failure();
        s.up = static_cast<char *>(grown);
        s.up_size = need;
    }
    snprintf(s.up, s.up_size, "%s/..", name);
    const walk_level &here = s.levels[s.depth - 1];
    struct stat parent;
    return stat(s.up, &parent) == 0 && parent.st_dev == here.dev && parent.st_ino == here.ino;
}

// Enters the subdirectory name, whose identity is st and whose stored path
// is in s.path, and reads it. Reports and returns when it cannot be entered
// or read, noting that its files are left out; the working directory is
// then unchanged.
void enter_directory(walk_state &s, const char *name, const struct stat &st, size_t path_length)
{
    // Only a directory that ".." does not lead back from needs a descriptor
    // held to return by.
    bool leads_back = dotdot_leads_back(s, name);
    int back_fd = -1;
    int error = 0;
    if (!leads_back && s.held_fds >= s.fd_cap)
        error = EMFILE;
    else if (!leads_back && (back_fd = open_directory_handle(".")) < 0)
        error = errno;
    else if (chdir(name) != 0)
        error = errno;
    if (error) {
        if (back_fd >= 0)
            close(back_fd);
        say("Unable to enter directory %s: %s\n", show_path(s.path), strerror(error));
        s.left_out = true;
        return;
    }
    if (back_fd >= 0)
        ++s.held_fds;
    walk_level &level = push_level(s, st.st_dev, st.st_ino, path_length, back_fd);
    int read = read_entries(level);
    if (read != ENTRIES_READ) {
        say("Unable to open work directory: %s\n", strerror(errno));
        s.left_out = true;
    }
    // Entries read before a failure are still taken.
    if (read == ENTRIES_UNREAD)
        leave_level(s);
}

// Forms in s.path the first PAK_NAME_MAX bytes of the stored path of name in
// the innermost level, whose own stored path is already there.
void form_stored_path(walk_state &s, const char *name)
{
    const walk_level &level = s.levels[s.depth - 1];
    size_t used = level.path_length < PAK_NAME_MAX ? level.path_length : PAK_NAME_MAX;
    if (s.depth > 1 && used < PAK_NAME_MAX)
        s.path[used++] = '/';
    size_t take = strnlen(name, PAK_NAME_MAX - used);
    memcpy(s.path + used, name, take);
    s.path[used + take] = '\0';
}

// Appends a member for the stored path to the list, growing it by one; a
// cut path is noted as the first cut one unless an earlier one was.
void append_member(member_list &list, const char *path, bool cut)
{
    // Where size_t is 32 bits, the list's size must not wrap around.
    if (list.count + 1 > SIZE_MAX / sizeof(pak_record)) {
        errno = ENOMEM;
        memory_failure();
    }
    pak_record *grown = static_cast<pak_record *>(
        realloc(list.records, static_cast<size_t>(list.count + 1) * sizeof(pak_record)));
    if (!grown)
        memory_failure();
    list.records = grown;
    if (cut && list.first_cut == NO_CUT)
        list.first_cut = list.count;
    pak_record &record = list.records[list.count++];
    memset(&record, 0, sizeof record);
    memcpy(record.name, path, strlen(path));
}

// Returns whether a file whose listing gave inode number ino may be one of
// the files skip holds by identity, so that its status must be taken to tell.
bool may_be_skipped(const build_skips &skip, ino_t ino)
{
    for (size_t i = 0; i < skip.id_count; ++i)
        if (skip.ids[i].ino == ino)
            return true;
    return false;
}

// Handles the next entry of the innermost level: appends a member for a
// file, enters a directory, or reports what is passed over.
void take_entry(walk_state &s, member_list &list, const build_skips &skip)
{
    walk_level &level = s.levels[s.depth - 1];
    const char *at = level.entries + level.next_entry;
    ino_t entry_ino;
    memcpy(&entry_ino, at, sizeof entry_ino);
    unsigned char type = static_cast<unsigned char>(at[sizeof entry_ino]);
    const char *name = at + ENTRY_HEAD;
    level.next_entry += ENTRY_HEAD + strlen(name) + 1;

    // Whatever file the archive's own name holds by now, perhaps another
    // build's finished archive, it is never a member.
    if (skip.name && level.dev == skip.dir.dev && level.ino == skip.dir.ino &&
        strcmp(name, skip.name) == 0)
        return;

    form_stored_path(s, name);
    size_t path_length = (s.depth > 1 ? level.path_length + 1 : 0) + strlen(name);
    bool cut = path_length > PAK_NAME_MAX;

    // The listing's own type saves a status call for every plain file;
    // links, unknown types and directories need the status, following
    // links, to know what they lead to and which directory it is. A file
    // is checked against the files to skip only when its number matches
    // one, or when its cut path would otherwise stop the build.
    struct stat st;
    bool have_status = false;
    if (type == DT_DIR || type == DT_LNK || type == DT_UNKNOWN ||
        (type == DT_REG && skip.id_count > 0 && (cut || may_be_skipped(skip, entry_ino)))) {
        have_status = stat(name, &st) == 0;
        if (!have_status && type != DT_REG && errno != ENOENT && errno != ELOOP) {
            // Not a link to nothing or into a loop, whose open reports it at
            // its turn: what the entry is cannot be told.
            say("Skipping %s: %s\n", show_path(s.path), strerror(errno));
            s.left_out = true;
            return;
        }
        if (!have_status)
            type = DT_REG;  // recorded; its open reports what is wrong
        else if (S_ISDIR(st.st_mode))
            type = DT_DIR;
        else if (S_ISREG(st.st_mode))
            type = DT_REG;
        else
            type = DT_UNKNOWN;
    }

    if (type == DT_REG) {
        if (!(have_status && is_one_of(skip.ids, skip.id_count, st)))
            append_member(list, s.path, cut);
        return;
    }
    if (type != DT_DIR) {
        say("Skipping %s: not a regular file or directory\n", show_path(s.path));
        return;
    }
    if (on_walk_path(s, st.st_dev, st.st_ino)) {
        say("Skipping %s: directory loop\n", show_path(s.path));
        return;
    }
    enter_directory(s, name, st, path_length);
}

}  // namespace

bool is_one_of(const file_id *ids, size_t count, const struct stat &st)
{
    for (size_t i = 0; i < count; ++i)
        if (st.st_dev == ids[i].dev && st.st_ino == ids[i].ino)
            return true;
    return false;
}

// Each directory is taken in the order the system lists it. Entries read
// before a directory fails are kept; a directory that leads back to one on
// the walk's path is reported and skipped. The walk holds no descriptor per
// level but for levels reached through links from elsewhere (within half the
// descriptor limit), keeps its path on the heap, and ends where it began.
int collect_files(member_list &list, const build_skips &skip)
{
    walk_state s = {};
    struct rlimit nofile;
    s.fd_cap = FD_CAP_MAX;
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur != RLIM_INFINITY &&
        nofile.rlim_cur / 2 < FD_CAP_MAX)
        s.fd_cap = static_cast<size_t>(nofile.rlim_cur / 2);

    // The top's identity tells the directory loops and the archive's own
    // directory apart; without it the top counts as unread.
    struct stat top = {};
    int read = ENTRIES_UNREAD;
    if (stat(".", &top) == 0)
        read = read_entries(push_level(s, top.st_dev, top.st_ino, 0, -1));
    if (read != ENTRIES_READ) {
        say("Unable to open work directory: %s\n", strerror(errno));
        s.left_out = true;
    }
    if (read != ENTRIES_UNREAD) {
        while (s.depth > 1 || s.levels[0].next_entry < s.levels[0].entries_used) {
            walk_level &level = s.levels[s.depth - 1];
            if (level.next_entry < level.entries_used)
                take_entry(s, list, skip);
            else
                leave_level(s);
        }
    }
    if (s.depth > 0)
        free(s.levels[0].entries);
    free(s.levels);
    free(s.buckets);
    free(s.up);
    if (read == ENTRIES_UNREAD)
        return WALK_TOP_UNREADABLE;
    return s.left_out ? WALK_LEFT_OUT : WALK_COMPLETE;
}
