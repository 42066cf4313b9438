#include "cli/options.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Stores or delivers one option's value for row; arg is null when the option
// takes none. long_form chooses the display name used in messages. Called
// once for each option met; defined below.
void store_option_value(const option_spec *row, const char *arg, int long_form);

// The current reporter; there is always one.
option_reporter option_error_handler = report_and_exit;

// A display name is "-c" or "--" and at most this many characters of the
// long name; with its NUL it always fits option_name_buf.
constexpr size_t LONG_NAME_SHOWN = 28;
char option_name_buf[2 + LONG_NAME_SHOWN + 1];

// Rebuilds the display name of row in option_name_buf and returns the buffer.
const char *display_name(const option_spec *row, int long_form)
{
    if (long_form) {
        size_t n = strnlen(row->long_name, LONG_NAME_SHOWN);
        option_name_buf[0] = '-';
        option_name_buf[1] = '-';
        memcpy(option_name_buf + 2, row->long_name, n);
        option_name_buf[2 + n] = '\0';
    } else {
        option_name_buf[0] = '-';
        option_name_buf[1] = row->short_name;
        option_name_buf[2] = '\0';
    }
    return option_name_buf;
}

// Returns whether an option of this kind takes an argument.
bool takes_argument(option_type kind)
{
    return kind >= OPT_STRING && kind <= OPT_ULONG;
}

// Removes argv[index], moving the later elements and the null pointer down.
void remove_element(int *argc, char **argv, int index)
{
    memmove(argv + index, argv + index + 1,
            sizeof(char *) * static_cast<size_t>(*argc - index));
    --*argc;
}

// Returns the first row before the end row whose long name begins with the
// name's len characters, or null.
const option_spec *find_long(const option_spec *table, const char *name, size_t len)
{
    for (const option_spec *row = table; row->kind != OPT_END; ++row)
        if (row->long_name && strncmp(row->long_name, name, len) == 0 &&
            strlen(row->long_name) >= len)
            return row;
    return nullptr;
}

// Returns the first row before the end row with short name c, or null.
const option_spec *find_short(const option_spec *table, char c)
{
    for (const option_spec *row = table; row->kind != OPT_END; ++row)
        if (row->short_name == c)
            return row;
    return nullptr;
}

// Handles the long option at argv[index]; returns how many elements it took.
int parse_long(int *argc, char **argv, int index, const option_spec *table)
{
    const char *name = argv[index] + 2;
    const char *equals = strchr(name, '=');
    size_t len = equals ? static_cast<size_t>(equals - name) : strlen(name);
    const char *value = equals ? equals + 1 : nullptr;

    const option_spec *row = find_long(table, name, len);
    if (!row) {
        option_error_handler("unrecognized option `%s'\n", argv[index]);
        return 1;
    }
    if (!takes_argument(row->kind)) {
        if (value)
            option_error_handler("option `%s' doesn't allow an argument\n",
                                    display_name(row, 1));
        store_option_value(row, value, 1);
        return 1;
    }
    if (value) {
        store_option_value(row, value, 1);
        return 1;
    }
    if (index + 1 >= *argc) {
        option_error_handler("option `%s' requires an argument\n",
                                display_name(row, 1));
        return 1;
    }
    store_option_value(row, argv[index + 1], 1);
    return 2;
}

// Handles the group of short options at argv[index]; returns how many
// elements it took.
int parse_short(int *argc, char **argv, int index, const option_spec *table)
{
    for (const char *p = argv[index] + 1; *p; ++p) {
        const option_spec *row = find_short(table, *p);
        if (!row) {
            option_error_handler("unrecognized option `-%c'\n", *p);
            continue;
        }
        if (!takes_argument(row->kind)) {
            store_option_value(row, nullptr, 0);
            continue;
        }
        if (p[1]) {
            store_option_value(row, p + 1, 0);
            return 1;
        }
        if (index + 1 >= *argc) {
            option_error_handler("option `%s' requires an argument\n",
                                    display_name(row, 0));
            return 1;
        }
        store_option_value(row, argv[index + 1], 0);
        return 2;
    }
    return 1;
}

// Converts arg for a numeric row, reporting stray characters and range
// errors; returns the converted 64-bit value, to be cut by the caller.
uint64_t convert_number(const option_spec *row, const char *arg, int long_form)
{
    bool is_signed = row->kind == OPT_INT || row->kind == OPT_LONG;
    char *end = nullptr;
    errno = 0;
    uint64_t value = is_signed ? static_cast<uint64_t>(strtoll(arg, &end, 10))
                               : static_cast<uint64_t>(strtoull(arg, &end, 10));
    bool range_error = errno == ERANGE;
    if (*end != '\0')
        option_error_handler("invalid number `%s'\n", arg);

    int64_t as_signed = static_cast<int64_t>(value);
    if (row->kind == OPT_INT && (as_signed < INT32_MIN || as_signed > INT32_MAX))
        range_error = true;
    if (row->kind == OPT_UINT && value > UINT32_MAX)
        range_error = true;
    if (range_error)
        option_error_handler("number `%s' to `%s' out of range\n", arg,
                                display_name(row, long_form));
    return value;
}

// Stores v through target or passes it to the callback, as row says.
template <typename T>
void deliver(const option_spec *row, T v)
{
    if (row->flags & OPT_CALLBACK)
        reinterpret_cast<void (*)(T)>(row->target)(v);
    else
        *static_cast<T *>(row->target) = v;
}

void store_option_value(const option_spec *row, const char *arg, int long_form)
{
    bool callback = row->flags & OPT_CALLBACK;
    switch (row->kind) {
    case OPT_FLAG:
        if (callback)
            reinterpret_cast<void (*)()>(row->target)();
        else
            *static_cast<int32_t *>(row->target) = 1;
        break;
    case OPT_STRING:
        deliver<const char *>(row, arg);
        break;
    case OPT_INT:
        deliver(row, static_cast<int32_t>(convert_number(row, arg, long_form)));
        break;
    case OPT_UINT:
        deliver(row, static_cast<uint32_t>(convert_number(row, arg, long_form)));
        break;
    case OPT_LONG:
        deliver(row, static_cast<int64_t>(convert_number(row, arg, long_form)));
        break;
    case OPT_ULONG:
        deliver(row, convert_number(row, arg, long_form));
        break;
    default:
        break;
    }
}

}  // namespace

void report_and_exit(const char *format, ...)
{
    fflush(stdout);
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    exit(99);
}

void set_option_error_handler(option_reporter handler)
{
    option_error_handler = handler ? handler : report_and_exit;
}

void parse_options(int *argc, char **argv, const option_spec *table,
                   int keep_negative_numbers)
{
    int index = 0;
    while (index < *argc) {
        const char *arg = argv[index];
        if (strcmp(arg, "--") == 0) {
            remove_element(argc, argv, index);
            return;
        }
        // A byte above 127 is never a digit, whatever the locale says.
        signed char second = arg[0] == '-' ? static_cast<signed char>(arg[1]) : 0;
        if (keep_negative_numbers && second >= 0 && isdigit(second)) {
            ++index;
            continue;
        }
        int taken;
        if (arg[0] == '-' && arg[1] == '-')
            taken = parse_long(argc, argv, index, table);
        else if (arg[0] == '-' && arg[1] != '\0')
            taken = parse_short(argc, argv, index, table);
        else {
            ++index;
            continue;
        }
        for (int i = 0; i < taken; ++i)
            remove_element(argc, argv, index);
    }
}
