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
        // Each lead byte at the edges of its range, with the edges of its
        // second byte: all characters, then none.
        {"\xc2\xa0\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
         "\xc2\xa0\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
        {"\xc1\xbf|\xe0\x9f\xbf|\xf0\x8f\xbf\xbf|\xf4\x90\x80\x80|\xf5\x80\x80\x80",
         "\\301\\277|\\340\\237\\277|\\360\\217\\277\\277|\\364\\220\\200\\200|\\365\\200\\200\\200"},
        // A four-byte character whose last byte is not a continuation, or
        // that the name ends inside.
        {"\xf0\x90\x80\033[31m", "\\360\\220\\200\\033[31m"},
        {"\xf0\x90\x1b\x80", "\\360\\220\\033\\200"},
        {"cut \xf0\x90\x80", "cut \\360\\220\\200"},
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
