// libFuzzer target: the input describes a small tree of files, directories
// and symbolic links (to files and to directories, ancestors included). The
// target makes it in a scratch directory, builds an archive of it with
// create_pak, extracts that with read_pak into a fresh directory and aborts
// unless both hold exactly what the walk should take: every regular file
// reachable from the top without passing a name that begins with "." and
// without entering a directory already on the way down, stored under the
// path it was reached by (a link's own path, not its target's). The archive
// must also lay the members' data back to back from byte 12, with the
// directory behind it.
//
// Trees stay inside the format's limits, so the builder never ends the
// process: every stored path has at most 55 bytes, no link dangles, there
// are no special files, and names hold neither "/" nor NUL and are never "."
// or "..". Sizes stay small so that each input runs in milliseconds.
//
// The input is read as a stream of entries, each of which is dropped when
// it would break those limits:
//   op      bits 0-1: 0 file, 1 directory, 2 link to a file, 3 link to a
//           directory; bits 2-4 all clear: the name begins with "."; bit 5:
//           the link's text is relative rather than absolute
//   parent  picks the real directory the entry goes in
//   length  of the name: 1 + length % 12, or up to 55 from 0xf0 on
//   name    that many bytes; NUL and "/" are replaced
//   then, for a file, a size byte (0-127 bytes, then steps of 32 up to
//   4 KiB) and a byte that seeds its content; for a link, a byte picking
//   its target among the entries of the right kind.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "pak/build.h"
#include "pak/format.h"
#include "pak/read.h"
#include "tests/files.h"

namespace {

constexpr size_t MAX_ENTRIES = 40;
constexpr size_t MAX_MEMBERS = 200;         // files the walk may take
constexpr size_t MAX_MEMBER_BYTES = 65536;  // and their bytes together
constexpr size_t MAX_DIRS_ENTERED = 400;

enum entry_kind { ENTRY_FILE, ENTRY_DIR, ENTRY_LINK };

struct entry {
    entry_kind kind;
    size_t parent;  // a real directory; the top is entry 0, its own parent
    std::string name;
    std::string content;  // of a file
    size_t target;        // of a link: an earlier entry
    bool relative;        // of a link: its text leads from its directory
};

using members = std::map<std::string, std::string>;  // stored path -> data

std::string base, tree, out, archive;
int start_dir = -1;  // given back after each case: the fuzzer's paths are relative to it

[[noreturn]] void fail(const std::string &what)
{
    fprintf(stderr, "roundtrip_fuzz: %s\n", what.c_str());
    abort();
}

// Returns text with bytes outside printable ASCII as \ooo, for messages.
std::string shown(const std::string &text)
{
    std::string s;
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7F) {
            char esc[5];
            snprintf(esc, sizeof esc, "\\%03o", c);
            s += esc;
        } else {
            s += static_cast<char>(c);
        }
    }
    return s;
}

// Returns the entry a chain of links ends at.
size_t resolve(const std::vector<entry> &entries, size_t i)
{
    while (entries[i].kind == ENTRY_LINK)
        i = entries[i].target;
    return i;
}

// Returns the path of entry i below the top, through real directories.
std::string real_path(const std::vector<entry> &entries, size_t i)
{
    if (i == 0)
        return "";
    std::string up = real_path(entries, entries[i].parent);
    return up.empty() ? entries[i].name : up + "/" + entries[i].name;
}

// Returns how many real directories lie between the top and entry i's
// directory.
size_t depth_of(const std::vector<entry> &entries, size_t i)
{
    size_t depth = 0;
    for (; i != 0; i = entries[i].parent)
        ++depth;
    return depth;
}

struct walk_budget {
    size_t files = 0, bytes = 0, dirs = 0;
};

// Adds to expected what the walk takes below directory dir, reached as
// prefix with the directories on stack above it; returns false when the tree
// breaks the format's limits or the target's bounds.
bool expect_below(const std::vector<entry> &entries, size_t dir, const std::string &prefix,
                  std::vector<size_t> &stack, members &expected, walk_budget &budget)
{
    for (size_t c = 1; c < entries.size(); ++c) {
        const entry &e = entries[c];
        if (e.parent != dir || e.name[0] == '.')
            continue;
        std::string path = prefix.empty() ? e.name : prefix + "/" + e.name;
        size_t r = resolve(entries, c);
        if (entries[r].kind == ENTRY_FILE) {
            budget.bytes += entries[r].content.size();
            if (path.size() > PAK_NAME_MAX || ++budget.files > MAX_MEMBERS ||
                budget.bytes > MAX_MEMBER_BYTES)
                return false;
            expected[path] = entries[r].content;
            continue;
        }
        if (std::find(stack.begin(), stack.end(), r) != stack.end())
            continue;  // a loop: reported and skipped
        if (++budget.dirs > MAX_DIRS_ENTERED)
            return false;
        stack.push_back(r);
        bool fits = expect_below(entries, r, path, stack, expected, budget);
        stack.pop_back();
        if (!fits)
            return false;
    }
    return true;
}

// Returns false when entries break the limits; fills expected otherwise.
bool expect(const std::vector<entry> &entries, members &expected)
{
    expected.clear();
    std::vector<size_t> stack{0};
    walk_budget budget;
    return expect_below(entries, 0, "", stack, expected, budget);
}

// Reads the input as entries, keeping each one that fits.
std::vector<entry> decode(const uint8_t *data, size_t size, members &expected)
{
    size_t at = 0;
    auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    std::vector<entry> entries{{ENTRY_DIR, 0, "", "", 0, false}};
    expect(entries, expected);
    while (at < size && entries.size() < MAX_ENTRIES) {
        uint8_t op = next();
        entry e{ENTRY_FILE, 0, "", "", 0, (op & 0x20) != 0};
        std::vector<size_t> dirs, files, dir_targets;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].kind == ENTRY_DIR)
                dirs.push_back(i);
            (entries[resolve(entries, i)].kind == ENTRY_DIR ? dir_targets : files).push_back(i);
        }
        e.parent = dirs[next() % dirs.size()];
        uint8_t length = next();
        size_t name_size = length >= 0xF0 ? 20 + length % 36 : 1 + length % 12;
        if ((op & 0x1C) == 0)
            e.name = ".";
        while (e.name.size() < name_size) {
            uint8_t c = next();
            e.name += c == 0 ? 'z' : c == '/' ? 'y' : static_cast<char>(c);
        }
        switch (op & 3) {
        case 0: {
            uint8_t s = next();
            size_t file_size = s < 128 ? s : (s - 127u) * 32u;
            uint8_t seed = next();
            for (size_t i = 0; i < file_size; ++i)
                e.content += static_cast<char>(seed + i * (seed | 1));
            break;
        }
        case 1:
            e.kind = ENTRY_DIR;
            break;
        case 2:
        case 3: {
            const std::vector<size_t> &pick = (op & 3) == 2 ? files : dir_targets;
            uint8_t t = next();
            if (pick.empty())
                continue;
            e.kind = ENTRY_LINK;
            e.target = pick[t % pick.size()];
            break;
        }
        }
        if (e.name == "." || e.name == "..")
            continue;
        bool taken = false;
        for (const entry &other : entries)
            taken = taken || (other.parent == e.parent && other.name == e.name);
        if (taken)
            continue;
        entries.push_back(e);
        if (!expect(entries, expected)) {
            entries.pop_back();
            expect(entries, expected);
        }
    }
    return entries;
}

// Returns the text of a link from entry i's directory to its target.
std::string link_text(const std::vector<entry> &entries, size_t i)
{
    const entry &e = entries[i];
    std::string to = real_path(entries, e.target);
    if (!e.relative)
        return to.empty() ? tree : tree + "/" + to;
    std::string text;
    for (size_t up = depth_of(entries, e.parent); up > 0; --up)
        text += text.empty() ? ".." : "/..";
    if (text.empty())
        return to.empty() ? "." : to;
    return to.empty() ? text : text + "/" + to;
}

// Makes the entries below the scratch tree.
void make_tree(const std::vector<entry> &entries)
{
    remove_tree(tree);
    if (mkdir(tree.c_str(), 0755) != 0)
        fail("cannot make the tree's top");
    for (size_t i = 1; i < entries.size(); ++i) {
        const entry &e = entries[i];
        std::string path = tree + "/" + real_path(entries, i);
        bool made = false;
        if (e.kind == ENTRY_DIR) {
            made = mkdir(path.c_str(), 0755) == 0;
        } else if (e.kind == ENTRY_LINK) {
            made = symlink(link_text(entries, i).c_str(), path.c_str()) == 0;
        } else if (FILE *f = fopen(path.c_str(), "wb")) {
            made = fwrite(e.content.data(), 1, e.content.size(), f) == e.content.size();
            made = fclose(f) == 0 && made;
        }
        if (!made)
            fail("cannot make " + shown(path) + ": " + strerror(errno));
    }
}

// Adds every regular file below dir (stored as prefix) to found; fails on
// anything else and on an empty directory, which extraction never makes.
void gather(const std::string &dir, const std::string &prefix, members &found)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        fail("cannot read the extracted " + shown(dir));
    size_t names = 0;
    while (const dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        ++names;
        std::string path = dir + "/" + name;
        std::string stored = prefix.empty() ? name : prefix + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            fail("cannot stat the extracted " + shown(stored));
        if (S_ISDIR(st.st_mode))
            gather(path, stored, found);
        else if (S_ISREG(st.st_mode))
            found[stored] = read_file(path);
        else
            fail("extraction made something other than a file or directory: " + shown(stored));
    }
    closedir(d);
    if (names == 0 && !prefix.empty())
        fail("extraction made an empty directory: " + shown(prefix));
}

// Fails unless found holds exactly what expected holds.
void compare(const char *what, const members &expected, const members &found)
{
    for (const auto &m : expected) {
        auto f = found.find(m.first);
        if (f == found.end())
            fail(std::string(what) + " lacks " + shown(m.first));
        if (f->second != m.second)
            fail(std::string(what) + " holds other bytes for " + shown(m.first));
    }
    for (const auto &f : found)
        if (!expected.count(f.first))
            fail(std::string(what) + " holds the unexpected " + shown(f.first));
}

// Reads the archive's members from its bytes, failing unless its header,
// its data laid back to back from byte 12 and its directory agree.
members archive_members(const std::string &bytes)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes.data());
    if (bytes.size() < PAK_HEADER_SIZE || memcmp(p, PAK_MAGIC, PAK_MAGIC_SIZE) != 0)
        fail("the archive has no header");
    uint64_t dir_offset = load_le32(p + PAK_HEADER_DIR_OFFSET_AT);
    uint64_t dir_length = load_le32(p + PAK_HEADER_DIR_LENGTH_AT);
    if (dir_length % PAK_RECORD_SIZE != 0 || dir_offset + dir_length != bytes.size())
        fail("the archive's directory is not where its header says, ending the file");
    members found;
    uint64_t position = PAK_HEADER_SIZE;
    for (uint64_t at = dir_offset; at < bytes.size(); at += PAK_RECORD_SIZE) {
        pak_record r = decode_record(p + at);
        if (r.name[PAK_NAME_MAX] != '\0')
            fail("a stored path fills its whole field");
        if (r.data_offset != position || r.data_offset + uint64_t{r.data_length} > dir_offset)
            fail("member data does not lie back to back before the directory");
        position += r.data_length;
        std::string name(r.name, strnlen(r.name, PAK_NAME_SIZE));
        if (found.count(name))
            fail("the archive stores " + shown(name) + " twice");
        found[name] = bytes.substr(r.data_offset, r.data_length);
    }
    if (position != dir_offset)
        fail("the archive has data that no member holds");
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char templ[] = "/tmp/pakwright-roundtrip-XXXXXX";
    if (!mkdtemp(templ))
        abort();
    base = templ;
    tree = base + "/tree";
    out = base + "/out";
    archive = base + "/tree.pak";
    start_dir = open(".", O_RDONLY | O_DIRECTORY);
    // The builder and the reader print listings; they are not what is tested.
    int null_fd = open("/dev/null", O_WRONLY);
    if (start_dir < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0)
        abort();
    close(null_fd);
    atexit([] { remove_tree(base); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    members expected;
    std::vector<entry> entries = decode(data, size, expected);
    make_tree(entries);

    int pak_fd = open(archive.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    struct stat self;
    if (pak_fd < 0 || fstat(pak_fd, &self) != 0 || chdir(tree.c_str()) != 0)
        fail("cannot open the archive or enter the tree");
    const file_id skip = {self.st_dev, self.st_ino};
    int built = create_pak(pak_fd, {&skip, 1, {}, nullptr});
    if (fchdir(start_dir) != 0 || close(pak_fd) != 0 || built != BUILD_COMPLETE)
        fail("the archive was not built");

    remove_tree(out);
    if (mkdir(out.c_str(), 0755) != 0 || chdir(out.c_str()) != 0)
        fail("cannot make the output directory");
    FILE *pak = fopen(archive.c_str(), "rb");
    int read = pak ? read_pak(pak, 0) : READ_FAILED;
    if (pak)
        fclose(pak);
    fflush(stdout);
    if (fchdir(start_dir) != 0 || read != READ_COMPLETE)
        fail("the archive was not read");

    compare("the archive", expected, archive_members(read_file(archive)));
    members found;
    gather(out, "", found);
    compare("the extracted tree", expected, found);
    return 0;
}
