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
// pak_fd, open for writing (emptied first): the header, each member's data
// back to back, the directory, then the header's numbers, printing the
// listing as it goes. Never takes the files skip names. Returns one of the
// outcomes above; ends the process with status -1 when a member cannot be
// opened, is not a regular file, has a cut path or breaks the format's limits.
int create_pak(int pak_fd, const build_skips &skip);

// Which of the format's 32-bit limits a member of length bytes whose data
// starts at offset would break: its length must fit data_length, and its
// data must end at or below the largest offset dir_offset can hold.
constexpr int MEMBER_FITS = 0;
constexpr int MEMBER_TOO_LARGE = 1;
constexpr int MEMBER_ENDS_PAST_LIMIT = 2;
int member_limit(uint64_t offset, uint64_t length);
