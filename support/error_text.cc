#include "support/error_text.h"

#include <cstring>

char error_text_buffer[48];

// strerror_r comes in two shapes: POSIX returns an int and fills the buffer,
// GNU returns the text. Overloading on the result takes either without a
// configuration test. Unlike strerror, neither allocates for an unknown number.
[[maybe_unused]] static const char *platform_text(int result, char *buffer)
{
    return result == 0 ? buffer : nullptr;
}

[[maybe_unused]] static const char *platform_text(char *result, char *)
{
    return result;
}

static void format_fallback(int error_number)
{
    static const char lead[] = "undocumented error #";
    char digits[12];
    int count = 0;
    // Negate digit by digit so that the most negative int needs no wider type.
    int rest = error_number;
    do {
        int digit = rest % 10;
        digits[count++] = static_cast<char>('0' + (digit < 0 ? -digit : digit));
        rest /= 10;
    } while (rest != 0);
    char *end = error_text_buffer + sizeof lead - 1;
    memcpy(error_text_buffer, lead, sizeof lead - 1);
    if (error_number < 0)
        *end++ = '-';
    while (count > 0)
        *end++ = digits[--count];
    *end = '\0';
}

const char *error_text(int error_number)
{
    char text[256];
    const char *found = platform_text(strerror_r(error_number, text, sizeof text), text);
    if (found == nullptr || found[0] == '\0') {
        format_fallback(error_number);
        return error_text_buffer;
    }
    if (found == text) {
        // Only our stack copy holds it: hand out the static buffer instead.
        strncpy(error_text_buffer, text, sizeof error_text_buffer - 1);
        error_text_buffer[sizeof error_text_buffer - 1] = '\0';
        return error_text_buffer;
    }
    return found;
}
