#include "cli/driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/options.h"
#include "pak/build.h"
#include "pak/read.h"
#include "pak/report.h"

namespace {

// Makes sure descriptors 0, 1 and 2 are open, so that no file the run opens
// becomes standard input, output or error: with descriptor 1 closed, the
// archive would otherwise be opened as 1 and the listing written into it. A
// closed one is taken by /dev/null opened for reading only, so writing to it
// still fails as writing to a closed descriptor does, and is reported.
// Returns 0, or -1 when no descriptor can be opened at all.
int guard_standard_descriptors()
{
    for (int fd = 0; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int taken = open("/dev/null", O_RDONLY);
        if (taken < 0)
            taken = open("/", O_RDONLY);
        if (taken != fd)
            return -1;
    }
    return 0;
}

// Returns whether path names the regular file that standard output writes
// to. An archive built there would be mixed with its own listing.
bool is_standard_output(const char *path)
{
    struct stat file, out;
    return stat(path, &file) == 0 && S_ISREG(file.st_mode) && fstat(STDOUT_FILENO, &out) == 0 &&
           file.st_dev == out.st_dev && file.st_ino == out.st_ino;
}

}  // namespace

void print_help()
{
    say("Usage: pakwright [argument ...]\n"
        "\n"
        "  -c, --create\t\tcreate PACK instead of extracting\n"
        "  -d, --dir=DIR\tuse DIR as the input/output directory\n"
        "  -l, --list\t\tlist files stored in PACK\n"
        "  -h, --help\t\tdisplay this help\n"
        "  -p, --pak=FILE\tread FILE for PACK information\n");
    exit(finish_stdout() == 0 ? 0 : -1);
}

void program_option_table(option_spec (&table)[PROGRAM_OPTION_ROWS], program_settings &settings,
                          void (*help)())
{
    // Abbreviated long names select the first row that matches, so the row
    // order is part of the command line's meaning.
    const option_spec rows[PROGRAM_OPTION_ROWS] = {
        {'p', "pak", OPT_STRING, option_target(&settings.pak_path), 0},
        {'d', "dir", OPT_STRING, option_target(&settings.io_dir), 0},
        {'c', "create", OPT_FLAG, option_target(&settings.create_mode), 0},
        {'l', "list", OPT_FLAG, option_target(&settings.list_mode), 0},
        {'h', "help", OPT_FLAG, option_target(help), OPT_CALLBACK},
        {0, nullptr, OPT_END, nullptr, 0},
    };
    std::copy(rows, rows + PROGRAM_OPTION_ROWS, table);
}

int pakwright_main(int argc, char **argv)
{
    if (guard_standard_descriptors() != 0)
        return -1;

    program_settings settings = {nullptr, nullptr, 0, 0};
    option_spec table[PROGRAM_OPTION_ROWS];
    program_option_table(table, settings, print_help);
    parse_options(&argc, argv, table, 0);

    const char *pak_path = settings.pak_path ? settings.pak_path : "pak0.pak";
    const char *io_dir = settings.io_dir ? settings.io_dir : "pak0";
    int32_t create_mode = settings.create_mode;
    int32_t list_mode = settings.list_mode;

    say("Using pak file: %s\n", show_path(pak_path));
    if (!list_mode)
        say("Input/output directory: %s\n", show_path(io_dir));
    say("Operation: %s\n", create_mode ? "create" : list_mode ? "list" : "extract");

    if (create_mode && is_standard_output(pak_path)) {
        say("Error: %s is standard output, where the listing goes\n", show_path(pak_path));
        finish_stdout();
        return -1;
    }
    // The archive is opened before the working directory changes, so a
    // relative path names a file in the starting directory.
    FILE *pak = fopen(pak_path, create_mode ? "wb" : "rb");
    if (!pak) {
        say("Error opening %s: %s\n", show_path(pak_path), strerror(errno));
        finish_stdout();
        return -1;
    }
    if (!list_mode) {
        if (!create_mode && mkdir(io_dir, 0755) != 0) {
            say("Error making %s: %s\n", show_path(io_dir), strerror(errno));
            fclose(pak);
            finish_stdout();
            return -1;
        }
        if (chdir(io_dir) != 0) {
            say("Error changing directories to %s: %s\n", show_path(io_dir), strerror(errno));
            fclose(pak);
            finish_stdout();
            return -1;
        }
    }

    if (!create_mode) {
        read_pak(pak, list_mode);
        fclose(pak);
        return finish_stdout() == 0 ? 0 : -1;
    }

    // Only a failed write makes creation fail once the builder has returned:
    // an archive that did not reach the disk whole is never reported as made.
    int built = create_pak(pak);
    int build_errno = errno;
    int closed = fclose(pak);
    if (built < 0 || closed != 0) {
        say("Error writing %s: %s\n", show_path(pak_path),
            strerror(built < 0 ? build_errno : errno));
        finish_stdout();
        return -1;
    }
    return finish_stdout() == 0 ? 0 : -1;
}
