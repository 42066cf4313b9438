// Building a PAK archive from the tree below the working directory.
#pragma once

#include <cstdio>

// Writes a complete archive of every file below the working directory to
// pak, open for writing and empty: the magic, each member's data back to back
// from byte 12 on, the directory behind the last member, then the header's
// two numbers. Prints the listing as it goes. The archive itself is never
// taken as a member, and each member's data is streamed, never held.
// Returns 1 when the archive was written; -1 with errno set when writing or
// positioning the archive failed. Ends the process with status -1 when a
// member cannot be opened or does not fit the format's 32-bit fields.
int create_pak(FILE *pak);
