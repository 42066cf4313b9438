// Building a PAK archive from the tree below the working directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pak/walk.h"

// What create_pak gives.
constexpr int BUILD_COMPLETE = 1;        // every file below is in the archive, as it was read
constexpr int BUILD_LEFT_OUT = 0;        // the archive is whole, but something was left out or
                                         // changed while it was read; each is reported
constexpr int BUILD_WRITE_FAILED = -1;   // writing the archive failed; errno tells why
constexpr int BUILD_TOP_UNREADABLE = -2; // the tree could not be read; reported, nothing written

// Walks the tree below the working directory, then writes its archive to
// pak_fd (emptied first), printing the listing; never takes what skip names.
// Returns one of the above; ends the process with -1 at a member that cannot
// be opened, is not a regular file, has a cut path or breaks the limits.
int create_pak(int pak_fd, const build_skips &skip);

// Which of the format's 32-bit limits a member of length bytes whose data
// starts at offset would break: its length must fit data_length, and its
// data must end at or below the largest offset dir_offset can hold.
constexpr int MEMBER_FITS = 0;
constexpr int MEMBER_TOO_LARGE = 1;
constexpr int MEMBER_ENDS_PAST_LIMIT = 2;
int member_limit(uint64_t offset, uint64_t length);
