// Listing and extracting a PAK archive.
#pragma once

#include <cstdio>

#include "pak/format.h"

// Checks the magic of the archive open for reading at its first byte, loads
// its directory, prints the listing and, when list_mode is zero, extracts
// every member below the working directory right after its listing line.
// Returns 0 once the directory was listed, whatever became of single
// members; -1 when the file is not a PAK archive or cannot seek to its
// directory. Ends the process with status -1 when the directory does not fit
// in memory.
int read_pak(FILE *pak, int list_mode);

// Writes one member to the file named by its stored path, made with its
// leading directories below the working directory. The caller has made sure
// the path stays below the working directory. Returns 0 when the member file
// was written and closed (a member the archive holds only in part is written
// as far as it goes, and reported); -1 with errno set when the member file
// could not be opened, written or closed.
int extract_record(FILE *pak, pak_record record);

// Makes every leading directory of path, shortest first, with mode 0755;
// failures are ignored, as the open that follows reports what matters.
// Returns 0.
int make_parent_dirs(const char *path);
