#include "pak/readahead.h"

#include "pak/system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support.h"

namespace {

// Records naming files, as the walk leaves them before the build measures them.
std::vector<pak_record> records_for(const std::vector<std::string> &names)
{
    std::vector<pak_record> records(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        memset(&records[i], 0, sizeof records[i]);
        memcpy(records[i].name, names[i].data(), names[i].size());
    }
    return records;
}

// The lowest free descriptor: it rises when descriptors are left open.
int lowest_free_descriptor()
{
    int fd = dup(0);
    close(fd);
    return fd;
}

// A member may change between the look ahead and its turn; what its turn finds
// decides, in either mode, and looking ahead leaves no descriptor behind. A
// member that is no longer a regular file is never read.
TEST(Readahead, EachMemberIsOpenedAsItIsAtItsTurn)
{
    for (bool reading_ahead : {false, true}) {
        SCOPED_TRACE(reading_ahead ? "reading ahead" : "not reading ahead");
        scoped_dir dir;
        scoped_cwd in(dir.path);
        write_file("a", "first");
        write_file("b", "vanishes");
        write_file("c", "third");
        ASSERT_EQ(mkfifo("d", 0644), 0);  // a pipe where the walk saw a plain file
        ASSERT_EQ(symlink("/dev/zero", "e"), 0);  // a device, likewise
        write_file("f", "last");
        std::vector<pak_record> records = records_for({"a", "b", "c", "d", "e", "f"});
        member_list list = {records.data(), records.size(), NO_CUT};
        int free_before = lowest_free_descriptor();
        // An open that waits for a writer would hang here, not fail.
        alarm(30);

        member_readahead ahead;
        readahead_start(ahead, list, 0);
        ahead.active = reading_ahead;
        ahead.next_check = UINT64_MAX;  // as it is, whatever the process reads
        struct stat st;
        readahead_before(ahead, 0);
        int a = open_member("a", st);
        ASSERT_GE(a, 0);
        EXPECT_EQ(st.st_size, 5);
        close(a);
        ASSERT_EQ(unlink("b"), 0);
        errno = 0;
        readahead_before(ahead, 1);
        EXPECT_EQ(open_member("b", st), MEMBER_UNOPENED);
        EXPECT_EQ(errno, ENOENT);
        ASSERT_EQ(unlink("c"), 0);
        write_file("c", "replaced");
        readahead_before(ahead, 2);
        int c = open_member("c", st);
        ASSERT_GE(c, 0);
        char got[16] = {0};
        EXPECT_EQ(read(c, got, sizeof got), 8);
        EXPECT_STREQ(got, "replaced");
        close(c);
        for (uint64_t i : {3, 4}) {
            readahead_before(ahead, i);
            EXPECT_EQ(open_member(records[i].name, st), MEMBER_NOT_REGULAR) << records[i].name;
        }
        alarm(0);
        EXPECT_EQ(lowest_free_descriptor(), free_before);
    }
}

}  // namespace
