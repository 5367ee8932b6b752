#include "support/char_class.h"

// The tables are worked out by the compiler from the class rules below, so
// that no entry is ever typed in by hand. Codes are ASCII whatever the
// compiler's own character set.

static constexpr bool in_range(int c, int low, int high)
{
    return c >= low && c <= high;
}

static constexpr bool is_upper(int c)
{
    return in_range(c, 65, 90);
}

static constexpr bool is_lower(int c)
{
    return in_range(c, 97, 122);
}

static constexpr bool is_digit(int c)
{
    return in_range(c, 48, 57);
}

static constexpr uint16_t class_bits_of(int c)
{
    const bool is_printing = in_range(c, 32, 126);
    uint16_t bits = 0;
    if (c == 9 || c == 32)
        bits |= CHAR_BLANK;
    if (in_range(c, 0, 31) || c == 127)
        bits |= CHAR_CONTROL;
    if (is_digit(c))
        bits |= CHAR_DIGIT;
    if (is_lower(c))
        bits |= CHAR_LOWER;
    if (is_printing)
        bits |= CHAR_PRINT;
    if (is_printing && c != 32 && !is_upper(c) && !is_lower(c) && !is_digit(c))
        bits |= CHAR_PUNCT;
    if (in_range(c, 9, 13) || c == 32)
        bits |= CHAR_SPACE;
    if (is_upper(c))
        bits |= CHAR_UPPER;
    if (is_digit(c) || in_range(c, 65, 70) || in_range(c, 97, 102))
        bits |= CHAR_HEX_DIGIT;
    if (is_upper(c) || is_lower(c) || c == 95)
        bits |= CHAR_IDENT_START;
    if (c == 10 || c == 13)
        bits |= CHAR_VERTICAL_SPACE;
    // VT and FF count as horizontal here, and so does NUL.
    if (c == 0 || c == 9 || c == 11 || c == 12 || c == 32)
        bits |= CHAR_NONVERTICAL_SPACE;
    return bits;
}

static constexpr unsigned char upper_of(int c)
{
    return static_cast<unsigned char>(is_lower(c) ? c - 32 : c);
}

static constexpr unsigned char lower_of(int c)
{
    return static_cast<unsigned char>(is_upper(c) ? c + 32 : c);
}

template <typename Entry>
static constexpr char_table<Entry> table_of(Entry (*rule)(int))
{
    char_table<Entry> table = {};
    for (size_t c = 0; c < sizeof table.entries / sizeof table.entries[0]; c++)
        table.entries[c] = rule(static_cast<int>(c));
    return table;
}

constinit const char_table<uint16_t> char_class_table = table_of(class_bits_of);
constinit const char_table<unsigned char> char_upper_table = table_of(upper_of);
constinit const char_table<unsigned char> char_lower_table = table_of(lower_of);

const char *dos_path_basename(const char *path)
{
    // The letter test comes first, so path[1] is read only inside the string.
    if (char_has_class(path[0], CHAR_LETTER) && path[1] == ':')
        path += 2;
    const char *base = path;
    for (; *path != '\0'; path++)
        if (*path == '/' || *path == '\\')
            base = path + 1;
    return base;
}
