// support/path_element.h: one element of a ':'-separated list such as PATH,
// as a directory prefix to put in front of a file name.
#pragma once

#include <string.h>

// Writes the `length` bytes at `element` into `out` as a prefix: "./" for an
// empty element, else the element with a '/' appended unless it ends in one.
// `out` holds at least max(length + 1, 2) bytes; returns the prefix's length.
// No terminator is written.
inline size_t path_element_prefix(const char *element, size_t length, char *out)
{
    if (length == 0) {
        memcpy(out, "./", 2);
        return 2;
    }
    memcpy(out, element, length);
    if (element[length - 1] != '/')
        out[length++] = '/';
    return length;
}
