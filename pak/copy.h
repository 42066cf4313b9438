// Moving a byte range from one file to another through one fixed buffer,
// without stdio's buffering in between.
#pragma once

#include <cstdint>

// How copy_range ended. Statuses are ints; errno tells why a copy failed.
constexpr int COPY_DONE = 0;          // copied everything, or the input ended
constexpr int COPY_READ_FAILED = -1;  // reading the input failed
constexpr int COPY_WRITE_FAILED = -2; // writing the output failed

struct copy_result {
    uint64_t copied;  // bytes written to the output, never more than asked
    int status;       // COPY_DONE, COPY_READ_FAILED or COPY_WRITE_FAILED
};

// Copies at most length bytes of in_fd, read from in_offset on, to out_fd
// from out_offset on, moving neither descriptor's file offset. Never writes
// more than a read delivered. Returns the bytes copied and how the copy
// ended; fewer bytes than asked with COPY_DONE means the input ended first.
copy_result copy_range(int in_fd, uint64_t in_offset, int out_fd, uint64_t out_offset,
                       uint64_t length);
