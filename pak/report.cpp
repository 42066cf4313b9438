#include "pak/report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The error of the first failed write to standard output, or 0.
int stdout_errno = 0;
bool stdout_reported = false;

// Shown paths are built here. The fixed part holds any stored path, whose
// name field is at most 56 bytes, four bytes out for each byte in; longer
// paths, from the command line, take memory as they need it.
constexpr size_t SHOWN_FIXED_SIZE = 1024;
char shown_fixed[SHOWN_FIXED_SIZE];
char *shown_heap = nullptr;
size_t shown_heap_size = 0;
const char CUT_MARK[] = "...";

// Returns how many bytes from p on form one well-formed UTF-8 character of
// two to four bytes, or 0 when they do not. p is NUL-terminated, and NUL is
// never a continuation byte, so the test never reads past the end.
size_t utf8_length(const unsigned char *p)
{
    auto cont = [](unsigned char c) { return c >= 0x80 && c <= 0xBF; };
    unsigned char c = p[0];
    if (c >= 0xC2 && c <= 0xDF)
        return cont(p[1]) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        // No overlong forms, and no UTF-16 surrogates.
        unsigned char low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
        return p[1] >= low && p[1] <= high && cont(p[2]) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        unsigned char low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
        return p[1] >= low && p[1] <= high && cont(p[2]) && cont(p[3]) ? 4 : 0;
    }
    return 0;
}

// Returns whether byte c, met outside a well-formed UTF-8 character, is
// escaped: a C0 control, DEL, or any byte above 0x7F, which is then not
// UTF-8 (a C1 control as a raw byte among them).
bool escaped_byte(unsigned char c)
{
    return c < 0x20 || c >= 0x7F;
}

// Writes c as a backslash and three octal digits at out; returns the end.
char *escape(char *out, unsigned char c)
{
    *out++ = '\\';
    *out++ = static_cast<char>('0' + (c >> 6));
    *out++ = static_cast<char>('0' + ((c >> 3) & 7));
    *out++ = static_cast<char>('0' + (c & 7));
    return out;
}

// Returns a buffer of at least size bytes for a shown path, or the fixed
// buffer when no larger one can be had.
char *shown_buffer(size_t size, size_t *room)
{
    if (size <= SHOWN_FIXED_SIZE) {
        *room = SHOWN_FIXED_SIZE;
        return shown_fixed;
    }
    if (size > shown_heap_size) {
        char *grown = static_cast<char *>(realloc(shown_heap, size));
        if (!grown) {
            *room = SHOWN_FIXED_SIZE;
            return shown_fixed;
        }
        shown_heap = grown;
        shown_heap_size = size;
    }
    *room = shown_heap_size;
    return shown_heap;
}

}  // namespace

int say(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int result = vprintf(format, ap);
    va_end(ap);
    if (result < 0 && stdout_errno == 0)
        stdout_errno = errno ? errno : EIO;
    return result;
}

// The bytes escaped are 0x01 to 0x1F and 0x7F, the two-byte UTF-8 forms of
// U+0080 to U+009F, and every byte from 0x80 up that does not belong to a
// well-formed UTF-8 character (such as a lead byte left alone where a stored
// path was cut at 55 bytes). Everything else, valid UTF-8 included, is shown
// as it is.
const char *show_path(const char *path)
{
    const unsigned char *in = reinterpret_cast<const unsigned char *>(path);
    // Most paths need no escape and are shown as they are.
    const unsigned char *p = in;
    while (*p && !escaped_byte(*p))
        ++p;
    if (!*p)
        return path;

    // Four bytes out for each byte in is the most any path needs; the slack
    // keeps the cut test below from firing on a path that fits.
    size_t length = strlen(path);
    size_t room;
    char *text = shown_buffer(length * 4 + 8 + sizeof CUT_MARK + 1, &room);
    char *out = text;
    // Room for the widest step, an escaped two-byte character, then the mark.
    char *last = text + room - 8 - sizeof CUT_MARK;
    for (p = in; *p; ) {
        if (out > last) {
            memcpy(out, CUT_MARK, sizeof CUT_MARK);
            return text;
        }
        size_t n = *p >= 0x80 ? utf8_length(p) : 0;
        if (n == 2 && p[0] == 0xC2 && p[1] <= 0x9F) {
            out = escape(escape(out, p[0]), p[1]);
        } else if (n > 0) {
            memcpy(out, p, n);
            out += n;
        } else {
            n = 1;
            if (escaped_byte(*p))
                out = escape(out, *p);
            else
                *out++ = static_cast<char>(*p);
        }
        p += n;
    }
    *out = '\0';
    return text;
}

void print_listing_heading()
{
    say("Num Size     File name\n"
        "--- -------- -------------------------------------------------------\n");
}

void print_listing_line(uint64_t index, uint64_t size, const char *path)
{
    say("%3llu %8llu %s\n", static_cast<unsigned long long>(index),
        static_cast<unsigned long long>(size), show_path(path));
}

int finish_stdout()
{
    if (fflush(stdout) != 0 && stdout_errno == 0)
        stdout_errno = errno ? errno : EIO;
    if (ferror(stdout) && stdout_errno == 0)
        stdout_errno = EIO;
    if (stdout_errno == 0)
        return 0;
    if (!stdout_reported) {
        stdout_reported = true;
        fprintf(stderr, "Error writing standard output: %s\n", strerror(stdout_errno));
    }
    return -1;
}

void stop_run()
{
    finish_stdout();
    exit(-1);
}
