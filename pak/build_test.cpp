#include "pak/build.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support.h"

namespace {

using strings = std::vector<std::string>;

struct built {
    run_result result;
    std::string archive;
    strings order;  // member names as the listing gave them
};

// Builds an archive of tree into archive_path with the tree as the working
// directory, as the driver does.
built build(const std::string &tree, const std::string &archive_path)
{
    built b;
    int pak = open(archive_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    struct stat st;
    fstat(pak, &st);
    const file_id self = {st.st_dev, st.st_ino};
    {
        scoped_cwd in(tree);
        b.result = capture([&] { return create_pak(pak, {&self, 1, {}, nullptr}); });
    }
    close(pak);
    b.archive = read_file(archive_path);
    std::istringstream lines(b.result.out);
    std::string line;
    while (std::getline(lines, line))
        if (line.size() > 13 && line[3] == ' ' && line[12] == ' ' && line.rfind("---", 0) != 0 &&
            line.rfind("Num", 0) != 0)
            b.order.push_back(line.substr(13));
    return b;
}

TEST(Build, AnEmptyTreeGivesTwelveBytes)
{
    scoped_dir dir;
    mkdir((dir / "tree").c_str(), 0755);
    write_file(dir / "tree/.only-hidden", "h");
    built b = build(dir / "tree", dir / "a.pak");
    EXPECT_EQ(b.result.status, BUILD_COMPLETE);
    EXPECT_EQ(b.result.out, listing_heading);
    EXPECT_EQ(b.archive, std::string("PACK\x0c\0\0\0\0\0\0\0", 12));
}

TEST(Build, OneMemberLaysOutAsTheFormatSays)
{
    scoped_dir dir;
    write_file(dir / "tree/hello", "12345");
    built b = build(dir / "tree", dir / "a.pak");
    EXPECT_EQ(b.result.out, listing_heading + "  0        5 hello\n");
    ASSERT_EQ(b.archive.size(), 81u);
    EXPECT_EQ(b.archive, pak_header_bytes(17, 64) + "12345" + pak_record_bytes("hello", 12, 5));
}

TEST(Build, DataLiesBackToBackInWalkOrderWithTheDirectoryLast)
{
    scoped_dir dir;
    write_file(dir / "tree/five", "55555");
    write_file(dir / "tree/zero", "");
    write_file(dir / "tree/seven", "7777777");
    built b = build(dir / "tree", dir / "a.pak");
    ASSERT_EQ(b.order.size(), 3u);
    std::vector<test_member> members;
    for (const std::string &name : b.order)
        members.push_back({name, read_file(dir / ("tree/" + name))});
    EXPECT_EQ(b.archive, pak_bytes(members));
    EXPECT_EQ(b.archive.size(), 216u);
    EXPECT_EQ(b.archive.substr(4, 8), le32(24) + le32(192));
}

TEST(Build, TheArchiveIsNeverItsOwnMember)
{
    scoped_dir dir;
    write_file(dir / "tree/a", "aaa");
    write_file(dir / "tree/sub/b", "bb");
    built b = build(dir / "tree", dir / "tree/sub/self.pak");
    EXPECT_EQ(b.result.status, BUILD_COMPLETE);
    EXPECT_EQ(b.order.size(), 2u);
    EXPECT_EQ(b.result.out.find("self.pak"), std::string::npos);
    EXPECT_EQ(b.archive.substr(8, 4), le32(128));
}

TEST(Build, MembersMustFitTheFormatsThirtyTwoBitFields)
{
    const struct {
        uint64_t offset, length;
        int limit;
    } cases[] = {
        {12, 0, MEMBER_FITS},
        {12, 4294967283u, MEMBER_FITS},  // ends exactly at the largest offset
        {12, 4294967284u, MEMBER_ENDS_PAST_LIMIT},
        {4294967295u, 0, MEMBER_FITS},
        {4294967295u, 1, MEMBER_ENDS_PAST_LIMIT},
        {12, 4294967295u, MEMBER_ENDS_PAST_LIMIT},
        {12, 4294967296u, MEMBER_TOO_LARGE},
        {4000000000u, 4294967296u, MEMBER_TOO_LARGE},
    };
    for (const auto &c : cases)
        EXPECT_EQ(member_limit(c.offset, c.length), c.limit) << c.offset << "+" << c.length;
}

TEST(Build, AFailingArchiveWriteIsReturnedWithItsError)
{
    scoped_dir dir;
    write_file(dir / "tree/f", pattern(100000));
    int pak = open("/dev/full", O_WRONLY);
    ASSERT_GE(pak, 0);
    int error = 0;
    run_result r;
    {
        scoped_cwd in(dir / "tree");
        r = capture([&] {
            int result = create_pak(pak, {});
            error = errno;
            return result;
        });
    }
    close(pak);
    EXPECT_EQ(r.status, BUILD_WRITE_FAILED);
    EXPECT_EQ(error, ENOSPC);
}

}  // namespace
