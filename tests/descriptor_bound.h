// tests/descriptor_bound.h: how far the tests look for open descriptors.
// The process may hold descriptors far above the first thousand (a build
// farm's runner can leave many open), so the bound is the process's own
// limit, capped so that a huge limit does not make every look slow.
#pragma once

#include <unistd.h>

inline int descriptor_bound()
{
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > 65536)
        limit = 65536;
    return static_cast<int>(limit);
}
