#include "pak/copy.h"

#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Each kernel call moves at most this much, well inside ssize_t on any host.
constexpr uint64_t KERNEL_STEP = uint64_t{1} << 30;
// The plain copy's buffer, touched only when the kernel cannot copy.
constexpr size_t PLAIN_BUFFER_SIZE = 128 * 1024;

enum copy_method { USE_COPY_FILE_RANGE, USE_SENDFILE, USE_READ_WRITE };

// Copies through the buffer with pread and write, telling read and write
// failures apart; adds what it wrote to *copied.
int copy_plain(int in_fd, uint64_t in_offset, int out_fd, uint64_t length, uint64_t *copied)
{
    static char buffer[PLAIN_BUFFER_SIZE];
    while (*copied < length) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(length - *copied, sizeof buffer));
        ssize_t got = pread(in_fd, buffer, want, static_cast<off_t>(in_offset + *copied));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return COPY_READ_FAILED;
        }
        if (got == 0)
            return COPY_DONE;
        // Never more than this read delivered.
        for (ssize_t put = 0; put < got;) {
            ssize_t n = write(out_fd, buffer + put, static_cast<size_t>(got - put));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return COPY_WRITE_FAILED;
            }
            put += n;
            *copied += static_cast<uint64_t>(n);
        }
    }
    return COPY_DONE;
}

}  // namespace

copy_result copy_range(int in_fd, uint64_t in_offset, int out_fd, uint64_t length)
{
    copy_result result = {0, COPY_DONE};
    copy_method method = USE_COPY_FILE_RANGE;
    // Any failure of a kernel copy, and a kernel copy that stops short, hands
    // the rest to the next method: some files (devices, pseudo-files, other
    // file systems) refuse or under-report, and the plain copy is the one
    // that tells a real read failure from a write failure and a real end.
    while (result.copied < length && method != USE_READ_WRITE) {
        size_t want = static_cast<size_t>(std::min(length - result.copied, KERNEL_STEP));
        off_t offset = static_cast<off_t>(in_offset + result.copied);
        ssize_t n = method == USE_COPY_FILE_RANGE
                        ? copy_file_range(in_fd, &offset, out_fd, nullptr, want, 0)
                        : sendfile(out_fd, in_fd, &offset, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            method = method == USE_COPY_FILE_RANGE ? USE_SENDFILE : USE_READ_WRITE;
            continue;
        }
        result.copied += static_cast<uint64_t>(n);
    }
    if (result.copied < length)
        result.status = copy_plain(in_fd, in_offset, out_fd, length, &result.copied);
    return result;
}
