#include <stdio.h>

void greet(const char *who)
{
    printf("hello from an LTO archive, %s\n", who);
}
