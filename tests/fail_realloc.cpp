// Preloaded into the binary by the tests: realloc fails, as when memory runs
// out, for exactly the size named by PAKWRIGHT_FAIL_REALLOC_SIZE.
#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" void *__libc_realloc(void *ptr, size_t size);

extern "C" void *realloc(void *ptr, size_t size)
{
    const char *fail = getenv("PAKWRIGHT_FAIL_REALLOC_SIZE");
    if (fail && strtoull(fail, nullptr, 10) == size) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_realloc(ptr, size);
}
