#include "tests/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

// Removes name below the directory at_fd with all it holds, through
// descriptors, so that trees deeper than a path can name go too.
void remove_below(int at_fd, const char *name)
{
    struct stat st;
    if (fstatat(at_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        fchmodat(at_fd, name, 0700, 0);
        int fd = openat(at_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr) {
            while (dirent *e = readdir(dir))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    remove_below(dirfd(dir), e->d_name);
            closedir(dir);
        }
        unlinkat(at_fd, name, AT_REMOVEDIR);
    } else {
        unlinkat(at_fd, name, 0);
    }
}


void list_into(const std::string &root, const std::string &rel, std::vector<std::string> &out)
{
    DIR *dir = opendir((root + "/" + rel).c_str());
    if (!dir)
        return;
    while (dirent *e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        std::string path = rel.empty() ? e->d_name : rel + "/" + e->d_name;
        struct stat st;
        if (lstat((root + "/" + path).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            out.push_back(path + "/");
            list_into(root, path, out);
        } else {
            out.push_back(path);
        }
    }
    closedir(dir);
}

}  // namespace

void remove_tree(const std::string &path)
{
    remove_below(AT_FDCWD, path.c_str());
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool path_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_tree(const std::string &dir)
{
    std::vector<std::string> out;
    list_into(dir, "", out);
    std::sort(out.begin(), out.end());
    return out;
}

std::string pattern(size_t n, unsigned seed)
{
    std::string bytes(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(x >> 16);
    }
    return bytes;
}

std::string le32(uint32_t v)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    return bytes;
}

std::string pak_header_bytes(uint32_t dir_offset, uint32_t dir_length, const std::string &magic)
{
    return magic + le32(dir_offset) + le32(dir_length);
}

std::string pak_record_bytes(const std::string &name, uint32_t data_offset, uint32_t data_length)
{
    std::string field = name.substr(0, 56);
    field.resize(56, '\0');
    return field + le32(data_offset) + le32(data_length);
}

std::string pak_bytes(const std::vector<test_member> &members)
{
    std::string data, directory;
    uint32_t offset = 12;
    for (const test_member &m : members) {
        directory += pak_record_bytes(m.name, offset, static_cast<uint32_t>(m.data.size()));
        data += m.data;
        offset += static_cast<uint32_t>(m.data.size());
    }
    return pak_header_bytes(offset, static_cast<uint32_t>(directory.size())) + data + directory;
}

std::string hidden_entry(const std::string &dir)
{
    std::string found;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] == '.' && strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                found = e->d_name;
        closedir(d);
    }
    return found;
}
