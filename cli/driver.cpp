#include "cli/driver.h"

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

void print_help()
{
    fputs("Usage: pakwright [argument ...]\n"
          "\n"
          "  -c, --create\t\tcreate PACK instead of extracting\n"
          "  -d, --dir=DIR\tuse DIR as the input/output directory\n"
          "  -l, --list\t\tlist files stored in PACK\n"
          "  -h, --help\t\tdisplay this help\n"
          "  -p, --pak=FILE\tread FILE for PACK information\n",
          stdout);
    exit(0);
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
    program_settings settings = {nullptr, nullptr, 0, 0};
    option_spec table[PROGRAM_OPTION_ROWS];
    program_option_table(table, settings, print_help);
    parse_options(&argc, argv, table, 0);

    const char *pak_path = settings.pak_path ? settings.pak_path : "pak0.pak";
    const char *io_dir = settings.io_dir ? settings.io_dir : "pak0";
    int32_t create_mode = settings.create_mode;
    int32_t list_mode = settings.list_mode;

    printf("Using pak file: %s\n", pak_path);
    if (!list_mode)
        printf("Input/output directory: %s\n", io_dir);
    printf("Operation: %s\n", create_mode ? "create" : list_mode ? "list" : "extract");

    // The archive is opened before the working directory changes, so a
    // relative path names a file in the starting directory.
    FILE *pak = fopen(pak_path, create_mode ? "wb" : "rb");
    if (!pak) {
        printf("Error opening %s: %s\n", pak_path, strerror(errno));
        return -1;
    }
    if (!list_mode) {
        if (!create_mode && mkdir(io_dir, 0755) != 0) {
            printf("Error making %s: %s\n", io_dir, strerror(errno));
            fclose(pak);
            return -1;
        }
        if (chdir(io_dir) != 0) {
            printf("Error changing directories to %s: %s\n", io_dir, strerror(errno));
            fclose(pak);
            return -1;
        }
    }

    if (!create_mode) {
        read_pak(pak, list_mode);
        fclose(pak);
        return 0;
    }

    // Only a failed write makes creation fail once the builder has returned:
    // an archive that did not reach the disk whole is never reported as made.
    int built = create_pak(pak);
    int build_errno = errno;
    int closed = fclose(pak);
    if (built < 0 || closed != 0) {
        printf("Error writing %s: %s\n", pak_path, strerror(built < 0 ? build_errno : errno));
        return -1;
    }
    return 0;
}
