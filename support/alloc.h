// support/alloc.h: allocation that never returns null, and the one way the
// support routines end the process.
#pragma once

#include <stddef.h>

// Prefix of the out-of-memory message; "" (the start value) prints no name.
// The pointer is stored, the text is not copied.
extern const char *alloc_program_name;

// Called with no arguments by exit_with_hook before the process exits; null
// (the start value) means nothing to do.
extern void (*exit_hook)();

// malloc(size), size 0 taken as 1; never null.
void *alloc_or_die(size_t size);
// calloc(count, size), a zero count or size taking both as 1; never null.
void *calloc_or_die(size_t count, size_t size);
// realloc(block, size) (malloc for a null block), size 0 taken as 1; never null.
void *realloc_or_die(void *block, size_t size);
// A new copy of `text`; never null.
char *strdup_or_die(const char *text);

// Writes "\n<name>: out of memory allocating <size> bytes\n" to standard
// error and exits with status 1 through exit_with_hook.
[[noreturn]] void report_out_of_memory(size_t size);
void set_alloc_program_name(const char *name);

// Runs exit_hook when set, then exit(code): at-exit handlers run and streams
// are flushed.
[[noreturn]] void exit_with_hook(int code);
