#include "pak/report.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(ShowPath, EscapesWhatATerminalCouldActOnAndNothingElse)
{
    const struct {
        std::string path, shown;
    } cases[] = {
        {"plain/path name.txt", "plain/path name.txt"},
        {"a\033[31mred", "a\\033[31mred"},
        {"new\nline\ttab\x7f", "new\\012line\\011tab\\177"},
        {"\x01", "\\001"},
        {"caf\xc3\xa9/\xe2\x82\xac/\xf0\x9f\x98\x80", "caf\xc3\xa9/\xe2\x82\xac/\xf0\x9f\x98\x80"},
        // U+009B, the one-character CSI, in UTF-8 and as a raw byte.
        {"x\xc2\x9b" "31m", "x\\302\\23331m"},
        {"x\x9b" "31m", "x\\23331m"},
        // Bytes that are not UTF-8: another encoding's, a character cut by
        // the 55-byte limit, a UTF-16 surrogate.
        {"Latin-1 \xe9t\xe9", "Latin-1 \\351t\\351"},
        {"cut \xe2\x82", "cut \\342\\202"},
        {"\xed\xa0\x80", "\\355\\240\\200"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(show_path(c.path.c_str()), c.shown) << c.path;

    // Paths from the command line may be far longer than a stored one.
    std::string long_path(5000, '\033');
    std::string shown = show_path(long_path.c_str());
    EXPECT_EQ(shown.size(), 20000u);
    EXPECT_EQ(shown.substr(0, 8), "\\033\\033");
}

}  // namespace
