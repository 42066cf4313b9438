#include "pak/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support.h"

namespace {

using strings = std::vector<std::string>;

struct walked {
    strings names;
    uint64_t first_cut;
    std::string out;
    int result;
};

// Walks dir from its top, as the builder does, and returns what it found.
walked walk(const std::string &dir)
{
    scoped_cwd in(dir);
    member_list list = {nullptr, 0, NO_CUT};
    walked w;
    run_result r = capture([&] { return collect_files(list, {}); });
    for (uint64_t i = 0; i < list.count; ++i) {
        EXPECT_EQ(list.records[i].name[PAK_NAME_MAX], '\0');
        w.names.push_back(list.records[i].name);
        EXPECT_EQ(list.records[i].data_length, 0u);
        EXPECT_EQ(list.records[i].data_offset, 0u);
    }
    w.first_cut = list.first_cut;
    free(list.records);
    char here[4096], expected[4096];
    EXPECT_STREQ(getcwd(here, sizeof here), realpath(dir.c_str(), expected)) << "walk moved";
    w.out = r.out;
    w.result = r.status;
    return w;
}

// The order a walk must find files in: each directory's own listing order,
// unsorted, depth first, hidden names passed over.
void expected_order(const std::string &root, const std::string &rel, strings &out)
{
    DIR *dir = opendir((root + "/" + rel).c_str());
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::string path = rel.empty() ? e->d_name : rel + "/" + e->d_name;
        struct stat st;
        stat((root + "/" + path).c_str(), &st);
        if (S_ISDIR(st.st_mode))
            expected_order(root, path, out);
        else
            out.push_back(path);
    }
    closedir(dir);
}

TEST(Walk, FollowsEachDirectorysListingOrderDepthFirst)
{
    scoped_dir dir;
    for (int i = 0; i < 40; ++i)
        write_file(dir / ("f" + std::to_string(i * 7919 % 97)), "x");
    for (const char *p : {"a/b/c.txt", "a/b/d", "a/z", "m/n/o/p/q", "top", "x y/ünï"})
        write_file(dir / p, p);
    strings expected;
    expected_order(dir.path, "", expected);
    walked w = walk(dir.path);
    EXPECT_EQ(w.names, expected);
    EXPECT_EQ(w.result, WALK_COMPLETE);
    EXPECT_EQ(w.out, "");
}

TEST(Walk, PassesOverHiddenNamesAndEmptyDirectories)
{
    scoped_dir dir;
    write_file(dir / ".profile", "h");
    write_file(dir / ".hidden/inner", "h");
    write_file(dir / "a/.x", "h");
    write_file(dir / "a/b/c.txt", "c");
    mkdir((dir / "empty").c_str(), 0755);
    mkdir((dir / "a/emptier").c_str(), 0755);
    walked w = walk(dir.path);
    EXPECT_EQ(w.names, strings{"a/b/c.txt"});
    EXPECT_EQ(w.out, "");
}

TEST(Walk, CutsPathsLongerThanANameHoldsAndMarksThem)
{
    scoped_dir dir;
    const std::string fits(55, 'f');
    const std::string deep = std::string(30, 'd') + "/" + std::string(24, 'e');  // 55 bytes
    const std::string over = std::string(30, 'd') + "/" + std::string(25, 'o');  // 56 bytes
    const std::string under_cut = std::string(30, 'd') + "/" + std::string(30, 'x') + "/y";
    for (const std::string &p : {fits, deep, over, under_cut})
        write_file(dir / p, "x");
    walked w = walk(dir.path);
    ASSERT_EQ(w.names.size(), 4u);
    uint64_t first_cut = NO_CUT;
    for (size_t i = 0; i < w.names.size(); ++i) {
        const std::string &n = w.names[i];
        bool cut = n == over.substr(0, 55) || n == under_cut.substr(0, 55);
        EXPECT_TRUE(n == fits || n == deep || cut) << n;
        if (cut && first_cut == NO_CUT)
            first_cut = i;
    }
    EXPECT_EQ(w.first_cut, first_cut);
    EXPECT_NE(first_cut, NO_CUT);
}

TEST(Walk, FollowsLinksToDirectoriesButNeverIntoALoop)
{
    scoped_dir dir;
    write_file(dir / "real/inner/file", "r");
    write_file(dir / "real/after", "a");
    ASSERT_EQ(symlink("real", (dir / "other").c_str()), 0);
    ASSERT_EQ(symlink(".", (dir / "real/inner/self").c_str()), 0);
    ASSERT_EQ(symlink("..", (dir / "real/inner/up").c_str()), 0);
    ASSERT_EQ(symlink(dir.path.c_str(), (dir / "real/top").c_str()), 0);
    walked w = walk(dir.path);

    // Through "other" the link's own path is stored; the loops inside real
    // are met twice, once through each way in.
    strings sorted = w.names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (strings{"other/after", "other/inner/file", "real/after", "real/inner/file"}));
    for (const char *loop : {"real/inner/self", "real/inner/up", "real/top", "other/inner/self",
                             "other/inner/up", "other/top"})
        EXPECT_NE(w.out.find(std::string("Skipping ") + loop + ": directory loop\n"), std::string::npos)
            << loop << "\n" << w.out;
}

TEST(Walk, HoldsDescriptorsOnlyForLinksFromElsewhereWithinTheLimit)
{
    // A chain of links, each into a directory whose ".." is not the link's
    // own directory: the only levels the walk needs a descriptor to leave.
    scoped_dir dir;
    const int chain = 25;
    mkdir((dir / "far").c_str(), 0755);
    for (int i = 1; i <= chain; ++i) {
        mkdir((dir / ("far/x" + std::to_string(i))).c_str(), 0755);
        if (i < chain)
            symlink(("../x" + std::to_string(i + 1)).c_str(),
                    (dir / ("far/x" + std::to_string(i) + "/next")).c_str());
    }
    write_file(dir / "tree/file", "f");
    ASSERT_EQ(symlink("../far/x1", (dir / "tree/go").c_str()), 0);

    int first_free = open("/dev/null", O_RDONLY);
    close(first_free);
    walked all = walk(dir / "tree");
    EXPECT_EQ(all.out, "");
    EXPECT_EQ(all.names, strings{"file"});

    struct rlimit saved, low;
    getrlimit(RLIMIT_NOFILE, &saved);
    low = saved;
    low.rlim_cur = 40;  // the walk may hold 20
    setrlimit(RLIMIT_NOFILE, &low);
    walked w = walk(dir / "tree");
    setrlimit(RLIMIT_NOFILE, &saved);
    std::string at = "go";
    for (int i = 0; i < 20; ++i)
        at += "/next";
    EXPECT_EQ(w.out, "Unable to enter directory " + at.substr(0, 55) + ": " + strerror(EMFILE) + "\n");
    EXPECT_EQ(w.result, WALK_LEFT_OUT);
    EXPECT_EQ(w.names, strings{"file"});
    int next_free = open("/dev/null", O_RDONLY);
    close(next_free);
    EXPECT_EQ(next_free, first_free) << "every descriptor given back";
}

TEST(Walk, SkipsWhatIsNeitherFileNorDirectoryButRecordsDanglingLinks)
{
    scoped_dir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("fifo", (dir / "to-fifo").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (dir / "to-dev").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::string sock_path = dir / "sock";
    ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
    strcpy(addr.sun_path, sock_path.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    write_file(dir / "file", "f");

    walked w = walk(dir.path);
    strings sorted = w.names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (strings{"dangling", "file"}));
    for (const char *skipped : {"fifo", "to-fifo", "to-dev", "sock"})
        EXPECT_NE(w.out.find(std::string("Skipping ") + skipped + ": not a regular file or directory\n"),
                  std::string::npos)
            << skipped;
    close(sock);
}

TEST(Walk, AnUnreadableTopGivesItsMessageAndNothing)
{
    scoped_dir dir;
    std::string gone = dir / "gone";
    mkdir(gone.c_str(), 0755);
    scoped_cwd in(gone);
    rmdir(gone.c_str());
    member_list list = {nullptr, 0, NO_CUT};
    run_result r = capture([&] { return collect_files(list, {}); });
    EXPECT_EQ(r.status, WALK_COMPLETE);  // a removed directory reads as empty
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(r.out, "");
}

}  // namespace
