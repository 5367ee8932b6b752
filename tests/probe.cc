// A child for the tests to start: does one small thing that shows what it
// was given. Usage: mavo_probe MODE [ARG]
//   fds          print the open descriptors, blank-separated, then a newline
//   files PATH   write to PATH each open descriptor, found as fds finds them,
//                with the device and inode number of its file: "FD DEV INO",
//                one a line (PATH's own descriptor left out)
//   env          print the environment, one entry a line
//   args ...     print every further argument, one a line
//   exit N       exit with status N
//   kill N       end by signal N
//   cat          copy standard input to standard output
//   echo TEXT    write TEXT and a newline to standard output
//   echo-err TEXT  the same to standard error
//   cpu U S      use at least U ms of user and then S ms of system time
//                (20 s at most), then print the user and system time this
//                process has used, in microseconds, to standard error
//   ignore-sigchld PROGRAM ARG...  run PROGRAM with SIGCHLD ignored
//   sigchld      print this process's disposition of SIGCHLD: "default",
//                "ignored" or "caught", and a newline
//   signals N... print "N DISPOSITION" for each signal N, as sigchld does,
//                with " blocked" after it when N is in this process's mask
//   block N PROGRAM ARG...  run PROGRAM with signal N blocked
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "tests/descriptor_bound.h"

extern char **environ;

static const char *disposition(int signal_number)
{
    struct sigaction action;
    if (sigaction(signal_number, nullptr, &action) != 0)
        return "unknown";
    return action.sa_handler == SIG_DFL ? "default" : action.sa_handler == SIG_IGN ? "ignored" : "caught";
}

static long long microseconds(const timeval &t)
{
    return t.tv_sec * 1000000LL + t.tv_usec;
}

// Burns CPU time in this process until getrusage shows `user_ms` of user
// and then `system_ms` of system time, or 20 seconds have gone by.
static void use_cpu(long long user_ms, long long system_ms)
{
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    auto out_of_time = [&] {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return now.tv_sec - start.tv_sec > 20;
    };
    rusage usage;
    volatile unsigned long sink = 0;
    while (getrusage(RUSAGE_SELF, &usage) == 0 && microseconds(usage.ru_utime) < user_ms * 1000 && !out_of_time())
        for (int i = 0; i < 1000000; i++)
            sink = sink + static_cast<unsigned long>(i);
    // The kernel fills the buffer: time spent on this process's behalf.
    static char buffer[1 << 16];
    int zero = open("/dev/zero", O_RDONLY);
    while (zero >= 0 && getrusage(RUSAGE_SELF, &usage) == 0 &&
           microseconds(usage.ru_stime) < system_ms * 1000 && !out_of_time())
        for (int i = 0; i < 64; i++)
            if (read(zero, buffer, sizeof buffer) < 0)
                break;
    getrusage(RUSAGE_SELF, &usage);
    fprintf(stderr, "%lld %lld\n", microseconds(usage.ru_utime), microseconds(usage.ru_stime));
}

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
    } else if (strcmp(mode, "files") == 0) {
        FILE *report = fopen(arg, "w");
        if (report == nullptr) {
            perror("mavo_probe: files");
            return 1;
        }
        struct stat st;
        for (int fd = 0, bound = descriptor_bound(); fd < bound; fd++)
            if (fd != fileno(report) && fcntl(fd, F_GETFD) != -1 && fstat(fd, &st) == 0)
                fprintf(report, "%d %llu %llu\n", fd, static_cast<unsigned long long>(st.st_dev),
                        static_cast<unsigned long long>(st.st_ino));
        if (fclose(report) != 0) {
            perror("mavo_probe: files");
            return 1;
        }
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
    } else if (strcmp(mode, "cpu") == 0 && argc > 3) {
        use_cpu(atoll(argv[2]), atoll(argv[3]));
    } else if (strcmp(mode, "echo-err") == 0) {
        fprintf(stderr, "%s\n", arg);
    } else if (strcmp(mode, "ignore-sigchld") == 0 && argc > 2) {
        signal(SIGCHLD, SIG_IGN);
        execv(argv[2], argv + 2);
        perror("mavo_probe: execv");
        return 127;
    } else if (strcmp(mode, "sigchld") == 0) {
        printf("%s\n", disposition(SIGCHLD));
    } else if (strcmp(mode, "signals") == 0) {
        sigset_t mask;
        sigprocmask(SIG_SETMASK, nullptr, &mask);
        for (int i = 2; i < argc; i++) {
            int signal_number = atoi(argv[i]);
            printf("%d %s%s\n", signal_number, disposition(signal_number),
                   sigismember(&mask, signal_number) == 1 ? " blocked" : "");
        }
    } else if (strcmp(mode, "block") == 0 && argc > 3) {
        sigset_t just_this;
        sigemptyset(&just_this);
        sigaddset(&just_this, atoi(arg));
        sigprocmask(SIG_BLOCK, &just_this, nullptr);
        execv(argv[3], argv + 3);
        perror("mavo_probe: execv");
        return 127;
    } else {
        fprintf(stderr, "mavo_probe: unknown mode '%s'\n", mode);
        return 2;
    }
    return 0;
}
