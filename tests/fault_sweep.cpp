// The fault sweep: builds of one small tree (over an old archive, where
// there is none, through a link, with every rename refused), a listing and
// an extraction of its archive are first run under strace to record every
// system call they make; then each is run again once for each call and
// occurrence, the call made to fail (EIO, and the faults of its own in the
// table below) or met by a signal (SIGINT, SIGPIPE or SIGTERM, in turn).
// Whatever the run's status, what it leaves behind must be what that
// status promises.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support.h"

namespace {

using strings = std::vector<std::string>;

// Calls whose failure is no fault of the files or the surroundings a run
// meets: starting and ending the process, its memory, its signal handling,
// its own ids and randomness. Every other call a run makes is swept.
const std::set<std::string> not_swept = {
    "execve", "exit", "exit_group", "arch_prctl", "set_tid_address", "set_robust_list", "rseq",
    "prlimit64", "brk", "mmap", "munmap", "mremap", "mprotect", "madvise", "rt_sigaction",
    "rt_sigprocmask", "rt_sigreturn", "sigaltstack", "futex", "getpid", "gettid", "getrandom",
    "clock_gettime"};

const std::set<std::string> writes = {"write", "writev", "pwrite64", "pwritev", "pwritev2"};
const std::set<std::string> reads = {"read", "readv", "pread64", "preadv", "preadv2"};
const std::set<std::string> opens = {"open", "openat", "openat2", "creat"};
const std::set<std::string> renames = {"rename", "renameat", "renameat2"};

// What calls meet beside EIO, as strace's inject takes it.
struct fault_kinds {
    const std::set<std::string> &calls;
    strings kinds;
};
const std::set<std::string> openat2_call = {"openat2"};
const fault_kinds own_faults[] = {
    // a full disk; a signal's handler interrupting; a write that takes nothing
    {writes, {"error=ENOSPC", "error=EINTR", "retval=0"}},
    // interrupted; a read that ends early, as in a file that shrank
    {reads, {"error=EINTR", "retval=0"}},
    {opens, {"error=EACCES"}},
    // a kernel without it
    {openat2_call, {"error=ENOSYS"}},
    // a rename the file system refuses
    {renames, {"error=EXDEV"}},
};

// One call the fault-free run made: its name, which occurrence of that name
// it was (from 1), its place among all the run's calls, and strace's line.
struct call_site {
    std::string name;
    unsigned when;
    size_t order;
    std::string line;
};

// What one run of the sweep meets at its call site: an error, a value
// returned without making the call, or a signal.
struct fault {
    call_site site;
    std::string what;  // as strace's inject takes it: "error=EIO", "signal=SIGINT", ...
    int number;        // the errno value or the signal number; 0 for a value
    bool signal;
};

// The calls strace recorded in text (strace -f -qq), in order, less those
// never swept. A build for coverage writes its counters as the process
// ends, after all of pakwright's own calls: the record ends there, as
// failing those writes would only lose the counts.
std::vector<call_site> parse_trace(const std::string &text)
{
    std::vector<call_site> sites;
    std::map<std::string, unsigned> seen;
    std::istringstream lines(text);
    size_t order = 0;
    for (std::string line; std::getline(lines, line) && line.find(".gcda\"") == std::string::npos;) {
        size_t start = line.find_first_not_of("0123456789 ");
        size_t paren = line.find('(', start);
        if (start == std::string::npos || paren == std::string::npos)
            continue;
        std::string name = line.substr(start, paren - start);
        if (name.empty() || name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") !=
                                std::string::npos)
            continue;
        ++order;
        unsigned when = ++seen[name];
        if (!not_swept.count(name))
            sites.push_back({name, when, order, line.substr(start)});
    }
    return sites;
}

// The errno value of the error strace names, or 0.
int error_number(const std::string &kind)
{
    static const std::map<std::string, int> numbers = {
        {"error=EIO", EIO},     {"error=ENOSPC", ENOSPC}, {"error=EINTR", EINTR},
        {"error=EACCES", EACCES}, {"error=ENOSYS", ENOSYS}, {"error=EXDEV", EXDEV}};
    auto found = numbers.find(kind);
    return found == numbers.end() ? 0 : found->second;
}

// Every fault the sweep puts at site, the number-th site swept: its errors,
// and one signal, SIGINT, SIGPIPE and SIGTERM in turn from one site to the
// next, which keeps the sweep within its time.
std::vector<fault> faults_at(const call_site &site, size_t number)
{
    std::vector<fault> faults = {{site, "error=EIO", EIO, false}};
    for (const fault_kinds &own : own_faults)
        if (own.calls.count(site.name))
            for (const std::string &kind : own.kinds)
                faults.push_back({site, kind, error_number(kind), false});
    const std::pair<const char *, int> signals[] = {
        {"signal=SIGINT", SIGINT}, {"signal=SIGPIPE", SIGPIPE}, {"signal=SIGTERM", SIGTERM}};
    const auto &[name, signal] = signals[number % 3];
    faults.push_back({site, name, signal, true});
    return faults;
}

// One operation swept: its arguments, the working directory it runs in,
// whether every rename in it is refused, what sets the stage before each
// run, and what judges a run: the list of what broke, empty when every
// promise was kept.
struct operation {
    std::string name;
    strings args;
    std::string cwd;
    bool renames_refused;
    std::function<void()> prepare;
    std::function<strings(const fault &, const run_result &)> judge;
};

// The strace words that run the binary, writing the trace to trace_path,
// with each rename refused (EXDEV) when op says so, and with f injected
// when there is one.
strings tracing(const operation &op, const std::string &trace_path, const fault *f)
{
    const std::string renaming = "?rename,?renameat,?renameat2";
    strings words = {strace_path(), "-f", "-qq", "-o", trace_path};
    if (f)
        words.insert(words.end(), {"-e", "trace=" + f->site.name +
                                             (op.renames_refused ? "," + renaming : ""),
                                   "-e", "inject=" + f->site.name + ":" + f->what + ":when=" +
                                             std::to_string(f->site.when)});
    if (op.renames_refused)
        words.insert(words.end(), {"-e", "inject=" + renaming + ":error=EXDEV"});
    return words;
}

// What the fault-free run gave, and the calls it made.
struct recorded {
    run_result result;
    std::vector<call_site> sites;
};

// Runs op once without a fault under strace, recording its calls in
// trace_path.
recorded record(const operation &op, const std::string &trace_path)
{
    op.prepare();
    run_options options;
    options.cwd = op.cwd;
    options.prefix = tracing(op, trace_path, nullptr);
    recorded r;
    r.result = run_pakwright(op.args, options);
    r.sites = parse_trace(read_file(trace_path));
    return r;
}

// Runs op once for every fault at every site; returns each broken promise,
// one line each, and prints the counts and the time taken.
strings sweep(const operation &op, const std::vector<call_site> &sites)
{
    const auto started = std::chrono::steady_clock::now();
    std::set<std::string> names;
    size_t error_runs = 0, signal_runs = 0;
    strings broken;
    for (size_t i = 0; i < sites.size(); ++i) {
        const call_site &site = sites[i];
        // A rename refused throughout meets no other fault.
        if (op.renames_refused && renames.count(site.name))
            continue;
        names.insert(site.name);
        for (const fault &f : faults_at(site, i)) {
            ++(f.signal ? signal_runs : error_runs);
            op.prepare();
            run_options options;
            options.cwd = op.cwd;
            options.prefix = tracing(op, "/dev/null", &f);
            run_result r = run_pakwright(op.args, options);
            for (const std::string &what : op.judge(f, r))
                broken.push_back(f.site.name + "#" + std::to_string(f.site.when) + " " +
                                 f.what.substr(f.what.find('=') + 1) +
                                 " -> " + std::to_string(r.status) + ": " + what + "   [" +
                                 f.site.line.substr(0, 72) + "]");
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("%s: %zu calls, %zu occurrences, %zu error runs, %zu signal runs, %zu broken, %.1f s\n",
           op.name.c_str(), names.size(), sites.size(), error_runs, signal_runs, broken.size(),
           seconds);
    return broken;
}

// Fails the test with every broken promise, one a line.
void expect_none_broken(const strings &broken)
{
    std::string lines;
    for (const std::string &b : broken)
        lines += "\n  " + b;
    EXPECT_TRUE(broken.empty()) << broken.size() << " runs broke a promise:" << lines;
}

// The members of the tree every operation works on: a few files, a
// subdirectory, an empty file, one member larger than the 128 KiB a copy
// moves at once, and the members reached through a link to a file and a
// link to a directory outside the tree.
const std::vector<test_member> &reference_members()
{
    static const std::vector<test_member> members = {
        {"a.txt", "a few bytes\n"},
        {"sub/b.txt", "in a subdirectory\n"},
        {"sub/empty", ""},
        {"big", pattern(200000, 3)},
        {"alias", "a few bytes\n"},
        {"linked/c.txt", "outside the tree\n"},
    };
    return members;
}

// Makes the reference tree as work/tree, with "alias" a link to a.txt and
// "linked" a link to work/other.
void make_tree(const std::string &work)
{
    for (const test_member &m : reference_members())
        if (m.name.rfind("linked/", 0) == 0)
            write_file(work + "/other/" + m.name.substr(7), m.data);
        else if (m.name != "alias")
            write_file(work + "/tree/" + m.name, m.data);
    ASSERT_EQ(symlink("a.txt", (work + "/tree/alias").c_str()), 0);
    ASSERT_EQ(symlink("../other", (work + "/tree/linked").c_str()), 0);
}

// Removes every path below dir that keep does not hold.
void remove_all_but(const std::string &dir, const strings &keep)
{
    for (const std::string &p : list_tree(dir))
        if (std::find(keep.begin(), keep.end(), p) == keep.end())
            remove_tree(dir + "/" + p);
}

// The paths of now that were not in before, and of before that are gone,
// as one phrase, or "".
std::string changed_paths(const strings &before, const strings &now)
{
    std::string out;
    for (const std::string &p : now)
        if (std::find(before.begin(), before.end(), p) == before.end())
            out += " +" + p;
    for (const std::string &p : before)
        if (std::find(now.begin(), now.end(), p) == now.end())
            out += " -" + p;
    return out;
}

// Whether text holds a line that reference does not.
bool has_new_line(const std::string &text, const std::string &reference)
{
    std::set<std::string> known;
    std::istringstream ref(reference), in(text);
    for (std::string line; std::getline(ref, line);)
        known.insert(line);
    for (std::string line; std::getline(in, line);)
        if (!known.count(line))
            return true;
    return false;
}

uint32_t le32_at(const std::string &bytes, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
    return v;
}

// What is wrong with archive as the result of a build that left something
// out: it must be well formed, each record must hold the start of its file,
// or all of it, and a file stored in part must be named in out.
strings check_left_out(const std::string &archive, const std::string &out)
{
    if (archive.size() < 12 || archive.compare(0, 4, "PACK") != 0)
        return {"the archive is not a PAK archive"};
    const uint32_t dir_offset = le32_at(archive, 4), dir_length = le32_at(archive, 8);
    if (dir_offset < 12 || dir_length % 64 != 0 ||
        static_cast<uint64_t>(dir_offset) + dir_length != archive.size())
        return {"the archive's header does not frame its directory"};
    strings wrong;
    std::set<std::string> names;
    for (uint32_t at = dir_offset; at < archive.size(); at += 64) {
        const std::string field = archive.substr(at, 56);
        const std::string name = field.substr(0, field.find('\0'));
        const uint32_t offset = le32_at(archive, at + 56), length = le32_at(archive, at + 60);
        auto member = std::find_if(reference_members().begin(), reference_members().end(),
                                   [&](const test_member &m) { return m.name == name; });
        if (member == reference_members().end() || !names.insert(name).second) {
            wrong.push_back("a record names no file of the tree, or one twice: " + name);
        } else if (offset < 12 || static_cast<uint64_t>(offset) + length > dir_offset ||
                   archive.compare(offset, length, member->data, 0, length) != 0 ||
                   length > member->data.size()) {
            wrong.push_back("the record of " + name + " does not hold its file's bytes");
        } else if (length < member->data.size() && out.find(name) == std::string::npos) {
            wrong.push_back(name + " was stored in part without a word");
        }
    }
    return wrong;
}

// Every path below dir with the bytes of each file, "/" for a directory.
std::vector<std::pair<std::string, std::string>> snapshot(const std::string &dir)
{
    std::vector<std::pair<std::string, std::string>> files;
    for (const std::string &p : list_tree(dir))
        files.emplace_back(p, p.back() == '/' ? "/" : read_file(dir + "/" + p));
    return files;
}

// Whether a run ended by the signal f puts there.
bool ended_by(const fault &f, const run_result &r)
{
    return f.signal && r.status == 128 + f.number;
}

// Where a build writes its archive: over an old one or where there is none
// yet, named directly or through a link whose target is replaced.
struct build_case {
    const char *name;
    bool old_exists;
    bool through_link;
    bool rename_refused;  // so the new archive is copied over the old in place
};

// Sweeps a build of the reference tree as c says.
void sweep_build(const build_case &c)
{
    scoped_dir dir;
    const std::string work = dir / "w", pak = dir / "w/t.pak", link = dir / "w/link.pak";
    make_tree(work);
    const std::string old_archive = pak_bytes({{"old", "the archive the build replaces"}});
    struct stat old_st = {};
    strings expected_paths;
    operation op;
    op.name = c.name;
    op.args = {"-c", "-d", "tree", "-p", c.through_link ? "./link.pak" : "t.pak"};
    op.cwd = work;
    op.renames_refused = c.rename_refused;
    op.prepare = [&] {
        unlink(pak.c_str());
        if (!expected_paths.empty())
            remove_all_but(work, expected_paths);
        if (c.old_exists)
            write_file(pak, old_archive);
        stat(pak.c_str(), &old_st);
        if (c.through_link) {
            unlink(link.c_str());
            if (symlink("t.pak", link.c_str()) != 0)
                ADD_FAILURE() << "cannot make " << link;
        }
    };
    // Every path below work but the archive, whose bytes are judged apart.
    auto paths_beside = [&] {
        strings paths = list_tree(work);
        paths.erase(std::remove(paths.begin(), paths.end(), "t.pak"), paths.end());
        return paths;
    };
    const recorded fault_free = record(op, dir / "trace");
    ASSERT_EQ(fault_free.result.status, 0) << fault_free.result.out << fault_free.result.err;
    ASSERT_FALSE(fault_free.sites.empty()) << "strace recorded nothing: " << fault_free.result.err;
    const std::string new_archive = read_file(pak);
    expected_paths = paths_beside();
    size_t rename_order = SIZE_MAX;
    for (const call_site &site : fault_free.sites)
        if (renames.count(site.name))
            rename_order = std::min(rename_order, site.order);

    op.judge = [&](const fault &f, const run_result &r) {
        strings wrong;
        // A new file whose removal failed stays, said to be there.
        strings beside = paths_beside();
        const bool unlink_failed = !f.signal && f.site.name.rfind("unlink", 0) == 0;
        beside.erase(std::remove_if(beside.begin(), beside.end(),
                                    [&](const std::string &p) {
                                        return unlink_failed && p[0] == '.' &&
                                               r.out.find(p) != std::string::npos;
                                    }),
                     beside.end());
        const std::string left = changed_paths(expected_paths, beside);
        if (!left.empty())
            wrong.push_back("files beside the archive or in the tree:" + left);
        struct stat st = {};
        if (c.through_link && (lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)))
            wrong.push_back("the link at the archive's path is gone");
        const std::string now = read_file(pak);
        const bool same_file = stat(pak.c_str(), &st) == 0 && st.st_ino == old_st.st_ino &&
                               st.st_dev == old_st.st_dev;
        // A new file that cannot be made for want of permission leaves the
        // build to write the archive in place, and so does a refused rename:
        // a later fault may leave it in part.
        const bool in_place = (!f.signal && opens.count(f.site.name) &&
                               (f.number == EACCES || f.number == EPERM) &&
                               f.site.line.find("O_EXCL") != std::string::npos) ||
                              (c.rename_refused && f.site.order > rename_order);
        if (r.status == 0) {
            if (now != new_archive)
                wrong.push_back("status 0, but the archive is not the fault-free one");
            else if (c.rename_refused && !same_file)
                wrong.push_back("status 0, but the archive copied in place has a new inode");
        } else if (r.status == 1) {
            for (const std::string &w : check_left_out(now, r.out))
                wrong.push_back(w);
            if (!has_new_line(r.out, fault_free.result.out))
                wrong.push_back("status 1 without a word of what was left out");
        } else if (r.status == 255 || ended_by(f, r)) {
            // A signal at or after the rename finds the new archive in place.
            const bool committed =
                ended_by(f, r) && f.site.order >= rename_order && now == new_archive;
            if (in_place || committed)
                return wrong;
            if (!c.old_exists && path_exists(pak))
                wrong.push_back("an archive was left where there was none");
            else if (c.old_exists && now != old_archive)
                wrong.push_back("the old archive was changed");
            else if (c.old_exists && !same_file)
                wrong.push_back("the old archive's bytes are now another file");
        } else {
            wrong.push_back("an unexpected status");
        }
        return wrong;
    };
    expect_none_broken(sweep(op, fault_free.sites));
}

TEST(FaultSweep, ABuildKeepsItsPromisesWhateverCallFails)
{
    const std::string reason = cannot_trace();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    const build_case cases[] = {
        {"create over an archive", true, false, false},
        {"create where there is none", false, false, false},
        {"create through a link", true, true, false},
        {"create where the rename is refused", true, false, true},
    };
    for (const build_case &c : cases)
        sweep_build(c);
}

// Sweeps listing (extract false) or extracting the reference archive.
void sweep_read(bool extract)
{
    scoped_dir dir;
    const std::string work = dir / "x", pak = dir / "x/t.pak", out_dir = dir / "x/out";
    const std::string archive = pak_bytes(reference_members());
    write_file(pak, archive);
    operation op;
    op.renames_refused = false;
    op.name = extract ? "extract" : "list";
    op.args = extract ? strings{"-d", "out", "-p", "t.pak"} : strings{"-l", "-p", "t.pak"};
    op.cwd = work;
    op.prepare = [&] { remove_all_but(work, {"t.pak"}); };
    const recorded fault_free = record(op, dir / "trace");
    ASSERT_EQ(fault_free.result.status, 0) << fault_free.result.out << fault_free.result.err;
    ASSERT_FALSE(fault_free.sites.empty()) << "strace recorded nothing: " << fault_free.result.err;
    const auto extracted = snapshot(out_dir);
    ASSERT_EQ(extracted.empty(), !extract);

    op.judge = [&](const fault &f, const run_result &r) {
        strings wrong;
        // The output directory and all below it.
        strings outside = list_tree(work);
        outside.erase(std::remove_if(outside.begin(), outside.end(),
                                     [](const std::string &p) { return p.rfind("out/", 0) == 0; }),
                      outside.end());
        const std::string left = changed_paths({"t.pak"}, outside);
        if (!left.empty())
            wrong.push_back("paths outside the output directory:" + left);
        if (read_file(pak) != archive)
            wrong.push_back("the archive was changed");
        if (r.status == 0) {
            if (r.out != fault_free.result.out)
                wrong.push_back("status 0, but the listing is not the fault-free one");
            if (snapshot(out_dir) != extracted)
                wrong.push_back("status 0, but the extracted tree is not the fault-free one");
        } else if (r.status == 1 || r.status == 255) {
            // A write that took nothing has no error of its own to name.
            if (f.number == 0 ? !has_new_line(r.out + r.err, fault_free.result.out)
                : !f.signal && (r.out + r.err).find(strerror(f.number)) == std::string::npos)
                wrong.push_back(f.number ? "no message names " + std::string(strerror(f.number))
                                         : "no message");
            // A lost listing is the one 255 after which the extraction went
            // on to its end: what it made must then be whole.
            const bool lost_listing = r.err.find("Error writing standard output") != std::string::npos;
            if (r.status == 255 && lost_listing && snapshot(out_dir) != extracted)
                wrong.push_back("status 255 for the listing, but the extracted tree is not whole");
            if (r.status == 255 && !lost_listing && path_exists(out_dir))
                wrong.push_back("status 255 left the output directory");
        } else if (!ended_by(f, r)) {
            wrong.push_back("an unexpected status");
        }
        return wrong;
    };
    expect_none_broken(sweep(op, fault_free.sites));
}

TEST(FaultSweep, ListingKeepsItsPromisesWhateverCallFails)
{
    const std::string reason = cannot_trace();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    sweep_read(false);
}

TEST(FaultSweep, ExtractingKeepsItsPromisesWhateverCallFails)
{
    const std::string reason = cannot_trace();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    sweep_read(true);
}

}  // namespace
