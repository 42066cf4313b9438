// Creating, listing and extracting through the built binary: round trips,
// the limits of the format, failures of the file system, and hostile trees
// and archives.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#if __has_include(<linux/userfaultfd.h>)
#include <linux/userfaultfd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pak/config.h"
#include "tests/support.h"

namespace {

using strings = std::vector<std::string>;

std::string create_settings(const std::string &pak, const std::string &dir)
{
    return settings_lines(pak, dir.c_str(), "create");
}

// Makes a sparse file of size bytes.
void sparse_file(const std::string &path, off_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

// Makes a chain of levels directories named "d" below top; returns a
// descriptor of the deepest.
int deep_chain(const std::string &top, int levels)
{
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < levels; ++level) {
        mkdirat(fd, "d", 0755);
        int below = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = below;
    }
    return fd;
}

// Runs args in dir under strace, which holds the run's first call named held
// for 0.4 s, while swap (called about every millisecond until it returns
// true) changes the files the run meets. With hide_proc, /proc is hidden
// from the run. Returns what the run gave; the opens it made are in trace.
run_result run_holding(const scoped_dir &dir, const strings &args, const std::string &held,
                       const std::string &trace, const std::function<bool()> &swap,
                       bool hide_proc = false)
{
    run_options options;
    if (hide_proc)
        options.prefix = {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                          "mount -t tmpfs none /proc && exec \"$0\" \"$@\""};
    options.prefix.insert(options.prefix.end(),
                          {strace_path(), "-f", "-qq", "-o", trace, "-e",
                           "trace=open,openat,openat2," + held, "-e",
                           "inject=" + held + ":delay_enter=400000:when=1"});
    options.watch = [&](int) { return swap(); };
    return run_in(dir, args, options);
}

// Returns the lines of an strace record in which a file named name was
// opened, not for its status alone, and the open succeeded.
strings opened(const std::string &trace, const std::string &name)
{
    strings found;
    std::istringstream lines(read_file(trace));
    for (std::string line; std::getline(lines, line);) {
        if (line.find("open") != std::string::npos &&
            line.find("\"" + name + "\"") != std::string::npos &&
            line.find("O_PATH") == std::string::npos && line.find(") = -1") == std::string::npos)
            found.push_back(line);
    }
    return found;
}

// Writes back every file below dir and drops its data from the page cache,
// so that the next build meets the tree cold and reads ahead.
void evict(const std::string &dir)
{
    for (const std::string &p : list_tree(dir)) {
        int fd = p.back() == '/' ? -1 : open((dir + "/" + p).c_str(), O_RDONLY);
        if (fd < 0)
            continue;
        fdatasync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
}

TEST(RoundTrip, EveryFileComesBackByteForByte)
{
    scoped_dir dir;
    const std::vector<test_member> files = {
        {"README", "top level"},
        {"empty", ""},
        {"name with spaces.txt", "spaces"},
        {"ünï/cödé/文字.txt", "UTF-8 names are stored as their bytes"},
        {"sizes/9998", pattern(9998, 1)},
        {"sizes/9999", pattern(9999, 2)},
        {"sizes/10000", pattern(10000, 3)},
        {"sizes/10001", pattern(10001, 4)},
        {"sizes/19999", pattern(19999, 5)},
        {"a/b/c/d/e/f/g/deep", pattern(777, 6)},
        {"large", pattern(3 << 20, 7)},
    };
    for (const test_member &f : files)
        write_file(dir / ("tree/" + f.name), f.data);
    write_file(dir / "tree/.hidden", "left out");
    mkdir((dir / "tree/empty-dir").c_str(), 0755);

    run_result made = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"});
    EXPECT_EQ(made.status, 0);
    EXPECT_EQ(made.err, "");
    run_result listed = run_in(dir, {"-l", "-p", "t.pak"});
    run_result got = run_in(dir, {"-d", "out", "-p", "t.pak"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.err, "");

    // The three listings agree, line for line.
    const std::string listing = made.out.substr(create_settings("t.pak", "tree").size());
    EXPECT_EQ(listed.out, settings_lines("t.pak", nullptr, "list") + listing);
    EXPECT_EQ(got.out, settings_lines("t.pak", "out", "extract") + listing);

    for (const test_member &f : files)
        EXPECT_EQ(read_file(dir / ("out/" + f.name)), f.data) << f.name;
    strings tree = list_tree(dir / "tree"), out = list_tree(dir / "out");
    tree.erase(std::remove(tree.begin(), tree.end(), ".hidden"), tree.end());
    tree.erase(std::remove(tree.begin(), tree.end(), "empty-dir/"), tree.end());
    EXPECT_EQ(out, tree);

    // A file system whose listing gives no entry types yields the same
    // archive: each entry's status tells what it is.
    if (sanitized_build())
        return;  // the sanitizers' runtime must be loaded first
    run_options untyped;
    untyped.env = {{"LD_PRELOAD", PAKWRIGHT_NO_ENTRY_TYPES}};
    untyped.dynamic = true;
    const std::string archive = read_file(dir / "t.pak");
    EXPECT_EQ(run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, untyped).out, made.out);
    EXPECT_TRUE(read_file(dir / "t.pak") == archive) << "the same archive, byte for byte";
}

TEST(RoundTrip, TheShippedExampleCreatesAndLists)
{
    scoped_dir dir;
    run_result made = run_pakwright({"-c", "-d", PAKWRIGHT_SOURCE "/examples/tree", "-p", dir / "e.pak"});
    EXPECT_EQ(made.status, 0);
    run_result listed = run_pakwright({"-l", "-p", dir / "e.pak"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find(" src/hello.c\n"), std::string::npos) << listed.out;
}

TEST(Limits, APathLongerThanANameHoldsStopsTheBuild)
{
    scoped_dir dir;
    const std::string fits = std::string(30, 'd') + "/" + std::string(24, 'o');  // 55 bytes
    const std::string over = fits + "o";                                         // 56 bytes
    write_file(dir / ("tree/" + fits), "must not be taken for the longer one");
    write_file(dir / ("tree/" + over), "long");
    run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("Error opening " + fits + ": " + strerror(ENAMETOOLONG) + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(list_tree(dir.path), (strings{"tree/", "tree/" + fits.substr(0, 30) + "/", "tree/" + fits, "tree/" + over}))
        << "the build stopped and left no archive";
}

TEST(Limits, AColdTreeBuildsWithFewDescriptorsAsWithMany)
{
    scoped_dir dir;
    for (unsigned i = 0; i < 80; ++i)
        write_file(dir / ("tree/d" + std::to_string(i % 3) + "/m" + std::to_string(i)),
                   pattern(100 + 37 * i, i));
    write_file(dir / "tree/large", pattern(3 << 20, 99));
    evict(dir / "tree");
    run_options few;
    few.nofile_limit = 16;
    run_result cold = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, few);
    const std::string cold_archive = read_file(dir / "t.pak");
    ASSERT_EQ(unlink((dir / "t.pak").c_str()), 0);
    run_result warm = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"});
    EXPECT_EQ(cold.status, 0);
    EXPECT_EQ(cold.out, warm.out);
    EXPECT_EQ(cold_archive, read_file(dir / "t.pak"));
}

TEST(Limits, AMemberOfFourGibibytesStopsTheBuildBeforeItsData)
{
    scoped_dir dir;
    mkdir((dir / "tree").c_str(), 0755);
    sparse_file(dir / "tree/huge", off_t{1} << 32);
    run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, create_settings("t.pak", "tree") + listing_heading +
                         "Error adding huge: 4294967296 bytes exceed the member size limit of "
                         "4294967295 bytes\n");
    EXPECT_FALSE(path_exists(dir / "t.pak"));
}

TEST(Limits, ADirectoryPromisingMoreThanTheFileHoldsTakesNoMemoryForIt)
{
    if (sanitized_build())
        GTEST_SKIP() << "address limits do not combine with the sanitizers";
    scoped_dir dir;
    // 1,048,576 records would take 64 MiB; the run may use 32.
    std::string archive = pak_header_bytes(12, 1u << 26) + pak_record_bytes("only", 0, 4);
    archive.resize(200, '\0');
    write_file(dir / "a.pak", archive);
    run_options options;
    options.address_limit = 32L << 20;
    run_result r = run_in(dir, {"-l", "-p", "a.pak"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    const std::string start = settings_lines("a.pak", nullptr, "list") + listing_heading +
                              "  0        4 only\n  1        0 \n  2        0 \n";
    EXPECT_EQ(r.out.substr(0, start.size()), start);
    EXPECT_NE(r.out.find("\n1048575        0 \nArchive directory is incomplete: the file holds 2 "
                         "of its 1048576 records\n"),
              std::string::npos);
}

TEST(Limits, ADirectoryTooLargeForMemoryEndsTheRun)
{
    if (sanitized_build())
        GTEST_SKIP() << "address limits do not combine with the sanitizers";
    scoped_dir dir;
    // A sparse archive that really holds 67,108,863 records, 4 GiB of them.
    sparse_file(dir / "a.pak", 12 + off_t{4294967232});
    std::string head = pak_header_bytes(12, 4294967232u);
    int fd = open((dir / "a.pak").c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), 12);
    close(fd);
    run_options options;
    options.address_limit = 1L << 30;
    run_result r = run_in(dir, {"-l", "-p", "a.pak"}, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, settings_lines("a.pak", nullptr, "list") +
                         "Error allocating memory: " + strerror(ENOMEM) + "\n");
}

TEST(WriteFailures, AFullDeviceFailsTheBuild)
{
    scoped_dir dir;
    write_file(dir / "tree/f", pattern(200000));
    run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "/dev/full"});
    EXPECT_EQ(r.status, 255);
    // The magic cannot be written, so the build stops before its listing.
    EXPECT_EQ(r.out, create_settings("/dev/full", "tree") +
                         "Error writing /dev/full: No space left on device\n");
}

TEST(WriteFailures, AFileSizeLimitFailsTheBuildLoudly)
{
    scoped_dir dir;
    write_file(dir / "tree/small", "tiny");
    write_file(dir / "tree/z-big", pattern(50000));
    for (long limit : {2L, 1000L, 50000L}) {
        run_options options;
        options.fsize_limit = limit;
        run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, options);
        EXPECT_EQ(r.status, 255) << limit;
        EXPECT_NE(r.out.find("Error writing t.pak: File too large\n"), std::string::npos)
            << limit << "\n" << r.out;
    }
}

TEST(WriteFailures, AFileSizeLimitFailsEachMemberLoudlyAndExtractionGoesOn)
{
    scoped_dir dir;
    write_file(dir / "a.pak", pak_bytes({{"big", pattern(50000)}, {"small", "fits"}}));
    run_options options;
    options.fsize_limit = 1000;
    run_result r = run_in(dir, {"-p", "a.pak", "-d", "out"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, settings_lines("a.pak", "out", "extract") + listing_heading + "  0    50000 big\n" +
                         "Error writing record: File too large\n" + "  1        4 small\n");
    EXPECT_EQ(read_file(dir / "out/small"), "fits");
}

TEST(Limits, RunningOutOfMemoryForTheRecordListStopsTheBuild)
{
    if (sanitized_build())
        GTEST_SKIP() << "the sanitizers own the allocator";
#ifdef PAKWRIGHT_NO_PRELOAD
    GTEST_SKIP() << PAKWRIGHT_NO_PRELOAD;
#endif
    scoped_dir dir;
    for (const char *name : {"a", "b", "c", "d"})
        write_file(dir / ("tree/" + std::string(name)), name);
    run_options options;
    // The list grows a record at a time: the third file needs 192 bytes.
    options.env = {{"LD_PRELOAD", PAKWRIGHT_FAIL_REALLOC}, {"PAKWRIGHT_FAIL_REALLOC_SIZE", "192"}};
    options.dynamic = true;
    run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, create_settings("t.pak", "tree") + "Memory failure: " + strerror(ENOMEM) + "\n");
    EXPECT_EQ(list_tree(dir.path), (strings{"tree/", "tree/a", "tree/b", "tree/c", "tree/d"}));
}

TEST(HostileTrees, SpecialFilesAreSkippedAndNeverOpened)
{
    scoped_dir dir;
    write_file(dir / "tree/file", "f");
    ASSERT_EQ(mkfifo((dir / "tree/fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "tree/zero").c_str()), 0);
    run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Skipping fifo: not a regular file or directory\n"), std::string::npos);
    EXPECT_NE(r.out.find("Skipping zero: not a regular file or directory\n"), std::string::npos);
    EXPECT_EQ(read_file(dir / "t.pak"), pak_bytes({{"file", "f"}}));
}

// A member turned into a link to a device after the walk stops the build,
// and the device is never opened, whether or not /proc is there to reopen a
// file checked first. Only the portable open may open it for a moment.
TEST(HostileTrees, AMemberTurnedIntoALinkToADeviceIsNeverOpened)
{
    if (!cannot_trace().empty())
        GTEST_SKIP() << cannot_trace();
    if (!PAKWRIGHT_HAVE_OPENAT2 && !PAKWRIGHT_HAVE_O_PATH && !PAKWRIGHT_HAVE_O_NOFOLLOW_ANY)
        GTEST_SKIP() << "the portable open cannot tell a device before it opens it";
    for (bool hide_proc : {false, true}) {
        if (hide_proc && geteuid() != 0)
            GTEST_SKIP() << "hiding /proc needs a mount namespace, which needs root";
        SCOPED_TRACE(hide_proc ? "without /proc" : "with /proc");
        scoped_dir dir;
        write_file(dir / "tree/m", "data");
        // Members reached through links come first where the system lists
        // the newest first; they are what needs a reopen.
        for (const char *name : {"l1", "l2", "l3"}) {
            write_file(dir / name, name);
            ASSERT_EQ(symlink(("../" + std::string(name)).c_str(), (dir / ("tree/" + std::string(name))).c_str()), 0);
        }
        const std::string trace = dir / "trace";
        // Once the new file exists, the walk is over within a moment; the
        // header's write, before any member is opened, is held meanwhile.
        bool seen = false;
        run_result r = run_holding(dir, {"-c", "-d", "tree", "-p", "t.pak"}, "pwrite64", trace,
                                   [&] {
                                       if (!seen && (seen = !hidden_entry(dir.path).empty()))
                                           usleep(100000);
                                       return seen && unlink((dir / "tree/m").c_str()) == 0 &&
                                              symlink("/dev/zero", (dir / "tree/m").c_str()) == 0;
                                   },
                                   hide_proc);
        EXPECT_EQ(r.status, 255);
        const std::string end = "Error opening m: not a regular file\n";
        EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), end.size())), end);
        EXPECT_EQ(opened(trace, "m"), strings{});
        EXPECT_EQ(opened(trace, "/dev/zero"), strings{});
    }
}

TEST(HostileTrees, TheArchiveInsideTheTreeIsPassedOverHoweverLongItsPath)
{
    // At a path longer than a name holds, the archive must not stop the
    // build as a member would.
    for (const std::string &inner : strings{"inner.pak", std::string(50, 'L') + "/out.pak"}) {
        scoped_dir dir;
        write_file(dir / "tree/f", "data");
        mkdir((dir / "tree/" + std::string(50, 'L')).c_str(), 0755);
        run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "tree/" + inner});
        EXPECT_EQ(r.status, 0) << inner;
        EXPECT_EQ(r.out, create_settings("tree/" + inner, "tree") + listing_heading + "  0        4 f\n");
        EXPECT_EQ(read_file(dir / ("tree/" + inner)), pak_bytes({{"f", "data"}}));
    }
}

TEST(HostileTrees, ADeepTreeNeitherCrashesNorRunsOutOfDescriptors)
{
    // Far deeper than a recursive walk survives on a 256 KiB stack, and
    // deeper than the descriptor limit, were one held for each level.
    scoped_dir dir;
    write_file(dir / "tree/top", "t");
    int fd = deep_chain(dir / "tree", 3000);
    run_options options;
    options.stack_limit = 256 << 10;
    options.nofile_limit = 16;
    run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, create_settings("t.pak", "tree") + listing_heading + "  0        1 top\n");
    EXPECT_EQ(read_file(dir / "t.pak"), pak_bytes({{"top", "t"}}));

    // A file at the bottom still stops the build when its turn comes.
    close(openat(fd, "bottom", O_WRONLY | O_CREAT, 0644));
    close(fd);
    r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, options);
    EXPECT_EQ(r.status, 255);
    std::string cut = "d";
    while (cut.size() < 54)
        cut += "/d";
    const std::string stop = "Error opening " + cut + ": " + strerror(ENAMETOOLONG) + "\n";
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), stop.size())), stop) << r.out;
}

TEST(HostileTrees, NamesAreShownEscapedWhileBuilding)
{
    scoped_dir dir;
    write_file(dir / "tree/red\033[31m", "r");
    ASSERT_EQ(mkfifo((dir / "tree/fifo\r").c_str(), 0644), 0);
    run_result r = run_in(dir, {"-c", "-d", "tree\a", "-p", "t.pak"});
    EXPECT_EQ(r.out, "Using pak file: t.pak\nInput/output directory: tree\\007\nOperation: create\n"
                     "Error changing directories to tree\\007: No such file or directory\n");
    r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"});
    EXPECT_NE(r.out.find("Skipping fifo\\015: not a regular file or directory\n"), std::string::npos);
    EXPECT_NE(r.out.find("  0        1 red\\033[31m\n"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(dir / "t.pak"), pak_bytes({{"red\033[31m", "r"}}));
}

TEST(HostileTrees, AMemberThatYieldsLessThanItsSizeIsStoredAsItCame)
{
    const char *pseudo = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat st;
    if (stat(pseudo, &st) != 0 || st.st_size <= static_cast<off_t>(read_file(pseudo).size()))
        GTEST_SKIP() << "no pseudo-file that reports more than it holds";
    const std::string content = read_file(pseudo);
    scoped_dir dir;
    write_file(dir / "tree/after", "after");
    ASSERT_EQ(symlink(pseudo, (dir / "tree/pseudo").c_str()), 0);
    run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Warning: pseudo shrank while it was read: " + std::to_string(content.size()) +
                         " of " + std::to_string(st.st_size) + " bytes stored\n"),
              std::string::npos)
        << r.out;
    run_result got = run_in(dir, {"-p", "t.pak", "-d", "out"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out.find("incomplete"), std::string::npos) << "the archive stays consistent";
    EXPECT_EQ(read_file(dir / "out/pseudo"), content);
    EXPECT_EQ(read_file(dir / "out/after"), "after");
}

TEST(HostileTrees, AMemberChangedWhileItIsCopiedIsReportedWithStatus1)
{
    scoped_dir dir;
    mkdir((dir / "tree").c_str(), 0755);
    sparse_file(dir / "tree/big", 64 << 20);
    run_options options;
    // Once a megabyte of the member is in the new archive, the member is
    // rewritten, as far as its times tell.
    options.watch = [&](int) {
        std::string name = hidden_entry(dir.path);
        struct stat st;
        if (name.empty() || stat((dir / name).c_str(), &st) != 0 || st.st_size < (1 << 20))
            return false;
        const timespec past[2] = {{1, 0}, {1, 0}};
        return utimensat(AT_FDCWD, (dir / "tree/big").c_str(), past, 0) == 0;
    };
    run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, create_settings("t.pak", "tree") + listing_heading +
                         listing_line(0, 64 << 20, "big") + "big changed as it was read\n");
    EXPECT_EQ(read_file(dir / "t.pak").size(), 12u + (64 << 20) + 64) << "the archive is whole";
}

TEST(HostileTrees, AWriteUnderWayWhenAMemberIsOpenedIsStoredWholeOrReported)
{
#ifdef UFFDIO_COPY
    // The write's source lacks its last page until the test supplies it, so
    // the write stops there with the rest of its data in the file and its
    // times already changed, as a write stalled partway does.
    const size_t size = 4 << 20, page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    int uffd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC));
    uffdio_api api = {UFFD_API, 0, 0};
    if (uffd < 0 || ioctl(uffd, UFFDIO_API, &api) != 0)
        GTEST_SKIP() << "no userfaultfd for faults in the kernel";
    scoped_dir dir;
    // tmpfs, where a seek waits for a write under way, holds the tree if
    // it is there.
    std::string tree = dir / "shm-XXXXXX";
    if (access("/dev/shm", W_OK) == 0)
        tree = "/dev/shm/pakwright-XXXXXX";
    ASSERT_NE(mkdtemp(&tree[0]), nullptr);
    ASSERT_EQ(symlink(tree.c_str(), (dir / "tree").c_str()), 0);
    write_file(dir / "tree/m", std::string(size, 'A'));
    char *from = static_cast<char *>(
        mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    memset(from, 'B', size - page);
    memset(from + size, 'B', page);  // the last page's bytes, supplied later
    uffdio_register missing = {{reinterpret_cast<uintptr_t>(from + size - page), page},
                               UFFDIO_REGISTER_MODE_MISSING, 0};
    ASSERT_EQ(ioctl(uffd, UFFDIO_REGISTER, &missing), 0);
    int fd = open((dir / "tree/m").c_str(), O_WRONLY);
    std::thread writer([&] { EXPECT_EQ(pwrite(fd, from, size, 0), static_cast<ssize_t>(size)); });
    pollfd stopped = {uffd, POLLIN, 0};
    EXPECT_EQ(poll(&stopped, 1, 10000), 1) << "the write reached the missing page";
    // Only where seeking waits for a write under way can a build wait for it.
    std::atomic<bool> sought{false};
    std::thread probe([&] {
        lseek(fd, 0, SEEK_DATA);
        sought = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool seeking_waits = !sought;
    run_result r;

    // The page comes a while after the build starts, long after a build that
    // does not wait for the write has read the member.
    uffdio_copy supply = {reinterpret_cast<uintptr_t>(from + size - page),
                          reinterpret_cast<uintptr_t>(from + size), page, 0, 0};
    const auto start = std::chrono::steady_clock::now();
    run_options options;
    options.watch = [&](int) {
        return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(300) &&
               ioctl(uffd, UFFDIO_COPY, &supply) == 0;
    };
    if (seeking_waits)
        r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, options);
    ioctl(uffd, UFFDIO_COPY, &supply);
    close(uffd);
    writer.join();
    probe.join();
    close(fd);
    munmap(from, size + page);
    remove_tree(tree);
    if (!seeking_waits)
        GTEST_SKIP() << "this file system lets a seek pass a write under way";
    const std::string stored = read_file(dir / "t.pak").substr(12, size);
    EXPECT_TRUE(stored == std::string(size, 'B') || stored == std::string(size, 'A') ||
                (r.status == 1 && r.out.find("m changed as it was read\n") != std::string::npos))
        << "status " << r.status << ", " << stored.find('A') << " bytes of the write stored";
#else
    GTEST_SKIP() << "no userfaultfd";
#endif
}

TEST(HostileArchives, ExtractionStaysInsideTheOutputDirectory)
{
    scoped_dir dir;
    write_file(dir / "a.pak", pak_bytes({{"../escaped", "x"}, {dir / "absolute", "y"}, {"in", "z"}}));
    run_result r = run_in(dir, {"-p", "a.pak", "-d", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(list_tree(dir.path), (strings{"a.pak", "out/", "out/in"}));
    EXPECT_NE(r.out.find("Not extracting ../escaped: path leads outside the output directory\n"),
              std::string::npos);
}

// A link put in the output directory while an extraction runs is never
// followed: the members below it fail, and nothing is written outside.
TEST(HostileArchives, ALinkPlantedDuringExtractionIsNeverFollowed)
{
    if (!cannot_trace().empty())
        GTEST_SKIP() << cannot_trace();
    scoped_dir dir;
    write_file(dir / "a.pak", pak_bytes({{"d/first", "1"}, {"d/second", "2"}}));
    mkdir((dir / "outside").c_str(), 0755);
    // The first member's data is held until d is a link to ../outside.
    run_result r = run_holding(dir, {"-p", "a.pak", "-d", "out"}, "pwrite64", dir / "trace", [&] {
        return path_exists(dir / "out/d/first") &&
               rename((dir / "out/d").c_str(), (dir / "out/real").c_str()) == 0 &&
               symlink("../outside", (dir / "out/d").c_str()) == 0;
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Error opening d/second: "), std::string::npos) << r.out;
    EXPECT_EQ(list_tree(dir / "outside"), strings{});
    EXPECT_EQ(read_file(dir / "out/real/first"), "1");
}

// A build that fails or is ended leaves the archive it would replace as it
// was, the same file byte for byte, and nothing beside it.
TEST(Replacement, AFailedOrEndedBuildLeavesTheOldArchiveAsItWas)
{
    scoped_dir dir;
    for (const char *name : {"a", "b", "c"})
        write_file(dir / ("broken/" + std::string(name)), pattern(5000));
    ASSERT_EQ(symlink("nowhere", (dir / "broken/dangling").c_str()), 0);
    write_file(dir / "deep/top", "t");
    close(deep_chain(dir / "deep", 3000));
    const std::string old = pak_bytes({{"old", "archive"}});
    write_file(dir / "old.pak", old);
    struct stat before;
    ASSERT_EQ(stat((dir / "old.pak").c_str(), &before), 0);

    const struct {
        std::string tree;
        int status;
        bool terminate;  // ended by SIGTERM once its new file exists
    } cases[] = {{"typo", 255, false}, {"broken", 255, false}, {"deep", 128 + SIGTERM, true}};
    for (const auto &c : cases) {
        run_options options;
        if (c.terminate)
            options.watch = [&](int pid) {
                return !hidden_entry(dir.path).empty() && kill(pid, SIGTERM) == 0;
            };
        run_result r = run_in(dir, {"-c", "-d", c.tree, "-p", "old.pak"}, options);
        EXPECT_EQ(r.status, c.status) << c.tree;
        struct stat after;
        ASSERT_EQ(stat((dir / "old.pak").c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << c.tree;
        EXPECT_EQ(read_file(dir / "old.pak"), old) << c.tree;
        EXPECT_EQ(hidden_entry(dir.path), "") << c.tree;
    }
}

// The new archive takes the old one's place and attributes; what a rename
// cannot replace is written in place.
TEST(Replacement, TheNewArchiveTakesTheOldOnesPlace)
{
    scoped_dir dir;
    write_file(dir / "tree/f", "data");
    const std::string fresh = pak_bytes({{"f", "data"}});
    write_file(dir / "real.pak", "old");
    chmod((dir / "real.pak").c_str(), 0640);
    // Root may give the new file any owner; a user, only itself.
    const uid_t owner = geteuid() == 0 ? 65534 : geteuid();
    ASSERT_EQ(chown((dir / "real.pak").c_str(), owner, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(symlink("real.pak", (dir / "link.pak").c_str()), 0);
    // A relative link is taken from its own directory, not the working one.
    write_file(dir / "sub/real.pak", "old");
    ASSERT_EQ(symlink("real.pak", (dir / "sub/link.pak").c_str()), 0);
    EXPECT_EQ(run_in(dir, {"-c", "-d", "tree", "-p", "sub/link.pak"}).status, 0);
    EXPECT_EQ(read_file(dir / "sub/real.pak"), fresh);
    EXPECT_EQ(read_file(dir / "real.pak"), "old");
    EXPECT_EQ(run_in(dir, {"-c", "-d", "tree", "-p", "link.pak"}).status, 0);
    struct stat st;
    ASSERT_EQ(lstat((dir / "link.pak").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays";
    ASSERT_EQ(stat((dir / "real.pak").c_str(), &st), 0);
    EXPECT_EQ(read_file(dir / "real.pak"), fresh);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, owner);

    // Every name of a file with several sees the new archive.
    write_file(dir / "tree/g", "more");
    ASSERT_EQ(link((dir / "real.pak").c_str(), (dir / "twin.pak").c_str()), 0);
    EXPECT_EQ(run_in(dir, {"-c", "-d", "tree", "-p", "twin.pak"}).status, 0);
    EXPECT_EQ(read_file(dir / "real.pak"), read_file(dir / "twin.pak"));
    EXPECT_NE(read_file(dir / "real.pak"), fresh);

    // A device stays a device.
    EXPECT_EQ(run_in(dir, {"-c", "-d", "tree", "-p", "/dev/null"}).status, 0);
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(hidden_entry(dir.path), "");

    // A deleted file open as descriptor 3 is written through its link in
    // /proc, not replaced by a file named after the link's text.
    run_options through;
    through.prefix = {"/bin/sh", "-c", "exec 3<>gone.pak && rm gone.pak && exec \"$0\" \"$@\""};
    EXPECT_EQ(run_in(dir, {"-c", "-d", "tree", "-p", "/proc/self/fd/3"}, through).status, 0);
    EXPECT_EQ(list_tree(dir.path), (strings{"link.pak", "real.pak", "sub/", "sub/link.pak",
                                            "sub/real.pak", "tree/", "tree/f", "tree/g", "twin.pak"}));
}

// Where the archive's path refuses a rename (a mount point, a sticky or
// append-only directory, another file system), the complete archive is
// copied over the old file in place; a new file that then cannot be removed
// is named, with status 1.
TEST(Replacement, ARefusedRenameCopiesTheArchiveInPlace)
{
    if (!cannot_trace().empty())
        GTEST_SKIP() << cannot_trace();
    const struct {
        const char *label;
        strings prefix;
        int status;
    } cases[] = {
        {"another file system", {strace_path(), "-qq", "-o", "/dev/null", "-e",
                                 "inject=rename,renameat,renameat2:error=EXDEV"}, 0},
        {"an append-only directory", {strace_path(), "-qq", "-o", "/dev/null", "-e",
                                      "inject=rename,renameat,renameat2,unlink,unlinkat:error=EPERM"}, 1},
        {"a mount point", {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                           "mount --bind b a.pak && exec \"$0\" \"$@\""}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        if (c.prefix[0] == "/usr/bin/unshare" && geteuid() != 0)
            continue;  // a mount namespace needs root
        scoped_dir dir;
        write_file(dir / "tree/f", "data");
        write_file(dir / "a.pak", "old archive");
        write_file(dir / "b", "");
        struct stat before, after;
        ASSERT_EQ(stat((dir / "a.pak").c_str(), &before), 0);
        run_options options;
        options.prefix = c.prefix;
        run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "a.pak"}, options);
        EXPECT_EQ(r.status, c.status) << r.out;
        // Through the mount, the file mounted there took the archive.
        bool mounted = c.prefix[0] == "/usr/bin/unshare";
        EXPECT_EQ(read_file(dir / (mounted ? "b" : "a.pak")), pak_bytes({{"f", "data"}}));
        ASSERT_EQ(stat((dir / "a.pak").c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        std::string left = hidden_entry(dir.path);
        EXPECT_EQ(left.empty(), c.status == 0);
        if (!left.empty()) {
            EXPECT_NE(r.out.find("Error removing " + left + ": " + strerror(EPERM) + "\n"),
                      std::string::npos) << r.out;
        }
    }
}

// The unprivileged user meets permissions that root would pass.
struct as_nobody : ::testing::Test {
    scoped_dir dir;
    run_options options;
    void SetUp() override
    {
        chmod(dir.path.c_str(), 0777);
        options.as_nobody = true;
    }
    // Makes the tree below dir readable by everyone, then applies mode to rel.
    void restrict(const std::string &rel, mode_t mode)
    {
        for (const std::string &p : list_tree(dir.path))
            chmod((dir / p).c_str(), p.back() == '/' ? 0777 : 0666);
        chmod((dir / rel).c_str(), mode);
    }
};

TEST_F(as_nobody, AnotherUsersArchiveInAStickyDirectoryIsReplacedInPlace)
{
    write_file(dir / "tree/f", "data");
    write_file(dir / "shared/a.pak", "root's old archive");
    restrict("shared", 01777);
    struct stat before, after;
    ASSERT_EQ(stat((dir / "shared/a.pak").c_str(), &before), 0);
    run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "shared/a.pak"}, options);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(dir / "shared/a.pak"), pak_bytes({{"f", "data"}}));
    ASSERT_EQ(stat((dir / "shared/a.pak").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(hidden_entry(dir / "shared"), "");
}

TEST_F(as_nobody, SubdirectoriesThatCannotBeReadOrEnteredAreSkipped)
{
    const struct {
        mode_t mode;
        std::string message;
    } cases[] = {
        {0311, "Unable to open work directory: Permission denied\n"},
        {0666, "Unable to enter directory shut: Permission denied\n"},
    };
    for (const auto &c : cases) {
        remove((dir / "t.pak").c_str());
        write_file(dir / "tree/a", "a");
        write_file(dir / "tree/shut/inside", "x");
        write_file(dir / "tree/z", "z");
        restrict("tree/shut", c.mode);
        run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, options);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("inside"), std::string::npos);
        // The walk went on in the right directory: both files, and only they.
        run_result listed = run_in(dir, {"-l", "-p", "t.pak"}, options);
        EXPECT_NE(listed.out.find("        1 a\n"), std::string::npos) << listed.out;
        EXPECT_NE(listed.out.find("        1 z\n"), std::string::npos) << listed.out;
        EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 6);
    }
}

TEST_F(as_nobody, AnArchiveTheUserMayNotWriteIsRefused)
{
    write_file(dir / "tree/a", "a");
    write_file(dir / "ro.pak", "old");
    restrict("ro.pak", 0444);
    run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "ro.pak"}, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, create_settings("ro.pak", "tree") + "Error opening ro.pak: Permission denied\n");
    EXPECT_EQ(read_file(dir / "ro.pak"), "old");
    EXPECT_EQ(hidden_entry(dir.path), "");
}

TEST_F(as_nobody, AnUnreadableTopFailsAndKeepsTheOldArchive)
{
    write_file(dir / "tree/a", "a");
    write_file(dir / "t.pak", "old");
    restrict("tree", 0311);
    run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, create_settings("t.pak", "tree") +
                         "Unable to open work directory: Permission denied\n");
    EXPECT_EQ(read_file(dir / "t.pak"), "old");
    EXPECT_EQ(hidden_entry(dir.path), "");
}

TEST_F(as_nobody, AnUnreadableMemberStopsTheBuild)
{
    write_file(dir / "tree/secret", "s");
    restrict("tree/secret", 0000);
    run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, create_settings("t.pak", "tree") + listing_heading +
                         "Error opening secret: Permission denied\n");
    EXPECT_FALSE(path_exists(dir / "t.pak"));
}

TEST_F(as_nobody, AnUnreadableMemberIsReportedAtItsTurn)
{
    // Members opened ahead of an unreadable one, to read ahead from a cold
    // tree or in a batch, are copied and listed; none after it is.
    struct {
        const char *name;
        unsigned members, secret_at;  // the unreadable one comes before member secret_at
        bool cold;
    } cases[] = {{"a cold tree", 40, 40, true}, {"amid a batch", 150, 100, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        remove_tree(dir / "tree");
        for (unsigned i = 0; i < c.members; ++i) {
            if (i == c.secret_at)
                write_file(dir / "tree/secret", "s");
            write_file(dir / ("tree/m" + std::to_string(i)), pattern(c.cold ? 50 + i : i, i));
        }
        if (c.secret_at == c.members)
            write_file(dir / "tree/secret", "s");
        restrict("tree/secret", 0666);
        remove((dir / "t.pak").c_str());
        run_result readable = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, options);
        size_t at = readable.out.find(" secret\n");
        ASSERT_NE(at, std::string::npos) << readable.out;
        const std::string before = readable.out.substr(0, readable.out.rfind('\n', at) + 1);

        restrict("tree/secret", 0000);
        ASSERT_EQ(unlink((dir / "t.pak").c_str()), 0);
        if (c.cold)
            evict(dir / "tree");
        run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, options);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, before + "Error opening secret: Permission denied\n");
        EXPECT_FALSE(path_exists(dir / "t.pak"));
    }
}

// With io_uring refused, members are opened one at a time: the archive, the
// extracted tree and everything printed are the same as where it is batched,
// whether small members are read in their batch (a tree settled long ago, as
// a clock set ahead shows it) or at their turn (one just written), and
// whatever size the descriptor limit leaves a batch.
TEST(Batches, RefusingIoUringChangesNoByte)
{
#ifdef PAKWRIGHT_EMULATOR
    GTEST_SKIP() << "an emulator takes the filter for itself";
#endif
    if (std::string(PAKWRIGHT_NO_IO_URING).empty())
        GTEST_SKIP() << "no seccomp filter to refuse io_uring here";
    scoped_dir dir;
    // Several batches, and members a batch leaves to be opened at their
    // turn: one through a link, one behind a linked directory.
    for (unsigned i = 0; i < 150; ++i)
        write_file(dir / ("tree/d" + std::to_string(i % 3) + "/m" + std::to_string(i)),
                   pattern(i % 5 == 0 ? 0 : 40 * i, i));
    write_file(dir / "tree/large", pattern(300 << 10, 7));
    write_file(dir / "target", "reached through a link");
    ASSERT_EQ(symlink("../target", (dir / "tree/link").c_str()), 0);
    ASSERT_EQ(symlink("d1", (dir / "tree/via").c_str()), 0);
    run_options refused;
    refused.prefix = {PAKWRIGHT_NO_IO_URING};
    // A descriptor limit of 12 allows no batch; one of 24, batches of three.
    std::vector<run_options> ways = {refused, run_options{}, run_options{}};
    ways[2].nofile_limit = 12;
    for (long limit : {-1L, 24L}) {
        if (sanitized_build())
            break;
        ways.push_back({});
        ways.back().env = {{"LD_PRELOAD", PAKWRIGHT_CLOCK_AHEAD}};
        ways.back().dynamic = true;
        ways.back().nofile_limit = limit;
    }

    std::string archive;
    std::vector<std::string> outputs;
    for (const run_options &options : ways) {
        remove((dir / "t.pak").c_str());
        run_result made = run_in(dir, {"-c", "-d", "tree", "-p", "t.pak"}, options);
        EXPECT_EQ(made.status, 0) << made.out << made.err;
        if (archive.empty())
            archive = read_file(dir / "t.pak");
        EXPECT_TRUE(read_file(dir / "t.pak") == archive) << "the same archive, byte for byte";
        run_result out = run_in(dir, {"-p", "t.pak", "-d", "out"}, options);
        EXPECT_EQ(out.status, 0) << out.out;
        std::string tree;
        for (const std::string &p : list_tree(dir / "out"))
            tree += p + (p.back() == '/' ? "" : ": " + read_file(dir / ("out/" + p))) + "\n";
        outputs.push_back(made.out + out.out + tree);
        remove_tree(dir / "out");
    }
    for (size_t i = 1; i < outputs.size(); ++i)
        EXPECT_EQ(outputs[i], outputs[0]) << "way " << i;
}

}  // namespace
