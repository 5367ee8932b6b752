#include "support/alloc.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
    fprintf(stderr, "\n%s%sout of memory allocating %lu bytes\n", alloc_program_name, separator,
            static_cast<unsigned long>(size));
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
