// libFuzzer target: arbitrary bytes as an archive, listed and then extracted
// into a fresh directory. It aborts when anything appears outside that
// directory or when the sentinel file beside it changes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pak/format.h"
#include "pak/read.h"
#include "tests/files.h"

namespace {

// base/ holds the input, the sentinel and level/; level/ holds only work/,
// which is the working directory while a case is extracted. Paths that
// escape work/ by up to two levels show up in a listing checked below.
std::string base, level, work, input, sentinel;
int start_dir = -1;  // given back after each case: the fuzzer's paths are relative to it
const char sentinel_text[] = "must never change";

std::vector<std::string> names_in(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

void check_nothing_escaped()
{
    std::vector<std::string> top = names_in(base), mid = names_in(level);
    if (top.size() != 3 || mid.size() != 1 || mid[0] != "work") {
        fprintf(stderr, "something was written outside the output directory\n");
        abort();
    }
    if (read_file(sentinel) != sentinel_text) {
        fprintf(stderr, "the sentinel beside the output directory changed\n");
        abort();
    }
}

void set_up()
{
    char templ[] = "/tmp/pakwright-fuzz-XXXXXX";
    if (!mkdtemp(templ))
        abort();
    base = templ;
    start_dir = open(".", O_RDONLY | O_DIRECTORY);
    level = base + "/level";
    work = level + "/work";
    input = base + "/in.pak";
    sentinel = base + "/sentinel";
    mkdir(level.c_str(), 0755);
    FILE *f = fopen(sentinel.c_str(), "wb");
    fputs(sentinel_text, f);
    fclose(f);
    // The listing is not what is tested; keep it off the fuzzer's output.
    if (!freopen("/dev/null", "w", stdout))
        abort();
    atexit([] { remove_tree(base); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = (set_up(), true);
    (void)ready;

    // Records past the end of the file are all zero and each costs a failed
    // open; a few bytes could otherwise ask for 67 million of them.
    if (size >= PAK_HEADER_SIZE &&
        load_le32(data + PAK_HEADER_DIR_LENGTH_AT) / PAK_RECORD_SIZE > size)
        return 0;

    FILE *f = fopen(input.c_str(), "wb");
    fwrite(data, 1, size, f);
    fclose(f);
    remove_tree(work);
    mkdir(work.c_str(), 0755);

    // "not a PAK file" goes to the stderr stream; sanitizer reports do not.
    FILE *real_stderr = stderr;
    FILE *quiet = fopen("/dev/null", "w");
    stderr = quiet;
    if (chdir(work.c_str()) != 0)
        abort();
    for (int list_mode : {1, 0}) {
        FILE *pak = fopen(input.c_str(), "rb");
        read_pak(pak, list_mode);
        fclose(pak);
    }
    if (fchdir(start_dir) != 0)
        abort();
    stderr = real_stderr;
    fclose(quiet);

    check_nothing_escaped();
    return 0;
}
