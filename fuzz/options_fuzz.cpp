// libFuzzer target: the input, cut into elements that each end at a NUL
// byte (or at the end of the input), is an argument vector behind the
// program name. It is parsed with the program's own table and with a table
// holding every kind of option, as a variable and as a callback, each with
// and without negative numbers kept. The reporter
// returns, so every error path runs to its end. After each parse the target
// aborts unless:
//   - argc did not grow, and argv[argc] is null;
//   - the elements left are a subsequence of the input, in order;
//   - every element removed is an option (a hyphen and more) or the value
//     right after one; every option left follows a removed "--" or is a
//     kept negative number;
//   - every stored or delivered string points into an input element;
//   - every flag variable holds 0 or 1;
//   - every message is complete, its option texts point into an input
//     element or are a display name of a row ("-c", or "--" and at most 28
//     characters of a long name).
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/driver.h"
#include "cli/options.h"

namespace {

// The display name shows this many characters of a long name at most.
constexpr size_t LONG_NAME_SHOWN = 28;

// The elements of the current case, each in its own allocation so that a
// read past an element's NUL is caught.
std::vector<char *> elements;
const option_spec *current_table = nullptr;

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "options_fuzz: %s\n", what);
    abort();
}

// Returns whether p points into one of the elements, its NUL included.
bool in_element(const char *p)
{
    for (const char *e : elements)
        if (p >= e && p <= e + strlen(e))
            return true;
    return false;
}

// Returns whether text is the display name of a row of the current table.
bool is_display_name(const char *text)
{
    size_t len = strnlen(text, 2 + LONG_NAME_SHOWN + 1);
    if (len > 2 + LONG_NAME_SHOWN)
        return false;
    for (const option_spec *row = current_table; row->kind != OPT_END; ++row) {
        if (len == 2 && text[0] == '-' && row->short_name != 0 && text[1] == row->short_name)
            return true;
        if (row->long_name && len >= 2 && text[0] == '-' && text[1] == '-' &&
            len - 2 == strnlen(row->long_name, LONG_NAME_SHOWN) &&
            strncmp(text + 2, row->long_name, len - 2) == 0)
            return true;
    }
    return false;
}

// The reporter: walks the format's conversions, checks each option text and
// formats the whole message, then returns.
void check_message(const char *format, ...)
{
    va_list ap, copy;
    va_start(ap, format);
    va_copy(copy, ap);
    for (const char *f = strchr(format, '%'); f; f = strchr(f + 2, '%')) {
        if (f[1] == 's') {
            const char *text = va_arg(ap, const char *);
            if (!text || (!in_element(text) && !is_display_name(text)))
                fail("a message names text that is neither an input element nor a display name");
        } else if (f[1] == 'c') {
            (void)va_arg(ap, int);
        } else {
            fail("a message has a conversion other than %s and %c");
        }
    }
    va_list measure;
    va_copy(measure, copy);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::vector<char> text(length > 0 ? static_cast<size_t>(length) + 1 : 1);
    vsnprintf(text.data(), text.size(), format, copy);
    va_end(copy);
    va_end(ap);
    if (length <= 0 || text[static_cast<size_t>(length) - 1] != '\n')
        fail("a message does not end its line");
}

// The variables and callbacks of the table of every kind.
int32_t flag_var;
const char *string_var;
int32_t int_var;
uint32_t uint_var;
int64_t long_var;
uint64_t ulong_var;
int32_t unknown_var;
std::vector<const char *> delivered;  // strings handed to callbacks and stored

void flag_call() {}
void string_call(const char *s) { delivered.push_back(s); }
void int_call(int32_t) {}
void uint_call(uint32_t) {}
void long_call(int64_t) {}
void ulong_call(uint64_t) {}
void help_call() {}

// "string-call" begins with "string", so "--string" is the variable's; the
// long name past 28 characters is cut in messages; two rows have only one
// kind of name; one row has a kind the parser does not know.
const option_spec every_kind[] = {
    {'f', "flag", OPT_FLAG, option_target(&flag_var), 0},
    {'F', "flag-call", OPT_FLAG, option_target(&flag_call), OPT_CALLBACK},
    {'s', "string", OPT_STRING, option_target(&string_var), 0},
    {'S', "string-call", OPT_STRING, option_target(&string_call), OPT_CALLBACK},
    {'i', "int", OPT_INT, option_target(&int_var), 0},
    {'I', "int-call", OPT_INT, option_target(&int_call), OPT_CALLBACK},
    {'u', "uint", OPT_UINT, option_target(&uint_var), 0},
    {'U', "uint-call", OPT_UINT, option_target(&uint_call), OPT_CALLBACK},
    {'l', nullptr, OPT_LONG, option_target(&long_var), 0},
    {'L', "long-call", OPT_LONG, option_target(&long_call), OPT_CALLBACK},
    {0, "unsigned-long-with-a-name-past-what-is-shown", OPT_ULONG, option_target(&ulong_var), 0},
    {'G', "ulong-call", OPT_ULONG, option_target(&ulong_call), OPT_CALLBACK},
    {'q', "queer", static_cast<option_type>(9), option_target(&unknown_var), 0},
    {0, nullptr, OPT_END, nullptr, 0},
};

// Parses a fresh copy of the elements with table and checks what is left.
void parse_and_check(const option_spec *table, int keep_negative_numbers)
{
    current_table = table;
    int before = static_cast<int>(elements.size());
    char **argv = static_cast<char **>(malloc(sizeof(char *) * (elements.size() + 1)));
    memcpy(argv, elements.data(), sizeof(char *) * elements.size());
    argv[before] = nullptr;
    int argc = before;
    parse_options(&argc, argv, table, keep_negative_numbers);

    if (argc < 0 || argc > before)
        fail("argc grew or went negative");
    if (argv[argc] != nullptr)
        fail("argv[argc] is not null");
    std::vector<bool> kept(elements.size(), false);
    size_t next = 0;
    for (int i = 0; i < argc; ++i) {
        while (next < elements.size() && elements[next] != argv[i])
            ++next;
        if (next == elements.size())
            fail("the elements left are not a subsequence of the input in order");
        kept[next++] = true;
    }
    free(argv);

    bool ended = false;  // a removed "--" was met
    for (size_t i = 0; i < elements.size(); ++i) {
        const char *e = elements[i];
        bool option = e[0] == '-' && e[1] != '\0';
        bool negative = keep_negative_numbers && e[0] == '-' &&
                        isdigit(static_cast<unsigned char>(e[1])) && e[1] >= 0;
        if (!kept[i] && !option && !(i > 0 && !kept[i - 1] && elements[i - 1][0] == '-'))
            fail("an element that is neither an option nor its value was removed");
        if (kept[i] && option && !ended && !negative)
            fail("an option was left in place");
        if (!kept[i] && strcmp(e, "--") == 0)
            ended = true;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    set_option_error_handler(check_message);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char program_name[] = "pakwright";
    elements.clear();
    elements.push_back(strdup(program_name));
    // Each element ends at a NUL byte or at the end of a nonempty rest.
    for (size_t at = 0; at < size;) {
        const void *nul = memchr(data + at, 0, size - at);
        size_t stop = nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - data) : size;
        char *e = static_cast<char *>(malloc(stop - at + 1));
        memcpy(e, data + at, stop - at);
        e[stop - at] = '\0';
        elements.push_back(e);
        at = stop + 1;
    }

    program_settings settings;
    option_spec program_table[PROGRAM_OPTION_ROWS];
    program_option_table(program_table, settings, help_call);
    for (int keep : {0, 1}) {
        settings = {nullptr, nullptr, 0, 0};
        parse_and_check(program_table, keep);
        if ((settings.pak_path && !in_element(settings.pak_path)) ||
            (settings.io_dir && !in_element(settings.io_dir)))
            fail("a stored path does not point into an input element");
        if ((settings.create_mode | settings.list_mode) & ~1)
            fail("a flag holds neither 0 nor 1");

        flag_var = 0;
        string_var = nullptr;
        unknown_var = 7;
        delivered.clear();
        parse_and_check(every_kind, keep);
        if (string_var)
            delivered.push_back(string_var);
        for (const char *s : delivered)
            if (!s || !in_element(s))
                fail("a string value does not point into an input element");
        if (flag_var & ~1)
            fail("a flag holds neither 0 nor 1");
        if (unknown_var != 7)
            fail("a row of an unknown kind stored something");
    }

    for (char *e : elements)
        free(e);
    elements.clear();
    return 0;
}
