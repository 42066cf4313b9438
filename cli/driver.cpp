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
#include "pak/archive_file.h"
#include "pak/build.h"
#include "pak/read.h"
#include "pak/report.h"
#include "pak/system.h"

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

// Ends a run that could not do its operation: reports a failed standard
// output as every run does, and returns -1, the run's exit status.
int failed_run()
{
    finish_stdout();
    return -1;
}

// Returns the exit status of a run whose operation ended with outcome: -1
// when it failed or standard output could not be written, 1 when it left
// something out, 0 when everything was done.
int exit_status(int outcome)
{
    if (finish_stdout() != 0 || outcome < 0)
        return -1;
    return outcome > 0 ? 1 : 0;
}

// Creates the archive pak_path from the tree io_dir, or from the working
// directory when io_dir is null. Returns the run's exit status.
int run_create(const char *pak_path, const char *io_dir)
{
    if (is_standard_output(pak_path)) {
        say("Error: %s is standard output, where the listing goes\n", show_path(pak_path));
        return failed_run();
    }
    // The archive is opened before the working directory changes, so a
    // relative path names a file in the starting directory.
    new_archive archive;
    if (open_new_archive(pak_path, archive) != 0) {
        say("Error opening %s: %s\n", show_path(pak_path), strerror(errno));
        return failed_run();
    }
    if (io_dir && chdir(io_dir) != 0) {
        say("Error changing directories to %s: %s\n", show_path(io_dir), strerror(errno));
        discard_new_archive(archive);
        return failed_run();
    }
    int built = create_pak(archive.fd, skips_of(archive));
    if (built == BUILD_WRITE_FAILED)
        say("Error writing %s: %s\n", show_path(pak_path), strerror(errno));
    // The listing is out before the archive is put in place: a listing that
    // cannot be written, or a signal meanwhile, leaves the old archive.
    if (built == BUILD_WRITE_FAILED || built == BUILD_TOP_UNREADABLE || finish_stdout() != 0) {
        discard_new_archive(archive);
        return failed_run();
    }
    int outcome = built == BUILD_COMPLETE ? 0 : 1;
    const char *temp_path = archive.temp_path;
    int attributes_errno = archive.attributes_errno;
    switch (commit_new_archive(archive)) {
    case COMMIT_WRITE_FAILED:
        say("Error writing %s: %s\n", show_path(pak_path), strerror(errno));
        return failed_run();
    case COMMIT_REPLACE_FAILED:
        say("Error replacing %s: %s\n", show_path(pak_path), strerror(errno));
        return failed_run();
    case COMMIT_LEFT_BEHIND:
        say("Error removing %s: %s\n", show_path(temp_path), strerror(errno));
        discard_new_archive(archive);
        outcome = 1;
        break;
    default:
        break;
    }
    if (attributes_errno) {
        say("Error setting the permissions of %s: %s\n", show_path(pak_path),
            strerror(attributes_errno));
        outcome = 1;
    }
    return exit_status(outcome);
}

// Lists the archive pak_path or, unless list_only is set, extracts it into
// the new directory io_dir. Returns the run's exit status.
int run_read(const char *pak_path, const char *io_dir, int list_only)
{
    FILE *pak = fopen(pak_path, "rb");
    if (!pak) {
        say("Error opening %s: %s\n", show_path(pak_path), strerror(errno));
        return failed_run();
    }
    // The way back to the starting directory, to remove the output
    // directory again should nothing be extracted into it.
    int start = -1;
    if (!list_only) {
        if (mkdir(io_dir, 0755) != 0) {
            say("Error making %s: %s\n", show_path(io_dir), strerror(errno));
            fclose(pak);
            return failed_run();
        }
        start = open_directory_handle(".");
        if (chdir(io_dir) != 0) {
            say("Error changing directories to %s: %s\n", show_path(io_dir), strerror(errno));
            // Still where it was made, and empty.
            rmdir(io_dir);
            if (start >= 0)
                close(start);
            fclose(pak);
            return failed_run();
        }
    }
    int outcome = read_pak(pak, list_only);
    fclose(pak);
    if (start >= 0) {
        // Nothing was extracted, so the same command can be run again; a
        // directory that is not empty is never removed.
        if (outcome == READ_FAILED && fchdir(start) == 0)
            rmdir(io_dir);
        close(start);
    }
    return exit_status(outcome);
}

// Prints the help text on standard output and exits with status 0.
[[noreturn]] void print_help()
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

}  // namespace

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

    say("Using pak file: %s\n", show_path(pak_path));
    if (!settings.list_mode)
        say("Input/output directory: %s\n", show_path(io_dir));
    say("Operation: %s\n", settings.create_mode ? "create" : settings.list_mode ? "list" : "extract");

    // With --create, --list builds from the working directory.
    if (settings.create_mode)
        return run_create(pak_path, settings.list_mode ? nullptr : io_dir);
    return run_read(pak_path, io_dir, settings.list_mode);
}
