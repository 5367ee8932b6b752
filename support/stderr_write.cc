#include "support/stderr_write.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "support/alloc.h"

void stderr_write(const char *text, size_t length)
{
    while (length > 0) {
        ssize_t written = write(2, text, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text += written;
        length -= size_t(written);
    }
}

void stderr_printf(const char *format, ...)
{
    // Most lines fit here; one naming a long path gets a buffer of its size.
    char line[stderr_line_buffer_size];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    if (size_t(length) < sizeof line) {
        stderr_write(line, size_t(length));
        return;
    }
    char *long_line = static_cast<char *>(alloc_or_die(size_t(length) + 1));
    va_start(arguments, format);
    vsnprintf(long_line, size_t(length) + 1, format, arguments);
    va_end(arguments);
    stderr_write(long_line, size_t(length));
    free(long_line);
}
