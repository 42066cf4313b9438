// Building a PAK archive from the tree below the working directory.
#pragma once

#include <cstdint>
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

// Which of the format's 32-bit limits a member of length bytes whose data
// starts at offset would break: its length must fit data_length, and its
// data must end at or below the largest offset dir_offset can hold.
constexpr int MEMBER_FITS = 0;
constexpr int MEMBER_TOO_LARGE = 1;
constexpr int MEMBER_ENDS_PAST_LIMIT = 2;
int member_limit(uint64_t offset, uint64_t length);
