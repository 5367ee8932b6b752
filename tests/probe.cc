// A child for the tests to start: does one small thing that shows what it
// was given. Usage: mavo_probe MODE [ARG]
//   fds          print the open descriptors, blank-separated, then a newline
//   env          print the environment, one entry a line
//   args ...     print every further argument, one a line
//   exit N       exit with status N
//   kill N       end by signal N
//   cat          copy standard input to standard output
//   echo TEXT    write TEXT and a newline to standard output
//   echo-err TEXT  the same to standard error
//   ignore-sigchld PROGRAM ARG...  run PROGRAM with SIGCHLD ignored
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tests/descriptor_bound.h"

extern char **environ;

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "";
    const char *arg = argc > 2 ? argv[2] : "";
    if (strcmp(mode, "fds") == 0) {
        const char *separator = "";
        for (int fd = 0, bound = descriptor_bound(); fd < bound; fd++)
            if (fcntl(fd, F_GETFD) != -1) {
                printf("%s%d", separator, fd);
                separator = " ";
            }
        printf("\n");
    } else if (strcmp(mode, "env") == 0) {
        for (char **entry = environ; *entry != nullptr; entry++)
            printf("%s\n", *entry);
    } else if (strcmp(mode, "args") == 0) {
        for (int i = 2; i < argc; i++)
            printf("%s\n", argv[i]);
    } else if (strcmp(mode, "exit") == 0) {
        return atoi(arg);
    } else if (strcmp(mode, "kill") == 0) {
        signal(atoi(arg), SIG_DFL);
        raise(atoi(arg));
        return 99;
    } else if (strcmp(mode, "cat") == 0) {
        char buffer[4096];
        ssize_t got;
        while ((got = read(0, buffer, sizeof buffer)) > 0)
            if (write(1, buffer, static_cast<size_t>(got)) != got)
                return 1;
    } else if (strcmp(mode, "echo") == 0) {
        printf("%s\n", arg);
    } else if (strcmp(mode, "echo-err") == 0) {
        fprintf(stderr, "%s\n", arg);
    } else if (strcmp(mode, "ignore-sigchld") == 0 && argc > 2) {
        signal(SIGCHLD, SIG_IGN);
        execv(argv[2], argv + 2);
        perror("mavo_probe: execv");
        return 127;
    } else {
        fprintf(stderr, "mavo_probe: unknown mode '%s'\n", mode);
        return 2;
    }
    return 0;
}
