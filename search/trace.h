// search/trace.h: the trace that MAVO_TRACE asks for, on standard error.
//
// Every line goes to the system in a single write(2): jobs of a parallel
// build share one terminal or log, and a line written piecemeal would have
// their output land inside it. Nothing here is buffered, so the lines keep
// their order with everything else the process and its tool write there.
#pragma once

#include <stddef.h>

// Writes `length` bytes of `text` to descriptor 2 in one call, continuing
// only where the system took less or a signal interrupted it before anything
// was written. Any other failure (a closed descriptor, a full disk) drops the
// rest: the trace never stops the program.
void trace_write(const char *text, size_t length);

// Formats as printf does into one buffer, then trace_write.
void trace_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
