// support/stderr_write.h: lines on standard error, each in a single write(2).
//
// The programs' messages and their trace share one terminal or log with the
// other jobs of a parallel build, and a line written piecemeal would have
// their output land inside it. Nothing here is buffered, so the lines keep
// their order with everything else the process and its tool write there.
#pragma once

#include <stddef.h>

// What stderr_printf formats on the stack; a longer line gets a buffer of
// its own size.
inline constexpr size_t stderr_line_buffer_size = 256;

// Writes `length` bytes of `text` to descriptor 2 in one call, continuing
// only where the system took less or a signal interrupted it before anything
// was written. Any other failure (a closed descriptor, a pipe without reader,
// a full disk) drops the rest: a message or trace that cannot be written
// never stops the program.
void stderr_write(const char *text, size_t length);

// Formats as printf does into one buffer, then stderr_write.
void stderr_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
