// Preloaded into the binary by the tests: realloc fails, as when memory runs
// out, for exactly the size named by PAKWRIGHT_FAIL_REALLOC_SIZE, and is the
// C library's own otherwise, found as the next definition after this one.
#include <dlfcn.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" void *realloc(void *ptr, size_t size)
{
    using realloc_fn = void *(*)(void *, size_t);
    static realloc_fn next = reinterpret_cast<realloc_fn>(dlsym(RTLD_NEXT, "realloc"));
    const char *fail = getenv("PAKWRIGHT_FAIL_REALLOC_SIZE");
    if (fail && strtoull(fail, nullptr, 10) == size) {
        errno = ENOMEM;
        return nullptr;
    }
    return next(ptr, size);
}
