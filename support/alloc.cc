#include "support/alloc.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/stderr_write.h"

const char *alloc_program_name = "";
void (*exit_hook)() = nullptr;

void *alloc_or_die(size_t size)
{
    if (size == 0)
        size = 1;
    void *block = malloc(size);
    if (block == nullptr)
        report_out_of_memory(size);
    return block;
}

void *calloc_or_die(size_t count, size_t size)
{
    if (count == 0 || size == 0)
        count = size = 1;
    void *block = calloc(count, size);
    if (block == nullptr)
        report_out_of_memory(count * size);   // wraps like the unsigned product it reports
    return block;
}

void *realloc_or_die(void *block, size_t size)
{
    if (size == 0)
        size = 1;
    void *resized = block == nullptr ? malloc(size) : realloc(block, size);
    if (resized == nullptr)
        report_out_of_memory(size);
    return resized;
}

char *strdup_or_die(const char *text)
{
    size_t size = strlen(text) + 1;
    return static_cast<char *>(memcpy(alloc_or_die(size), text, size));
}

void report_out_of_memory(size_t size)
{
    const char *separator = alloc_program_name[0] != '\0' ? ": " : "";
    // One write, like every message of the programs, from a buffer on the
    // stack: nothing may be allocated now. A program name too long for it
    // is cut, so that the rest of the message still fits.
    char message[1024];
    static constexpr int room_for_rest = 80;
    int name_room = int(sizeof message) - room_for_rest;
    int length = snprintf(message, sizeof message, "\n%.*s%sout of memory allocating %lu bytes\n",
                          name_room, alloc_program_name, separator, static_cast<unsigned long>(size));
    if (length > 0)
        stderr_write(message, size_t(length) < sizeof message ? size_t(length) : sizeof message - 1);
    exit_with_hook(1);
}

void set_alloc_program_name(const char *name)
{
    alloc_program_name = name;
}

void exit_with_hook(int code)
{
    if (exit_hook != nullptr)
        exit_hook();
    exit(code);
}
