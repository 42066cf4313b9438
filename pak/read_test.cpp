#include "pak/read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support.h"

namespace {

using strings = std::vector<std::string>;

// Reads archive from a file inside a fresh directory, with the working
// directory set to its empty subdirectory "out", as the driver leaves it.
struct reading {
    scoped_dir dir;
    run_result result;
    reading(const std::string &archive, int list_mode)
    {
        write_file(dir / "a.pak", archive);
        mkdir((dir / "out").c_str(), 0755);
        FILE *pak = fopen((dir / "a.pak").c_str(), "rb");
        scoped_cwd in_out(dir / "out");
        result = capture([&] { return read_pak(pak, list_mode); });
        fclose(pak);
    }
    std::string file(const std::string &rel) const { return read_file(dir / ("out/" + rel)); }
    strings extracted() const { return list_tree(dir / "out"); }
    // Everything in the fresh directory: what appears beside "out" leaked.
    strings everything() const { return list_tree(dir.path); }
};

TEST(ReadHeader, OnlyTheMagicMarksAnArchive)
{
    for (const std::string &bytes :
         {std::string(), std::string("P"), std::string("PAC"), std::string("pack"),
          std::string("PACk"), std::string("KCAP") + le32(12) + le32(0), std::string(12, '\0')}) {
        for (int list_mode : {0, 1}) {
            reading r(bytes, list_mode);
            EXPECT_EQ(r.result.status, -1);
            EXPECT_EQ(r.result.out, "");
            EXPECT_EQ(r.result.err, "Error: not a PAK file\n");
            EXPECT_EQ(r.extracted(), strings{});
        }
    }
}

TEST(ReadHeader, MissingHeaderBytesReadAsZero)
{
    for (const std::string &bytes : {std::string("PACK"), std::string("PACK\x0c\x00", 6),
                                     pak_header_bytes(12, 0), pak_header_bytes(12, 63)}) {
        reading r(bytes, 0);
        EXPECT_EQ(r.result.status, 0);
        EXPECT_EQ(r.result.out, listing_heading);
        EXPECT_EQ(r.result.err, "");
        EXPECT_EQ(r.extracted(), strings{});
    }
}

TEST(ReadDirectory, CountIsTheLengthInWholeRecords)
{
    // 130 bytes: two records, the two bytes after them ignored.
    std::string archive = pak_header_bytes(14, 130) + "xy" + pak_record_bytes("one", 12, 1) +
                          pak_record_bytes("two", 13, 1) + "zz";
    reading r(archive, 1);
    EXPECT_EQ(r.result.out, listing_heading + "  0        1 one\n  1        1 two\n");
}

TEST(ReadDirectory, RecordsTheFileLacksAreListedAsEmpty)
{
    // Three records promised, one and a half held.
    std::string archive =
        pak_header_bytes(12, 192) + pak_record_bytes("whole", 0, 4) + pak_record_bytes("half", 0, 4).substr(0, 32);
    reading listed(archive, 1);
    const std::string incomplete = "Archive directory is incomplete: the file holds 1 of its 3 records\n";
    EXPECT_EQ(listed.result.status, READ_LEFT_OUT);
    EXPECT_EQ(listed.result.out,
              listing_heading + "  0        4 whole\n  1        0 half\n  2        0 \n" + incomplete);

    reading extracted(archive, 0);
    EXPECT_EQ(extracted.result.status, READ_LEFT_OUT);
    EXPECT_EQ(extracted.result.out, listing_heading + "  0        4 whole\n"
                                              "  1        0 half\n"
                                              "  2        0 \n"
                                              "Error opening : No such file or directory\n"
                                              "Error writing record: No such file or directory\n" +
                                              incomplete);
    EXPECT_EQ(extracted.file("whole"), "PACK");
    EXPECT_EQ(extracted.file("half"), "");
}

TEST(ReadDirectory, AnOffsetPastTheEndListsEveryRecordEmpty)
{
    reading r(pak_header_bytes(1000, 128), 1);
    EXPECT_EQ(r.result.out, listing_heading + "  0        0 \n  1        0 \n" +
                                "Archive directory is incomplete: the file holds 0 of its 2 records\n");
}

TEST(ReadData, EveryChunkBoundaryExtractsExactly)
{
    std::vector<test_member> members;
    for (size_t size : {0, 1, 9998, 9999, 10000, 19998, 19999, 20000, 131072, 300001})
        members.push_back({"m" + std::to_string(size), pattern(size, static_cast<unsigned>(size))});
    reading r(pak_bytes(members), 0);
    EXPECT_EQ(r.result.status, 0);
    for (const test_member &m : members)
        EXPECT_EQ(r.file(m.name), m.data) << m.name;
}

TEST(ReadData, IsFoundByOffsetAloneInAnyOrder)
{
    // Data regions in reverse order of the records, with junk between them,
    // one region shared by two records and the directory before the data.
    std::string dir = pak_record_bytes("first", 310, 5) + pak_record_bytes("second", 300, 6) +
                      pak_record_bytes("shared", 300, 3) + pak_record_bytes("header", 0, 12);
    std::string archive = pak_header_bytes(12, static_cast<uint32_t>(dir.size())) + dir;
    archive.resize(300, '#');
    archive += "SECOND####FIRST###";
    reading r(archive, 0);
    EXPECT_EQ(r.file("first"), "FIRST");
    EXPECT_EQ(r.file("second"), "SECOND");
    EXPECT_EQ(r.file("shared"), "SEC");
    EXPECT_EQ(r.file("header"), archive.substr(0, 12));
}

TEST(ReadData, TheLaterOfTwoEqualPathsWins)
{
    reading r(pak_bytes({{"same", "old data"}, {"same", "new"}}), 0);
    EXPECT_EQ(r.file("same"), "new");
}

TEST(ReadData, ListModeReadsNoDataAndMakesNothing)
{
    std::string archive = pak_header_bytes(12, 128) + pak_record_bytes("d/e/f", 5000, 99) +
                          pak_record_bytes("g", 12, 0);
    reading r(archive, 1);
    EXPECT_EQ(r.result.status, 0);
    EXPECT_EQ(r.result.out, listing_heading + "  0       99 d/e/f\n  1        0 g\n");
    EXPECT_EQ(r.everything(), (strings{"a.pak", "out/"}));
}

TEST(ReadData, IndexAndSizeColumnsWidenForLargeNumbers)
{
    std::string dir;
    for (int i = 0; i < 1001; ++i)
        dir += pak_record_bytes("n", 0, i == 1000 ? 123456789u : 0u);
    reading r(pak_header_bytes(12, static_cast<uint32_t>(dir.size())) + dir, 1);
    EXPECT_NE(r.result.out.find("\n  0        0 n\n"), std::string::npos);
    EXPECT_NE(r.result.out.find("\n999        0 n\n1000 123456789 n\n"), std::string::npos);
}

TEST(ReadTree, LeadingDirectoriesAreMadeAndReused)
{
    reading r(pak_bytes({{"a/b/c", "1"}, {"a/b/d", "2"}, {"a/e", "3"}, {"x", "4"}}), 0);
    EXPECT_EQ(r.result.out, listing_heading + "  0        1 a/b/c\n  1        1 a/b/d\n  2        1 a/e\n  3        1 x\n");
    EXPECT_EQ(r.extracted(), (strings{"a/", "a/b/", "a/b/c", "a/b/d", "a/e", "x"}));
    struct stat st;
    ASSERT_EQ(stat((r.dir / "out/a/b").c_str(), &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask);
}

TEST(ReadTree, AFailedOpenLetsExtractionGoOn)
{
    reading r(pak_bytes({{"plain", "p"}, {"plain/under", "u"}, {"dir/", ""}, {"after", "ok"}}), 0);
    EXPECT_EQ(r.result.status, READ_LEFT_OUT);
    EXPECT_EQ(r.result.out, listing_heading + "  0        1 plain\n"
                                      "  1        1 plain/under\n"
                                      "Error opening plain/under: Not a directory\n"
                                      "Error writing record: Not a directory\n"
                                      "  2        0 dir/\n"
                                      "Error opening dir/: Is a directory\n"
                                      "Error writing record: Is a directory\n"
                                      "  3        2 after\n");
    EXPECT_EQ(r.extracted(), (strings{"after", "dir/", "plain"}));
}

TEST(ReadSafety, PathsLeadingOutsideAreListedButNotExtracted)
{
    const strings unsafe = {"/abs", "../up", "a/../../up2", "a/..", "..", "b/../c"};
    std::vector<test_member> members;
    for (const std::string &p : unsafe)
        members.push_back({p, "evil"});
    members.push_back({"..fine/a...b", "ok"});
    reading r(pak_bytes(members), 0);
    std::string expected = listing_heading;
    for (size_t i = 0; i < unsafe.size(); ++i)
        expected += "  " + std::to_string(i) + "        4 " + unsafe[i] + "\n" + "Not extracting " +
                    unsafe[i] + ": path leads outside the output directory\n";
    expected += "  6        2 ..fine/a...b\n";
    EXPECT_EQ(r.result.out, expected);
    EXPECT_EQ(r.result.status, READ_LEFT_OUT);
    EXPECT_EQ(r.everything(), (strings{"a.pak", "out/", "out/..fine/", "out/..fine/a...b"}));
    EXPECT_FALSE(path_exists("/abs"));
}

TEST(ReadSafety, ANameWithoutNulIsItsFieldAndNoMore)
{
    std::string full(56, 'n');
    std::string archive = pak_header_bytes(12 + 3, 128) + "abc" + pak_record_bytes(full, 12, 3) +
                          pak_record_bytes("next", 12, 1);
    reading r(archive, 0);
    EXPECT_EQ(r.result.out, listing_heading + "  0        3 " + full + "\n  1        1 next\n");
    EXPECT_EQ(r.file(full), "abc");
}

TEST(ReadSafety, ControlBytesAreShownEscapedAndKeptOnDisk)
{
    std::string name = "a\x1b[31mb\x7f\x01\x1f";
    reading r(pak_bytes({{name, "x"}, {"sub\n/../x", "y"}}), 0);
    EXPECT_EQ(r.result.out, listing_heading + "  0        1 a\\033[31mb\\177\\001\\037\n"
                                      "  1        1 sub\\012/../x\n"
                                      "Not extracting sub\\012/../x: path leads outside the output directory\n");
    EXPECT_EQ(r.file(name), "x");
}

TEST(ReadSafety, MissingDataIsReportedAndNothingInvented)
{
    // The second member's data runs 6 bytes past the end of the file.
    std::string archive = pak_header_bytes(12, 128) + pak_record_bytes("whole", 140, 2) +
                          pak_record_bytes("short", 142, 10) + "ok" + "tail";
    reading r(archive, 0);
    EXPECT_EQ(r.result.status, READ_LEFT_OUT);
    EXPECT_EQ(r.result.out, listing_heading + "  0        2 whole\n  1       10 short\n"
                                      "Member short is incomplete: 6 of its 10 bytes are missing from the archive\n");
    EXPECT_EQ(r.file("whole"), "ok");
    EXPECT_EQ(r.file("short"), "tail");
}

TEST(ReadSafety, AFailedMemberWriteIsReportedAndExtractionGoesOn)
{
    scoped_dir dir;
    write_file(dir / "a.pak", pak_bytes({{"full", pattern(100000)}, {"next", "ok"}}));
    mkdir((dir / "out").c_str(), 0755);
    // A member file that the device refuses to hold; a link in its place is
    // never followed.
    if (mknod((dir / "out/full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        GTEST_SKIP() << "making a device node needs privilege";
    ASSERT_EQ(symlink("/dev/full", (dir / "out/next").c_str()), 0);
    FILE *pak = fopen((dir / "a.pak").c_str(), "rb");
    scoped_cwd in(dir / "out");
    run_result r = capture([&] { return read_pak(pak, 0); });
    fclose(pak);
    EXPECT_EQ(r.status, READ_LEFT_OUT);
    const std::string loop = strerror(ELOOP);
    EXPECT_EQ(r.out, listing_heading + "  0   100000 full\n"
                               "Error writing record: " + strerror(ENOSPC) + "\n"
                               "  1        2 next\n"
                               "Error opening next: " + loop + "\n"
                               "Error writing record: " + loop + "\n");
}

TEST(ReadSafety, AMemberThatCannotBeWrittenAmidSmallOnesIsReportedInItsPlace)
{
    // Small members are written from one read of the archive; the one
    // that fails is still reported after its own line.
    scoped_dir dir;
    write_file(dir / "a.pak", pak_bytes({{"a", "1"}, {"full", "xyz"}, {"c", "3"}, {"d", ""}}));
    mkdir((dir / "out").c_str(), 0755);
    if (mknod((dir / "out/full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        GTEST_SKIP() << "making a device node needs privilege";
    FILE *pak = fopen((dir / "a.pak").c_str(), "rb");
    scoped_cwd in(dir / "out");
    run_result r = capture([&] { return read_pak(pak, 0); });
    fclose(pak);
    EXPECT_EQ(r.status, READ_LEFT_OUT);
    EXPECT_EQ(r.out, listing_heading + "  0        1 a\n"
                                       "  1        3 full\n"
                                       "Error writing record: No space left on device\n"
                                       "  2        1 c\n"
                                       "  3        0 d\n");
    EXPECT_EQ(list_tree(dir / "out"), (std::vector<std::string>{"a", "c", "d", "full"}));
    EXPECT_EQ(read_file(dir / "out/a") + read_file(dir / "out/c") + read_file(dir / "out/d"), "13");
}

TEST(ReadSafety, AFailedReadOfAMembersDataIsReportedWithItsCause)
{
    scoped_dir dir;
    write_file(dir / "a.pak", pak_bytes({{"m", "data"}}));
    FILE *pak = fopen((dir / "a.pak").c_str(), "rb");
    // The stream's descriptor now refuses to be read.
    int write_only = open((dir / "a.pak").c_str(), O_WRONLY);
    ASSERT_EQ(dup2(write_only, fileno(pak)), fileno(pak));
    close(write_only);
    scoped_cwd in(dir.path);
    pak_record record = {};
    memcpy(record.name, "m", 1);
    record.data_offset = 12;
    record.data_length = 4;
    run_result r = capture([&] { return extract_record(pak, record); });
    fclose(pak);
    EXPECT_EQ(r.status, EXTRACT_PARTIAL);
    EXPECT_EQ(r.out, "Error reading m: Bad file descriptor\n");
    EXPECT_EQ(read_file(dir / "m"), "");
}

TEST(ReadSafety, AnArchiveThatCannotSeekIsNotRead)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string archive = pak_bytes({{"f", "data"}});
    ASSERT_EQ(write(fds[1], archive.data(), archive.size()), static_cast<ssize_t>(archive.size()));
    close(fds[1]);
    scoped_dir dir;
    scoped_cwd in(dir.path);
    FILE *pak = fdopen(fds[0], "rb");
    run_result r = capture([&] { return read_pak(pak, 0); });
    fclose(pak);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "Error seeking in archive: " + std::string(strerror(ESPIPE)) + "\n");
    EXPECT_EQ(list_tree(dir.path), strings{});
}

// Every prefix of a good archive lists and extracts without harm: whatever
// is extracted is a leading part of a member's data, inside "out".
TEST(ReadTruncation, EveryPrefixFailsCleanly)
{
    const std::vector<test_member> members = {
        {"top", "first member"}, {"dir/mid", ""}, {"dir/sub/last", "the third one"}};
    const std::string archive = pak_bytes(members);
    for (size_t len = 0; len <= archive.size(); ++len) {
        for (int list_mode : {1, 0}) {
            reading r(archive.substr(0, len), list_mode);
            std::string label = "prefix " + std::to_string(len) + (list_mode ? " list" : " extract");
            // Less than the magic is no archive; with the header whole, any
            // cut reaches the directory at the end and is never a success.
            if (len < 4 || len == archive.size())
                EXPECT_EQ(r.result.status, len < 4 ? READ_FAILED : READ_COMPLETE) << label;
            else if (len >= 12)
                EXPECT_EQ(r.result.status, READ_LEFT_OUT) << label;
            else
                EXPECT_NE(r.result.status, READ_FAILED) << label;
            for (const std::string &p : r.everything())
                EXPECT_TRUE(p == "a.pak" || p.rfind("out/", 0) == 0) << label << ": " << p;
            for (const test_member &m : members) {
                if (path_exists(r.dir / ("out/" + m.name))) {
                    EXPECT_EQ(m.data.rfind(r.file(m.name), 0), 0u) << label << ": " << m.name;
                }
            }
            const strings whole = {"dir/", "dir/mid", "dir/sub/", "dir/sub/last", "top"};
            if (len == archive.size()) {
                EXPECT_EQ(r.extracted(), list_mode ? strings{} : whole) << label;
            }
        }
    }
}

TEST(ParentDirs, AreMadeShortestFirstAndNeverThePathItself)
{
    scoped_dir dir;
    scoped_cwd in(dir.path);
    std::string path = "a/b/c";
    EXPECT_EQ(make_parent_dirs(path.c_str()), 0);
    EXPECT_EQ(path, "a/b/c");
    EXPECT_EQ(list_tree(dir.path), (strings{"a/", "a/b/"}));
    EXPECT_EQ(make_parent_dirs("plain"), 0);
    EXPECT_EQ(make_parent_dirs("a/b/again"), 0);
    EXPECT_EQ(list_tree(dir.path), (strings{"a/", "a/b/"}));
}

}  // namespace
