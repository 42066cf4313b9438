// What pakwright takes from the system beyond POSIX, each with a portable
// path beside it. Which is used is found when pakwright is configured, by
// trying each interface, never by the system's name; only speed and how
// tightly a member is checked before it is opened differ between them.
#pragma once

#include <sys/stat.h>

#include <cstddef>

// What open_member gives, besides a descriptor, when the member is not opened.
constexpr int MEMBER_UNOPENED = -1;     // errno tells why
constexpr int MEMBER_NOT_REGULAR = -2;  // not a regular file (any more)

// Opens the file at path, following links, for reading, and fills st with
// its status. A file that is not regular is never read, and a member that a
// link has turned into a device is never opened for reading, where the
// system can tell first (see system.cpp). Returns the descriptor,
// MEMBER_UNOPENED with errno set, or MEMBER_NOT_REGULAR.
int open_member(const char *path, struct stat &st);

// Returns whether two statuses of one file show it unchanged: the same size,
// modification time and change time.
bool same_contents(const struct stat &before, const struct stat &after);

// Opens the directory at path only to come back to it or to name files in it,
// without needing to read it where the system allows. Returns the descriptor,
// or -1 with errno set.
int open_directory_handle(const char *path);

// Asks the system to read the first bytes of the file open as fd, of size
// bytes, into the cache ahead of their use; where it cannot, does nothing.
void ask_for_data(int fd, off_t size);

// How much of a member a cache probe reads. A read that may not wait still
// starts the kernel's read-ahead where the data is missing, sized from the
// read's length; this much makes that one request cover most members whole
// (up to four times as much).
constexpr size_t PROBE_BYTES = 128 * 1024;

// The system's state for probing members ahead of the copy.
struct cache_probes {
    unsigned long batch;  // the kernel's context for a batch of probes; 0: none yet
};

// Probes whether the start of each of the n members open as fds, whose sizes
// are sizes, is in the page cache, with reads that may not wait, which start
// the kernel's read-ahead where it is not. Sets cached[k] for each. Returns
// false, and sets nothing, where the system cannot probe.
bool probe_cache(cache_probes &probes, const int *fds, const off_t *sizes, bool *cached, long n);

// Releases what probing holds; probing may start again afterwards.
void release_probes(cache_probes &probes);
