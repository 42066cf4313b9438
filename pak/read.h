// Listing and extracting a PAK archive.
#pragma once

#include <cstdio>

#include "pak/format.h"

// What read_pak gives.
constexpr int READ_COMPLETE = 0;  // listed, and in extract mode every member written whole
constexpr int READ_LEFT_OUT = 1;  // listed, but a member was not extracted or not whole;
                                  // each is reported
constexpr int READ_FAILED = -1;   // nothing listed: not an archive, or its header or
                                  // directory could not be read or held; reported

// Checks the magic of the archive open for reading at its first byte, loads
// its directory, prints the listing and, when list_mode is zero, extracts
// every member below the working directory right after its listing line.
// Returns READ_COMPLETE, READ_LEFT_OUT or READ_FAILED.
int read_pak(FILE *pak, int list_mode);

// What extract_record gives.
constexpr int EXTRACT_DONE = 0;     // the member file holds the member's data
constexpr int EXTRACT_FAILED = -1;  // the member file could not be made, written or
                                    // closed; errno tells why
constexpr int EXTRACT_PARTIAL = 1;  // written as far as the archive could be read; reported

// Writes one member, whose path stays below the working directory, to the
// file it names there, its leading directories made. Returns one of the above.
int extract_record(FILE *pak, pak_record record);

// Returns whether path would lead outside the working directory: it is
// absolute, or one of its components is "..".
bool leads_outside(const char *path);

// Makes every leading directory of path, shortest first, with mode 0755;
// failures are ignored, as the open that follows reports what matters.
// Returns 0.
int make_parent_dirs(const char *path);
