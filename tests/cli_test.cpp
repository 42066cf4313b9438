// The command line, run through the built binary: exact standard output,
// standard error and exit status.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/driver.h"
#include "tests/support.h"

namespace {

const std::string help_text =
    "Usage: pakwright [argument ...]\n"
    "\n"
    "  -c, --create\t\tcreate PACK instead of extracting\n"
    "  -d, --dir=DIR\tuse DIR as the input/output directory\n"
    "  -l, --list\t\tlist files stored in PACK\n"
    "  -h, --help\t\tdisplay this help\n"
    "  -p, --pak=FILE\tread FILE for PACK information\n";

const std::string one_member = pak_bytes({{"f", "data"}});

TEST(Help, ActsOnlyWhereItStands)
{
    struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {{"-h"}, 0, help_text, ""},
        {{"--help"}, 0, help_text, ""},
        {{"--he"}, 0, help_text, ""},
        {{"-h", "--bogus"}, 0, help_text, ""},
        {{"--bogus", "-h"}, 99, "", "unrecognized option `--bogus'\n"},
        {{"-ch"}, 0, help_text, ""},
        {{"--help=x"}, 99, "", "option `--help' doesn't allow an argument\n"},
        {{"--", "-h"}, 255, settings_lines("pak0.pak", "pak0", "extract") +
                              "Error opening pak0.pak: No such file or directory\n", ""},
    };
    for (const auto &c : cases) {
        scoped_dir dir;
        run_result r = run_in(dir, c.args);
        std::string label = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.status, c.status) << label;
        EXPECT_EQ(r.out, c.out) << label;
        EXPECT_EQ(r.err, c.err) << label;
        EXPECT_EQ(list_tree(dir.path), std::vector<std::string>{}) << "nothing made: " << label;
    }
}

// The program's table is the one list of its options: the help text, the
// completion and the manual page name exactly its options, each with its
// short and long form, and a value where the option takes one.
TEST(OptionSurface, HelpCompletionAndManualNameTheTablesOptions)
{
    program_settings settings = {};
    option_spec table[PROGRAM_OPTION_ROWS];
    program_option_table(table, settings, [] {});
    std::set<std::string> options;  // as "-c --create", or "-p --pak=" when it takes a value
    for (const option_spec *row = table; row->kind != OPT_END; ++row)
        options.insert(std::string("-") + row->short_name + " --" + row->long_name +
                       (row->kind == OPT_FLAG ? "" : "="));

    // Every option named by a line of text that begins with prefix, the
    // short name, between and the long name; "=" or " =" after the long name
    // marks a value.
    auto named = [](const std::string &text, const std::string &prefix, const std::string &between) {
        std::set<std::string> found;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() <= prefix.size() + between.size() ||
                line.compare(0, prefix.size(), prefix) != 0 ||
                line.compare(prefix.size() + 1, between.size(), between) != 0)
                continue;
            size_t at = prefix.size() + 1 + between.size(), end = at;
            while (end < line.size() && islower(static_cast<unsigned char>(line[end])))
                ++end;
            bool value = line.compare(end, 1, "=") == 0 || line.compare(end, 2, " =") == 0;
            found.insert("-" + line.substr(prefix.size(), 1) + " --" + line.substr(at, end - at) +
                         (value ? "=" : ""));
        }
        return found;
    };
    EXPECT_EQ(named(run_pakwright({"--help"}).out, "  -", ", --"), options);
    const std::string manual = read_file(PAKWRIGHT_SOURCE "/pakwright.1.in");
    const size_t from = manual.find(".SH OPTIONS"), to = manual.find(".SH", from + 1);
    EXPECT_EQ(named(manual.substr(from, to - from), ".BR \\-", " \", \" \\-\\-"), options);

    // The completion offers every short and long form, a value's "=" attached.
    const std::string completion = read_file(PAKWRIGHT_SOURCE "/completions/pakwright.bash");
    const std::string words_start = "compgen -W $'";
    const size_t words = completion.find(words_start) + words_start.size();
    std::string list = completion.substr(words, completion.find('\'', words) - words) + "\\n";
    std::set<std::string> offered, expected;
    for (size_t at = 0, end; (end = list.find("\\n", at)) != std::string::npos; at = end + 2)
        offered.insert(list.substr(at, end - at));
    for (const std::string &o : options) {
        expected.insert(o.substr(0, 2));
        expected.insert(o.substr(3));
    }
    EXPECT_EQ(offered, expected);

    // The zsh completion names each as {-d+,--dir=}, the fish one on a line
    // "complete ... -s d -l dir -x" ("-x" or "-r": it takes a value).
    std::set<std::string> zsh, fish;
    const std::string zsh_text = read_file(PAKWRIGHT_SOURCE "/completions/_pakwright");
    for (size_t at = 0; (at = zsh_text.find("{-", at)) != std::string::npos; ++at) {
        std::string named_as = zsh_text.substr(at + 1, zsh_text.find('}', at) - at - 1);
        std::string short_form = named_as.substr(0, named_as.find(','));
        if (!short_form.empty() && short_form.back() == '+')
            short_form.pop_back();
        zsh.insert(short_form + " " + named_as.substr(named_as.find(',') + 1));
    }
    std::istringstream fish_lines(read_file(PAKWRIGHT_SOURCE "/completions/pakwright.fish"));
    for (std::string line; std::getline(fish_lines, line);) {
        if (line.compare(0, 9, "complete ") != 0)
            continue;
        std::istringstream words(line);
        std::string word, short_name, long_name;
        bool value = false;
        while (words >> word) {
            if (word == "-s")
                words >> short_name;
            else if (word == "-l")
                words >> long_name;
            value = value || word == "-x" || word == "-r";
        }
        if (!long_name.empty())
            fish.insert("-" + short_name + " --" + long_name + (value ? "=" : ""));
    }
    EXPECT_EQ(zsh, options);
    EXPECT_EQ(fish, options);
}

TEST(OptionErrors, GoToStandardErrorWithStatus99)
{
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-x"}, "unrecognized option `-x'\n"},
        {{"-cx"}, "unrecognized option `-x'\n"},
        {{"--pakfile"}, "unrecognized option `--pakfile'\n"},
        {{"--create=yes"}, "option `--create' doesn't allow an argument\n"},
        {{"-p"}, "option `-p' requires an argument\n"},
        {{"-l", "--pa"}, "option `--pak' requires an argument\n"},
        {{"-5"}, "unrecognized option `-5'\n"},
    };
    for (const auto &c : cases) {
        scoped_dir dir;
        run_result r = run_in(dir, c.args);
        EXPECT_EQ(r.status, 99) << ::testing::PrintToString(c.args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err) << ::testing::PrintToString(c.args);
        EXPECT_EQ(list_tree(dir.path), std::vector<std::string>{});
    }
}

TEST(Defaults, NoArgumentsExtractPak0IntoPak0)
{
    scoped_dir dir;
    write_file(dir / "pak0.pak", one_member);
    run_result r = run_in(dir, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, settings_lines("pak0.pak", "pak0", "extract") + listing_heading + "  0        4 f\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir / "pak0/f"), "data");
}

TEST(Defaults, EmptyValuesStayEmpty)
{
    scoped_dir dir;
    run_result r = run_in(dir, {"--pak="});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, settings_lines("", "pak0", "extract") + "Error opening : No such file or directory\n");
    EXPECT_EQ(r.err, "");

    write_file(dir / "a.pak", one_member);
    r = run_in(dir, {"-pa.pak", "-d", ""});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, settings_lines("a.pak", "", "extract") + "Error making : No such file or directory\n");
}

TEST(Defaults, LastValueWinsAndPositionalArgumentsAreIgnored)
{
    scoped_dir dir;
    write_file(dir / "b.pak", one_member);
    run_result r = run_in(dir, {"x", "-p", "a.pak", "y", "--pak=b.pak", "-l", "z", "--", "-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, settings_lines("b.pak", nullptr, "list") + listing_heading + "  0        4 f\n");
    EXPECT_EQ(list_tree(dir.path), std::vector<std::string>{"b.pak"});
}

TEST(Defaults, AnEmptyLongNameWithAValueSetsThePak)
{
    scoped_dir dir;
    write_file(dir / "q.pak", one_member);
    run_result r = run_in(dir, {"--=q.pak", "-l"});
    EXPECT_EQ(r.out, settings_lines("q.pak", nullptr, "list") + listing_heading + "  0        4 f\n");
}

TEST(FlagCombinations, ChooseWordModeAndDirectory)
{
    // extract: the directory is made and entered.
    {
        scoped_dir dir;
        write_file(dir / "a.pak", one_member);
        run_result r = run_in(dir, {"-p", "a.pak", "-d", "out"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, settings_lines("a.pak", "out", "extract") + listing_heading + "  0        4 f\n");
        EXPECT_EQ(list_tree(dir.path), (std::vector<std::string>{"a.pak", "out/", "out/f"}));
        struct stat st;
        ASSERT_EQ(stat((dir / "out").c_str(), &st), 0);
        mode_t mask = umask(0);
        umask(mask);
        EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask);
    }
    // list: no directory line, nothing made, whatever -d says.
    {
        scoped_dir dir;
        write_file(dir / "a.pak", one_member);
        run_result r = run_in(dir, {"-l", "-p", "a.pak", "-d", "out"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, settings_lines("a.pak", nullptr, "list") + listing_heading + "  0        4 f\n");
        EXPECT_EQ(list_tree(dir.path), std::vector<std::string>{"a.pak"});
    }
    // create: the directory is entered, the archive made in the start directory.
    {
        scoped_dir dir;
        write_file(dir / "tree/f", "data");
        run_result r = run_in(dir, {"-c", "-d", "tree", "-p", "new.pak"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, settings_lines("new.pak", "tree", "create") + listing_heading + "  0        4 f\n");
        EXPECT_EQ(read_file(dir / "new.pak"), one_member);
    }
    // create and list: built from the start directory, without the archive itself.
    {
        scoped_dir dir;
        write_file(dir / "f", "data");
        run_result r = run_in(dir, {"-cl", "-d", "ignored"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, settings_lines("pak0.pak", nullptr, "create") + listing_heading + "  0        4 f\n");
        EXPECT_EQ(read_file(dir / "pak0.pak"), one_member);
    }
}

TEST(Failures, OpeningMakingAndEnteringGiveStatus255)
{
    {
        scoped_dir dir;
        run_result r = run_in(dir, {"-l", "-p", "missing.pak"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, settings_lines("missing.pak", nullptr, "list") +
                             "Error opening missing.pak: No such file or directory\n");
        EXPECT_EQ(r.err, "");
    }
    {
        scoped_dir dir;
        write_file(dir / "a.pak", one_member);
        write_file(dir / "out/keep", "old");
        run_result r = run_in(dir, {"-p", "a.pak", "-d", "out"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, settings_lines("a.pak", "out", "extract") + "Error making out: File exists\n");
        EXPECT_EQ(list_tree(dir / "out"), std::vector<std::string>{"keep"});
    }
    {
        scoped_dir dir;
        run_result r = run_in(dir, {"-c", "-p", "new.pak", "-d", "nowhere"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, settings_lines("new.pak", "nowhere", "create") +
                             "Error changing directories to nowhere: No such file or directory\n");
        EXPECT_EQ(list_tree(dir.path), std::vector<std::string>{}) << "no archive made";
    }
}

// Nothing is extracted, and the output directory goes again, so the same
// command can be run once more.
TEST(Failures, ANonArchiveIsRefusedOnStandardErrorWithStatus255)
{
    for (const std::string &bytes : {std::string(), std::string("PAC"), std::string("pack\0\0\0\0", 8),
                                     std::string("PACX") + pak_header_bytes(12, 0).substr(4)}) {
        scoped_dir dir;
        write_file(dir / "a.pak", bytes);
        run_result r = run_in(dir, {"-p", "a.pak", "-d", "out"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, settings_lines("a.pak", "out", "extract"));
        EXPECT_EQ(r.err, "Error: not a PAK file\n");
        EXPECT_EQ(list_tree(dir.path), (std::vector<std::string>{"a.pak"}));

        r = run_in(dir, {"-l", "-p", "a.pak"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "Error: not a PAK file\n");
    }
}

// A path that names no file a build could make is refused with the open's
// own error, as ever, and nothing is left.
TEST(Failures, AnArchivePathThatCannotBeWrittenIsRefused)
{
    scoped_dir dir;
    write_file(dir / "tree/f", "data");
    mkdir((dir / "adir").c_str(), 0755);
    const struct {
        std::string pak, error;
    } cases[] = {
        {"", "No such file or directory"},
        {"missing/x.pak", "No such file or directory"},
        {"adir", "Is a directory"},
        {"x.pak/", "Is a directory"},
    };
    for (const auto &c : cases) {
        run_result r = run_in(dir, {"-c", "-d", "tree", "-p", c.pak});
        EXPECT_EQ(r.status, 255) << c.pak;
        EXPECT_EQ(r.out, settings_lines(c.pak, "tree", "create") + "Error opening " + c.pak + ": " +
                             c.error + "\n");
        EXPECT_EQ(list_tree(dir.path), (std::vector<std::string>{"adir/", "tree/", "tree/f"}));
    }
}

// An archive that cannot be sought or read is refused with status 255, and
// the output directory goes again.
TEST(Failures, AnArchiveThatCannotBeReadGivesStatus255)
{
    scoped_dir dir;
    mkdir((dir / "adir").c_str(), 0755);
    run_options piped;
    piped.stdin_data = one_member;
    const struct {
        std::string pak;
        run_options options;
        std::string error;
    } cases[] = {
        {"/dev/stdin", piped, "Error seeking in archive: " + std::string(strerror(ESPIPE)) + "\n"},
        {"adir", {}, "Error reading archive: Is a directory\n"},
    };
    for (const auto &c : cases) {
        run_result r = run_in(dir, {"-p", c.pak, "-d", "out"}, c.options);
        EXPECT_EQ(r.status, 255) << c.pak;
        EXPECT_EQ(r.out, settings_lines(c.pak, "out", "extract") + c.error);
        EXPECT_EQ(list_tree(dir.path), std::vector<std::string>{"adir/"});
    }
}

TEST(Failures, UnprivilegedUserMeetsPermissions)
{
    // The modes deny both the unprivileged user and the owner, whichever runs.
    scoped_dir dir;
    chmod(dir.path.c_str(), 0777);
    write_file(dir / "secret.pak", one_member);
    chmod((dir / "secret.pak").c_str(), 0200);
    run_options options;
    options.cwd = dir.path;
    options.as_nobody = true;
    run_result r = run_pakwright({"-l", "-p", "secret.pak"}, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, settings_lines("secret.pak", nullptr, "list") + "Error opening secret.pak: Permission denied\n");

    mkdir((dir / "closed").c_str(), 0500);
    write_file(dir / "open.pak", one_member);
    chmod((dir / "open.pak").c_str(), 0644);
    r = run_pakwright({"-p", "open.pak", "-d", "closed/out"}, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, settings_lines("open.pak", "closed/out", "extract") +
                         "Error making closed/out: Permission denied\n");

    // An output directory made but not entered is removed again.
    mode_t mask = umask(0777);
    r = run_pakwright({"-p", "open.pak", "-d", "out"}, options);
    umask(mask);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, settings_lines("open.pak", "out", "extract") +
                         "Error changing directories to out: Permission denied\n");
    EXPECT_FALSE(path_exists(dir / "out"));

    mkdir((dir / "locked").c_str(), 0600);
    r = run_pakwright({"-c", "-p", "/dev/null", "-d", "locked"}, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, settings_lines("/dev/null", "locked", "create") +
                         "Error changing directories to locked: Permission denied\n");
}

TEST(Surroundings, ClosedStandardDescriptorsNeverShareTheArchiveOrAMember)
{
    scoped_dir dir;
    for (int i = 0; i < 400; ++i)
        write_file(dir / ("tree/member_" + std::to_string(i)), std::string(1000, 'x'));
    ASSERT_EQ(run_in(dir, {"-c", "-d", "tree", "-p", "ref.pak"}).status, 0);
    const std::string ref = read_file(dir / "ref.pak");
    const std::vector<std::string> files = list_tree(dir / "tree");

    const std::vector<int> closed_sets[] = {{0}, {1}, {2}, {0, 1}, {1, 2}, {0, 1, 2}};
    for (const std::vector<int> &closed : closed_sets) {
        std::string label = ::testing::PrintToString(closed);
        bool out_closed = closed[0] == 1 || (closed.size() > 1 && closed[1] == 1);
        bool err_closed = closed.back() == 2;
        // A closed standard output is a failed one: the run says so.
        std::string err = out_closed && !err_closed
                              ? "Error writing standard output: Bad file descriptor\n" : "";
        run_options options;
        options.cwd = dir.path;
        options.closed_fds = closed;
        run_result r = run_pakwright({"-c", "-d", "tree", "-p", "t.pak"}, options);
        EXPECT_EQ(r.status, out_closed ? 255 : 0) << label;
        EXPECT_EQ(r.err, err) << label;
        EXPECT_EQ(read_file(dir / "t.pak"), ref) << label;

        remove((dir / "out").c_str());
        r = run_pakwright({"-d", "out", "-p", "ref.pak"}, options);
        EXPECT_EQ(r.status, out_closed ? 255 : 0) << label;
        EXPECT_EQ(r.err, err) << label;
        EXPECT_EQ(list_tree(dir / "out"), files) << label;
        for (const std::string &f : files)
            ASSERT_EQ(read_file(dir / ("out/" + f)), std::string(1000, 'x')) << label << f;
        std::string rm = "rm -rf " + (dir / "out");
        ASSERT_EQ(system(rm.c_str()), 0);
    }
}

TEST(Surroundings, AnArchiveThatIsStandardOutputIsRefused)
{
    scoped_dir dir;
    write_file(dir / "tree/f", "data");
    run_options options;
    options.cwd = dir.path;
    options.stdout_path = dir / "log";
    run_result r = run_pakwright({"-c", "-d", "tree", "-p", "log"}, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_file(dir / "log"),
              settings_lines("log", "tree", "create") + "Error: log is standard output, where the listing goes\n");
}

TEST(Surroundings, AFailedStandardOutputIsReportedOnceWithStatus255)
{
    scoped_dir dir;
    write_file(dir / "tree/f", "data");
    ASSERT_EQ(run_in(dir, {"-c", "-d", "tree", "-p", "a.pak"}).status, 0);
    const struct {
        std::vector<std::string> args;
        std::string made;  // what the run still makes, whole; a new archive is not put in place
    } cases[] = {
        {{"-l", "-p", "a.pak"}, ""},
        {{"-p", "a.pak", "-d", "out"}, "out/f"},
        {{"-c", "-d", "tree", "-p", "b.pak"}, ""},
        {{"--help"}, ""},
        {{"-c", "-d", "long", "-p", "c.pak"}, ""},  // a build that stops at a path too long
    };
    write_file(dir / ("long/" + std::string(60, 'x')), "x");
    for (const auto &c : cases) {
        run_options options;
        options.cwd = dir.path;
        options.stdout_path = "/dev/full";
        run_result r = run_pakwright(c.args, options);
        EXPECT_EQ(r.status, 255) << ::testing::PrintToString(c.args);
        EXPECT_EQ(r.err, "Error writing standard output: No space left on device\n");
        if (!c.made.empty()) {
            EXPECT_EQ(read_file(dir / c.made), "data");
        }
    }
    EXPECT_EQ(list_tree(dir.path), (std::vector<std::string>{"a.pak", "long/", "long/" +
        std::string(60, 'x'), "out/", "out/f", "tree/", "tree/f"}));
}

}  // namespace
