// A helper for the programs' tests: prints, without a newline, the C
// library's own text for a signal (strsignal) or an error number (strerror).
// It is built and linked as the programs are, against musl in the musl
// build, so that a test expects the texts of the library the programs use,
// not of the one the test binary happens to run on.
// Usage: mavo_libc_text signal|error N
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "signal") == 0) {
        fputs(strsignal(atoi(argv[2])), stdout);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "error") == 0) {
        fputs(strerror(atoi(argv[2])), stdout);
        return 0;
    }
    fputs("usage: mavo_libc_text signal|error N\n", stderr);
    return 2;
}
