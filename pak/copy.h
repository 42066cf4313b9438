// Moving bytes between files through one fixed buffer, without stdio's
// buffering in between, at given offsets, never at a descriptor's own offset.
#pragma once

#include <cstddef>
#include <cstdint>

// How a read, a write or a copy ended. errno tells why one failed.
constexpr int COPY_DONE = 0;          // moved everything, or the input ended
constexpr int COPY_READ_FAILED = -1;  // reading the input failed
constexpr int COPY_WRITE_FAILED = -2; // writing the output failed

struct copy_result {
    uint64_t copied;  // bytes read or written, never more than asked
    int status;       // COPY_DONE, COPY_READ_FAILED or COPY_WRITE_FAILED
};

// The size of the buffer that copies go through.
constexpr size_t COPY_BUFFER_SIZE = 128 * 1024;

// Returns that buffer: copy_range overwrites it, and bytes may wait in it
// between copies.
char *copy_buffer();

// Reads n bytes of fd from offset into buffer, fewer only where the file
// ends or a read fails. Returns the bytes read and COPY_DONE or COPY_READ_FAILED.
copy_result read_full(int fd, uint64_t offset, void *buffer, size_t n);

// Writes the n bytes at bytes to fd at offset. Returns the bytes written and
// COPY_DONE or COPY_WRITE_FAILED (EIO for a write that takes nothing).
copy_result write_all(int fd, uint64_t offset, const void *bytes, size_t n);

// Copies at most length bytes of in_fd from in_offset to out_fd at
// out_offset, writing only what reads delivered. Returns the bytes copied and
// how it ended; fewer bytes with COPY_DONE means the input ended first.
copy_result copy_range(int in_fd, uint64_t in_offset, int out_fd, uint64_t out_offset,
                       uint64_t length);
