#include "pak/copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "tests/support.h"

namespace {

struct copied {
    copy_result result;
    int error;
    std::string out;
    off_t in_offset_after;
};

// Copies length bytes from offset of a file holding source into a fresh
// file, or into out_path when one is given.
copied copy_file(const std::string &source, uint64_t offset, uint64_t length,
                 const char *out_path = nullptr)
{
    scoped_dir dir;
    write_file(dir / "in", source);
    int in = open((dir / "in").c_str(), O_RDONLY);
    lseek(in, 3, SEEK_SET);
    int out = open(out_path ? out_path : (dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    copied c;
    c.result = copy_range(in, offset, out, 0, length);
    c.error = errno;
    c.in_offset_after = lseek(in, 0, SEEK_CUR);
    close(in);
    close(out);
    c.out = out_path ? "" : read_file(dir / "out");
    return c;
}

TEST(CopyRange, CopiesTheAskedRangeOrUpToTheInputsEnd)
{
    const std::string source = pattern(300000, 9);
    const struct {
        uint64_t offset, length, copied;
    } cases[] = {{0, 0, 0},          {0, 1, 1},           {0, 9999, 9999},
                 {5, 10000, 10000},  {100, 200000, 200000}, {0, 300000, 300000},
                 {299999, 1, 1},     {299000, 3000, 1000},  {300000, 10, 0},
                 {400000, 10, 0},    {0, 1u << 20, 300000}};
    for (const auto &c : cases) {
        copied r = copy_file(source, c.offset, c.length);
        std::string label = std::to_string(c.offset) + "+" + std::to_string(c.length);
        EXPECT_EQ(r.result.status, COPY_DONE) << label;
        EXPECT_EQ(r.result.copied, c.copied) << label;
        EXPECT_EQ(r.out, source.substr(std::min<uint64_t>(c.offset, source.size()), c.copied)) << label;
        EXPECT_EQ(r.in_offset_after, 3) << "the input's own offset stays: " << label;
    }
}

TEST(CopyRange, ReachesDevices)
{
    copied r = copy_file(pattern(70000), 0, 70000, "/dev/null");
    EXPECT_EQ(r.result.status, COPY_DONE);
    EXPECT_EQ(r.result.copied, 70000u);

    r = copy_file(pattern(70000), 0, 70000, "/dev/full");
    EXPECT_EQ(r.result.status, COPY_WRITE_FAILED);
    EXPECT_EQ(r.error, ENOSPC);
    EXPECT_EQ(r.result.copied, 0u);
}

TEST(CopyRange, TellsAReadFailureFromAWriteFailure)
{
    scoped_dir dir;
    int in = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0644);
    copy_result r = copy_range(in, 0, out, 0, 10);
    EXPECT_EQ(r.status, COPY_READ_FAILED);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(r.copied, 0u);
    close(in);
    close(out);
}

}  // namespace
