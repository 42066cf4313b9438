#include "cli/options.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/driver.h"

namespace {

std::vector<std::string> messages;
int help_calls;

void record_message(const char *format, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    messages.push_back(text);
}

void count_help()
{
    ++help_calls;
}

// What the program's own table stored; its help callback returns here.
struct program_options {
    const char *pak = nullptr;
    const char *dir = nullptr;
    int32_t create = 0;
    int32_t list = 0;
};

struct parse_outcome {
    std::vector<std::string> rest;
    program_options values;
};

// Parses args with table, the program name "prog" put first, as a program
// parses its own vector; returns the elements left, checking that the vector
// stays null-terminated.
std::vector<std::string> parse_with(const option_spec *table, std::vector<std::string> args,
                                    int keep_negative_numbers = 0)
{
    // The parser stores pointers into the texts: they outlive the call.
    static std::vector<std::string> storage;
    storage = args;
    storage.insert(storage.begin(), "prog");
    std::vector<char *> argv;
    for (std::string &a : storage)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(argv.size()) - 1;
    parse_options(&argc, argv.data(), table, keep_negative_numbers);
    EXPECT_EQ(argv[static_cast<size_t>(argc)], nullptr) << "vector must stay null-terminated";
    return std::vector<std::string>(argv.begin(), argv.begin() + argc);
}

// Parses args with the program's table.
parse_outcome parse(std::vector<std::string> args, int keep_negative_numbers = 0)
{
    parse_outcome outcome;
    program_settings settings = {nullptr, nullptr, 0, 0};
    option_spec table[PROGRAM_OPTION_ROWS];
    program_option_table(table, settings, count_help);
    outcome.rest = parse_with(table, args, keep_negative_numbers);
    outcome.values = {settings.pak_path, settings.io_dir, settings.create_mode, settings.list_mode};
    return outcome;
}

std::string text(const char *s)
{
    return s ? s : "<none>";
}

class Options : public ::testing::Test {
protected:
    void SetUp() override
    {
        messages.clear();
        help_calls = 0;
        set_option_error_handler(record_message);
    }
    void TearDown() override { set_option_error_handler(nullptr); }
};

using strings = std::vector<std::string>;

TEST_F(Options, ScanKeepsNonOptionsInOrderAndRemovesTheRest)
{
    struct {
        strings args;
        strings rest;
        int create, list;
    } cases[] = {
        {{"-c", "x", "--list", "y"}, {"prog", "x", "y"}, 1, 1},
        {{"--", "-c"}, {"prog", "-c"}, 0, 0},
        {{"-", ""}, {"prog", "-", ""}, 0, 0},
        {{"-cl"}, {"prog"}, 1, 1},
        {{"a", "--", "--list", "--"}, {"prog", "a", "--list", "--"}, 0, 0},
        {{"-l", "--", "-c", "z"}, {"prog", "-c", "z"}, 0, 1},
    };
    for (const auto &c : cases) {
        parse_outcome o = parse(c.args);
        EXPECT_EQ(o.rest, c.rest) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.values.create, c.create) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.values.list, c.list) << ::testing::PrintToString(c.args);
    }
    EXPECT_TRUE(messages.empty());
}

TEST_F(Options, ProgramNameIsScannedLikeAnyElement)
{
    static std::string storage[] = {"-c", "x"};
    char *argv[] = {&storage[0][0], &storage[1][0], nullptr};
    int32_t create = 0;
    const option_spec table[] = {{'c', "create", OPT_FLAG, option_target(&create), 0},
                                 {0, nullptr, OPT_END, nullptr, 0}};
    int argc = 2;
    parse_options(&argc, argv, table, 0);
    EXPECT_EQ(create, 1);
    ASSERT_EQ(argc, 1);
    EXPECT_STREQ(argv[0], "x");
    EXPECT_EQ(argv[1], nullptr);
}

TEST_F(Options, LongNamesMatchTheFirstRowTheyBegin)
{
    struct {
        strings args;
        std::string pak;
        int create, list, help;
    } cases[] = {
        {{"--cr"}, "<none>", 1, 0, 0},
        {{"--he"}, "<none>", 0, 0, 1},
        {{"--help"}, "<none>", 0, 0, 1},
        {{"--=x"}, "x", 0, 0, 0},
        {{"--p", "FILE"}, "FILE", 0, 0, 0},
        {{"--pa=FILE"}, "FILE", 0, 0, 0},
        {{"--l", "--c"}, "<none>", 1, 1, 0},
    };
    for (const auto &c : cases) {
        parse_outcome o = parse(c.args);
        EXPECT_EQ(text(o.values.pak), c.pak) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.values.create, c.create) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.values.list, c.list) << ::testing::PrintToString(c.args);
        EXPECT_EQ(help_calls, c.help) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.rest, strings{"prog"});
        help_calls = 0;
    }
    EXPECT_TRUE(messages.empty());
}

TEST_F(Options, EarlierRowsShadowLaterOnes)
{
    int32_t first = 0, second = 0, third = 0;
    const option_spec table[] = {
        {'x', "express", OPT_FLAG, option_target(&first), 0},
        {'x', "ex", OPT_FLAG, option_target(&second), 0},
        {'y', "exp", OPT_FLAG, option_target(&third), 0},
        {0, nullptr, OPT_END, nullptr, 0},
    };
    std::string a = "-x", b = "--ex", c = "--exp";
    char *argv[] = {&a[0], &b[0], &c[0], nullptr};
    int argc = 3;
    parse_options(&argc, argv, table, 0);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(third, 0);
    EXPECT_EQ(argc, 0);
}

TEST_F(Options, ShortGroupsAndAttachedValues)
{
    struct {
        strings args;
        std::string pak;
        int create, list;
        strings rest;
    } cases[] = {
        {{"-pFILE"}, "FILE", 0, 0, {"prog"}},
        {{"-p", "FILE"}, "FILE", 0, 0, {"prog"}},
        {{"--pak=FILE"}, "FILE", 0, 0, {"prog"}},
        {{"--pak", "FILE"}, "FILE", 0, 0, {"prog"}},
        {{"-cpFILE"}, "FILE", 1, 0, {"prog"}},
        {{"-pl"}, "l", 0, 0, {"prog"}},
        {{"-p=x"}, "=x", 0, 0, {"prog"}},
        {{"--pak="}, "", 0, 0, {"prog"}},
        {{"--pak", "--list"}, "--list", 0, 0, {"prog"}},
        {{"-p", "--", "-l"}, "--", 0, 1, {"prog"}},
        {{"-p", "a", "-p", "b"}, "b", 0, 0, {"prog"}},
        {{"x", "-lp", "y", "z"}, "y", 0, 1, {"prog", "x", "z"}},
    };
    for (const auto &c : cases) {
        parse_outcome o = parse(c.args);
        EXPECT_EQ(text(o.values.pak), c.pak) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.values.create, c.create) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.values.list, c.list) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.rest, c.rest) << ::testing::PrintToString(c.args);
    }
    EXPECT_TRUE(messages.empty());
}

TEST_F(Options, ValuesReferToTheArgumentTextsWithoutCopying)
{
    static std::string storage[] = {"prog", "-pFILE", "--dir", "D"};
    char *argv[] = {&storage[0][0], &storage[1][0], &storage[2][0], &storage[3][0], nullptr};
    const char *pak = nullptr, *dir = nullptr;
    const option_spec table[] = {{'p', "pak", OPT_STRING, option_target(&pak), 0},
                                 {'d', "dir", OPT_STRING, option_target(&dir), 0},
                                 {0, nullptr, OPT_END, nullptr, 0}};
    int argc = 4;
    parse_options(&argc, argv, table, 0);
    EXPECT_EQ(pak, storage[1].c_str() + 2);
    EXPECT_EQ(dir, storage[3].c_str());
}

TEST_F(Options, NegativeNumbersStayWhenKept)
{
    parse_outcome kept = parse({"-5", "-c", "-1x"}, 1);
    EXPECT_EQ(kept.rest, (strings{"prog", "-5", "-1x"}));
    EXPECT_EQ(kept.values.create, 1);
    EXPECT_TRUE(messages.empty());

    parse_outcome parsed = parse({"-5"}, 0);
    EXPECT_EQ(messages, strings{"unrecognized option `-5'\n"});
    EXPECT_EQ(parsed.rest, strings{"prog"});

    // A byte above 127 is never taken for a digit.
    messages.clear();
    parse({"-\xd9\xa3"}, 1);
    EXPECT_EQ(messages.size(), 2u);
}

TEST_F(Options, MessagesAndWhatFollowsWhenTheReporterReturns)
{
    struct {
        strings args;
        strings expected;
        strings rest;
        std::string pak;
        int create, list;
    } cases[] = {
        {{"--pakfile", "x"}, {"unrecognized option `--pakfile'\n"}, {"prog", "x"}, "<none>", 0, 0},
        {{"-x"}, {"unrecognized option `-x'\n"}, {"prog"}, "<none>", 0, 0},
        {{"-cxl"}, {"unrecognized option `-x'\n"}, {"prog"}, "<none>", 1, 1},
        {{"--create=yes"}, {"option `--create' doesn't allow an argument\n"}, {"prog"}, "<none>", 1, 0},
        {{"--cr=yes"}, {"option `--create' doesn't allow an argument\n"}, {"prog"}, "<none>", 1, 0},
        {{"-l", "-p"}, {"option `-p' requires an argument\n"}, {"prog"}, "<none>", 0, 1},
        {{"-cp"}, {"option `-p' requires an argument\n"}, {"prog"}, "<none>", 1, 0},
        {{"--pa"}, {"option `--pak' requires an argument\n"}, {"prog"}, "<none>", 0, 0},
        {{"--help=x"}, {"option `--help' doesn't allow an argument\n"}, {"prog"}, "<none>", 0, 0},
    };
    for (const auto &c : cases) {
        messages.clear();
        parse_outcome o = parse(c.args);
        EXPECT_EQ(messages, c.expected) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.rest, c.rest) << ::testing::PrintToString(c.args);
        EXPECT_EQ(text(o.values.pak), c.pak) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.values.create, c.create) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.values.list, c.list) << ::testing::PrintToString(c.args);
    }
}

TEST_F(Options, EveryOptionIsUnrecognisedInAnEmptyTable)
{
    const option_spec table[] = {{'c', "create", OPT_END, nullptr, 0}};
    std::string a = "-c", b = "--create", c = "--";
    char *argv[] = {&a[0], &b[0], &c[0], nullptr};
    int argc = 3;
    parse_options(&argc, argv, table, 0);
    EXPECT_EQ(messages, (strings{"unrecognized option `-c'\n", "unrecognized option `--create'\n"}));
    EXPECT_EQ(argc, 0);
}

TEST_F(Options, DisplayNamesShowAtMost28CharactersOfALongName)
{
    int32_t n = 0;
    const option_spec table[] = {
        {'n', "abcdefghijklmnopqrstuvwxyz0123", OPT_INT, option_target(&n), 0},
        {0, nullptr, OPT_END, nullptr, 0},
    };
    std::string a = "--abc=99999999999", b = "-n99999999999";
    char *argv[] = {&a[0], &b[0], nullptr};
    int argc = 2;
    parse_options(&argc, argv, table, 0);
    EXPECT_EQ(messages,
              (strings{"number `99999999999' to `--abcdefghijklmnopqrstuvwxyz01' out of range\n",
                       "number `99999999999' to `-n' out of range\n"}));
}

TEST_F(Options, UnknownKindsTakeNoArgumentAndStoreNothing)
{
    int32_t target = 7;
    const option_spec table[] = {
        {'q', "queer", static_cast<option_type>(9), option_target(&target), 0},
        {0, nullptr, OPT_END, nullptr, 0},
    };
    std::string a = "-q", b = "value";
    char *argv[] = {&a[0], &b[0], nullptr};
    int argc = 2;
    parse_options(&argc, argv, table, 0);
    EXPECT_EQ(target, 7);
    ASSERT_EQ(argc, 1);
    EXPECT_STREQ(argv[0], "value");
}

// Numbers: one row of each kind, stored or passed to a callback.
int32_t got_int;
uint32_t got_uint;
int64_t got_long;
uint64_t got_ulong;
void take_int(int32_t v) { got_int = v; }
void take_uint(uint32_t v) { got_uint = v; }
void take_long(int64_t v) { got_long = v; }
void take_ulong(uint64_t v) { got_ulong = v; }

struct number_case {
    std::string option;  // "-i" style, given with a separate value
    std::string value;
    uint64_t expected;   // as delivered, in the kind's own width
    std::string message; // "" for none
};

void run_number_cases(bool callbacks)
{
    const int32_t f = callbacks ? OPT_CALLBACK : 0;
    const option_spec table[] = {
        {'i', "int", OPT_INT, callbacks ? option_target(&take_int) : option_target(&got_int), f},
        {'u', "uint", OPT_UINT, callbacks ? option_target(&take_uint) : option_target(&got_uint), f},
        {'L', "long", OPT_LONG, callbacks ? option_target(&take_long) : option_target(&got_long), f},
        {'U', "ulong", OPT_ULONG, callbacks ? option_target(&take_ulong) : option_target(&got_ulong), f},
        {0, nullptr, OPT_END, nullptr, 0},
    };
    const number_case cases[] = {
        {"-i", "-2147483648", static_cast<uint32_t>(INT32_MIN), ""},
        {"-i", "2147483647", 2147483647u, ""},
        {"-i", "2147483648", 0x80000000u, "number `2147483648' to `-i' out of range\n"},
        {"--int", "-2147483649", 0x7FFFFFFFu, "number `-2147483649' to `--int' out of range\n"},
        {"-i", " 42", 42, ""},
        {"-i", "+7", 7, ""},
        {"-i", "", 0, ""},
        {"-i", "42 ", 42, "invalid number `42 '\n"},
        {"-i", "4x", 4, "invalid number `4x'\n"},
        {"-i", "abc", 0, "invalid number `abc'\n"},
        {"-u", "4294967295", 4294967295u, ""},
        {"-u", "4294967296", 0, "number `4294967296' to `-u' out of range\n"},
        {"-u", "-1", 0xFFFFFFFFu, "number `-1' to `-u' out of range\n"},
        {"-L", "9223372036854775807", 9223372036854775807u, ""},
        {"-L", "9223372036854775808", 9223372036854775807u,
         "number `9223372036854775808' to `-L' out of range\n"},
        {"-L", "-9223372036854775808", 0x8000000000000000u, ""},
        {"-U", "-1", UINT64_MAX, ""},
        {"-U", "18446744073709551615", UINT64_MAX, ""},
        {"--ulong", "18446744073709551616", UINT64_MAX,
         "number `18446744073709551616' to `--ulong' out of range\n"},
    };
    for (const number_case &c : cases) {
        messages.clear();
        got_int = 0, got_uint = 0, got_long = 0, got_ulong = 0;
        std::string o = c.option, v = c.value;
        char *argv[] = {&o[0], &v[0], nullptr};
        int argc = 2;
        parse_options(&argc, argv, table, 0);
        std::string label = c.option + " " + c.value + (callbacks ? " (callback)" : "");
        EXPECT_EQ(argc, 0) << label;
        EXPECT_EQ(messages, c.message.empty() ? strings{} : strings{c.message}) << label;
        uint64_t delivered = o == "-i" || o == "--int" ? static_cast<uint32_t>(got_int)
                             : o == "-u"               ? got_uint
                             : o == "-L"               ? static_cast<uint64_t>(got_long)
                                                       : got_ulong;
        EXPECT_EQ(delivered, c.expected) << label;
    }
}

TEST_F(Options, NumbersAreConvertedAndRangeChecked)
{
    run_number_cases(false);
}

TEST_F(Options, NumbersReachCallbacksTheSameWay)
{
    run_number_cases(true);
}

std::string got_text;
void take_text(const char *s) { got_text = s; }

TEST_F(Options, CallbacksReceiveTheirArguments)
{
    const option_spec table[] = {{'s', "str", OPT_STRING, option_target(&take_text), OPT_CALLBACK},
                                 {'h', "help", OPT_FLAG, option_target(&count_help), OPT_CALLBACK},
                                 {0, nullptr, OPT_END, nullptr, 0}};
    std::string a = "--str=hello", b = "-hh";
    char *argv[] = {&a[0], &b[0], nullptr};
    int argc = 2;
    parse_options(&argc, argv, table, 0);
    EXPECT_EQ(got_text, "hello");
    EXPECT_EQ(help_calls, 2);
}

using OptionsDeathTest = Options;

TEST_F(OptionsDeathTest, DefaultReporterFlushesOutputAndExitsWith99)
{
    set_option_error_handler(nullptr);
    EXPECT_EXIT(
        {
            printf("pending");
            parse({"-c", "--bogus", "-l"});
        },
        ::testing::ExitedWithCode(99), "^unrecognized option `--bogus'\n$");
}

}  // namespace
