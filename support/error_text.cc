#include "support/error_text.h"

#include <string.h>

char error_text_buffer[48];

#if defined(__FreeBSD__)
#include <stdio.h>

// FreeBSD's strerror and strerror_r look each text up in the message
// catalogue of the current locale, and the first lookup in a process opens
// and caches that catalogue: it allocates and takes a lock, which a child made
// by vfork must not do. The table behind them holds the texts they give in
// the C locale; it is read here directly.
static const char *platform_text(int error_number)
{
    if (error_number < 0 || error_number >= sys_nerr)
        return nullptr;
    return sys_errlist[error_number];
}
#else
// Elsewhere the texts are taken with strerror_r: unlike strerror, it never
// allocates, not even for a number the platform does not know. It comes in
// two shapes: POSIX returns an int and fills the buffer, GNU returns the
// text. Overloading on the result takes either without a configuration test.
// The POSIX shape may fail for an unknown number yet leave the platform's own
// "unknown" text in the buffer: a filled buffer counts as the platform's text
// either way.
[[maybe_unused]] static const char *filled_text(int, char *buffer)
{
    return buffer[0] != '\0' ? buffer : nullptr;
}

[[maybe_unused]] static const char *filled_text(char *result, char *)
{
    return result;
}

static const char *platform_text(int error_number)
{
    // Where the platform's text is copied to: like strerror's own buffer, it
    // holds the text until the next call. Long enough for any platform's.
    static char buffer[256];
    buffer[0] = '\0';
    return filled_text(strerror_r(error_number, buffer, sizeof buffer), buffer);
}
#endif

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
    const char *found = platform_text(error_number);
    if (found != nullptr)
        return found;
    format_fallback(error_number);
    return error_text_buffer;
}
