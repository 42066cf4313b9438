// Building a PAK archive from the tree below the working directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pak/walk.h"

// What create_pak gives when it returns.
constexpr int BUILD_COMPLETE = 1;      // every file below is in the archive, as it was read
constexpr int BUILD_LEFT_OUT = 0;      // the archive is whole, but something was left out or
                                       // changed while it was read; each is reported
constexpr int BUILD_WRITE_FAILED = -1; // writing the archive failed; errno tells why

// Writes a complete archive of every file below the working directory to the
// descriptor pak_fd, open for writing and empty: the header, each member's
// data back to back from byte 12 on, the directory behind the last member,
// then the header's two numbers. Prints the listing as it goes. The
// skip_count files whose identities skip holds (the archive being written
// and the one it replaces) are never taken as members, and each member's
// data is streamed, never held. Returns BUILD_COMPLETE, BUILD_LEFT_OUT or
// BUILD_WRITE_FAILED. Ends the process with status -1 when a member cannot be
// opened or is not a regular file, its path is longer than a name holds, or
// it does not fit the format's 32-bit fields.
int create_pak(int pak_fd, const file_id *skip, size_t skip_count);

// Which of the format's 32-bit limits a member of length bytes whose data
// starts at offset would break: its length must fit data_length, and its
// data must end at or below the largest offset dir_offset can hold.
constexpr int MEMBER_FITS = 0;
constexpr int MEMBER_TOO_LARGE = 1;
constexpr int MEMBER_ENDS_PAST_LIMIT = 2;
int member_limit(uint64_t offset, uint64_t length);
