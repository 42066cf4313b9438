// Files and archive bytes for the tests and the fuzz targets: nothing here
// needs the test framework.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Removes path with all it holds, through descriptors, so that trees deeper
// than a path can name go too; a missing path is no error.
void remove_tree(const std::string &path);
// Returns the bytes of path, or "<missing>" when it cannot be read.
std::string read_file(const std::string &path);
bool path_exists(const std::string &path);
// Returns every path below dir, relative to it and sorted; directories end in "/".
std::vector<std::string> list_tree(const std::string &dir);
// Returns the name of an entry of dir itself that begins with ".", as the new
// file of a build does while it runs, or "" when there is none.
std::string hidden_entry(const std::string &dir);
// Returns n bytes that differ from one position to the next.
std::string pattern(size_t n, unsigned seed = 1);

// Archive bytes, made from the format's rules alone.
std::string le32(uint32_t v);
std::string pak_header_bytes(uint32_t dir_offset, uint32_t dir_length,
                             const std::string &magic = "PACK");
// A 64-byte record; name is padded with NUL bytes to 56, or cut to 56.
std::string pak_record_bytes(const std::string &name, uint32_t data_offset,
                             uint32_t data_length);
struct test_member {
    std::string name;
    std::string data;
};
// A well-formed archive of members, laid out as the builder lays it out.
std::string pak_bytes(const std::vector<test_member> &members);
