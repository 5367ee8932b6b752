#include "support/error_text.h"

#include <string.h>

char error_text_buffer[48];

// The platform's texts are taken with strerror_r: unlike strerror, it never
// allocates, not even for a number the platform does not know. It comes in
// two shapes: POSIX returns an int and fills the buffer, GNU returns the
// text. Overloading on the result takes either without a configuration test.
// The POSIX shape may fail for an unknown number yet leave the platform's own
// "unknown" text in the buffer (FreeBSD does, as its strerror shows): a
// filled buffer counts as the platform's text either way.
[[maybe_unused]] static const char *platform_text(int, char *buffer)
{
    return buffer[0] != '\0' ? buffer : nullptr;
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
    // Where the platform's text is copied to: like strerror's own buffer, it
    // holds the text until the next call. Long enough for any platform's.
    static char platform_buffer[256];
    platform_buffer[0] = '\0';
    const char *found = platform_text(strerror_r(error_number, platform_buffer, sizeof platform_buffer),
                                      platform_buffer);
    if (found != nullptr)
        return found;
    format_fallback(error_number);
    return error_text_buffer;
}
