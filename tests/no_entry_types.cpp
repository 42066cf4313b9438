// Preloaded into the binary by the tests: every directory entry read comes
// without its type (DT_UNKNOWN), as some network and older file systems
// give them, and is otherwise the C library's own, found as the next
// definition after this one.
#undef _FILE_OFFSET_BITS
#include <dirent.h>
#include <dlfcn.h>

extern "C" dirent *readdir(DIR *dir)
{
    using readdir_fn = dirent *(*)(DIR *);
    static readdir_fn next = reinterpret_cast<readdir_fn>(dlsym(RTLD_NEXT, "readdir"));
    dirent *entry = next(dir);
    if (entry)
        entry->d_type = DT_UNKNOWN;
    return entry;
}

// glibc reads through readdir64 where offsets are 64-bit; musl has one readdir.
#ifdef __GLIBC__
extern "C" dirent64 *readdir64(DIR *dir)
{
    using readdir64_fn = dirent64 *(*)(DIR *);
    static readdir64_fn next = reinterpret_cast<readdir64_fn>(dlsym(RTLD_NEXT, "readdir64"));
    dirent64 *entry = next(dir);
    if (entry)
        entry->d_type = DT_UNKNOWN;
    return entry;
}
#endif
