#include "pak/prefetch.h"

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
// decides, in either mode, and looking ahead leaves no descriptor behind.
TEST(Readahead, EachMemberIsOpenedAsItIsAtItsTurn)
{
    for (bool reading_ahead : {false, true}) {
        SCOPED_TRACE(reading_ahead ? "reading ahead" : "sampling");
        scoped_dir dir;
        scoped_cwd in(dir.path);
        write_file("a", "first");
        write_file("b", "vanishes");
        write_file("c", "third");
        ASSERT_EQ(mkfifo("d", 0644), 0);  // a pipe where the walk saw a plain file
        write_file("e", "last");
        std::vector<pak_record> records = records_for({"a", "b", "c", "d", "e"});
        int free_before = lowest_free_descriptor();
        // An open that waits for a writer would hang here, not fail.
        alarm(30);

        member_readahead ahead;
        readahead_start(ahead, records.data(), records.size());
        ahead.active = reading_ahead;
        FILE *a = readahead_open(ahead, 0);
        ASSERT_NE(a, nullptr);
        fclose(a);
        ASSERT_EQ(unlink("b"), 0);
        errno = 0;
        EXPECT_EQ(readahead_open(ahead, 1), nullptr);
        EXPECT_EQ(errno, ENOENT);
        ASSERT_EQ(unlink("c"), 0);
        write_file("c", "replaced");
        FILE *c = readahead_open(ahead, 2);
        ASSERT_NE(c, nullptr);
        char got[16] = {0};
        EXPECT_EQ(fread(got, 1, sizeof got, c), 8u);
        EXPECT_STREQ(got, "replaced");
        fclose(c);
        FILE *d = readahead_open(ahead, 3);
        ASSERT_NE(d, nullptr);
        struct stat st;
        EXPECT_EQ(fstat(fileno(d), &st), 0);
        EXPECT_EQ(st.st_size, 0);
        fclose(d);
        alarm(0);
        EXPECT_EQ(lowest_free_descriptor(), free_before);
    }
}

}  // namespace
