#include "pak/copy.h"

#include <fcntl.h>
#include <unistd.h>

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
    c.result = copy_range(in, offset, out, length);
    c.error = errno;
    c.in_offset_after = lseek(in, 0, SEEK_CUR);
    close(in);
    close(out);
    c.out = out_path ? "" : read_file(dir / "out");
    return c;
}

TEST(CopyRange, CopiesTheAskedRangeAndNoMore)
{
    const std::string source = pattern(300000, 9);
    const struct {
        uint64_t offset, length;
    } cases[] = {{0, 0}, {0, 1}, {0, 9999}, {5, 10000}, {100, 200000}, {0, 300000}, {299999, 1}};
    for (const auto &c : cases) {
        copied r = copy_file(source, c.offset, c.length);
        EXPECT_EQ(r.result.status, COPY_DONE);
        EXPECT_EQ(r.result.copied, c.length);
        EXPECT_EQ(r.out, source.substr(c.offset, c.length)) << c.offset << "+" << c.length;
        EXPECT_EQ(r.in_offset_after, 3) << "the input's own offset stays";
    }
}

TEST(CopyRange, StopsWhereTheInputEnds)
{
    const std::string source = pattern(5000, 2);
    for (uint64_t offset : {0u, 4000u, 5000u, 9000u}) {
        copied r = copy_file(source, offset, 3000);
        EXPECT_EQ(r.result.status, COPY_DONE);
        std::string expected = offset < source.size() ? source.substr(offset, 3000) : "";
        EXPECT_EQ(r.result.copied, expected.size());
        EXPECT_EQ(r.out, expected);
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
    copy_result r = copy_range(in, 0, out, 10);
    EXPECT_EQ(r.status, COPY_READ_FAILED);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(r.copied, 0u);
    close(in);
    close(out);
}

TEST(CopyRange, WritesToAPipeAtItsOwnPace)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    scoped_dir dir;
    write_file(dir / "in", "through a pipe");
    int in = open((dir / "in").c_str(), O_RDONLY);
    copy_result r = copy_range(in, 8, fds[1], 100);
    close(fds[1]);
    char buf[64] = {};
    EXPECT_EQ(read(fds[0], buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "a pipe");
    EXPECT_EQ(r.status, COPY_DONE);
    EXPECT_EQ(r.copied, 6u);
    close(fds[0]);
    close(in);
}

}  // namespace
