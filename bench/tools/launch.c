/* Runs one command, or a sequence of commands, a number of times and reports
   how long that took, so that the cost of starting a process is measured
   without the noise of an interpreter in between.

     launch [-n N] [-w N] [-o FILE] [-r FILE] -- CMD ARGS... [-- CMD ARGS...]

   -n N   iterations that are timed (default 1)
   -w N   iterations run first and not timed (default 0)
   -o F   the commands' standard output goes to F (default /dev/null)
   -r F   F is removed before each iteration
   Each "--" starts a command; an iteration runs them in order, each started
   with posix_spawn (the way make and ninja start tools). Commands are paths,
   not looked up along PATH.

   Prints the median time of one iteration in nanoseconds: on a machine
   shared with other work an iteration now and then waits for a core, and
   the median of the iterations is not moved by that.
   Exits 1 when a command fails or exits non-zero. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

#define MAX_COMMANDS 16

static long long now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int compare_ll(const void *a, const void *b)
{
    long long x = *(const long long *)a, y = *(const long long *)b;
    return (x > y) - (x < y);
}

static int usage(void)
{
    fputs("usage: launch [-n N] [-w N] [-o FILE] [-r FILE] -- CMD ARGS... [-- CMD ARGS...]\n", stderr);
    return 2;
}

static int check_status(char *const *argv, int status)
{
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return 0;
    if (WIFEXITED(status))
        fprintf(stderr, "launch: %s exited with status %d\n", argv[0], WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        fprintf(stderr, "launch: %s ended by signal %d\n", argv[0], WTERMSIG(status));
    else
        fprintf(stderr, "launch: %s: status 0x%x\n", argv[0], status);
    return 1;
}

int main(int argc, char **argv)
{
    long iterations = 1, warmup = 0;
    const char *out = "/dev/null", *remove_path = NULL;
    int i = 1;

    for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
        if (i + 1 >= argc)
            return usage();
        if (strcmp(argv[i], "-n") == 0)
            iterations = atol(argv[++i]);
        else if (strcmp(argv[i], "-w") == 0)
            warmup = atol(argv[++i]);
        else if (strcmp(argv[i], "-o") == 0)
            out = argv[++i];
        else if (strcmp(argv[i], "-r") == 0)
            remove_path = argv[++i];
        else
            return usage();
    }
    if (i >= argc || iterations < 1 || warmup < 0)
        return usage();

    /* Split the rest at each "--" into commands. */
    char **commands[MAX_COMMANDS];
    int ncommands = 0;
    for (; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0) {
            argv[i] = NULL; /* ends the previous command */
            if (ncommands == MAX_COMMANDS || i + 1 >= argc || strcmp(argv[i + 1], "--") == 0)
                return usage();
            commands[ncommands++] = &argv[i + 1];
        }
    }

    int out_fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out_fd < 0) {
        fprintf(stderr, "launch: %s: %s\n", out, strerror(errno));
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);

    long long *times = malloc(sizeof *times * (size_t)iterations);
    if (!times) {
        perror("launch: malloc");
        return 2;
    }
    for (long it = -warmup; it < iterations; it++) {
        if (remove_path)
            unlink(remove_path);
        long long iteration_start = now_ns();
        for (int c = 0; c < ncommands; c++) {
            char *const *cmd = commands[c];
            pid_t pid;
            int status;
            int err = posix_spawn(&pid, cmd[0], &actions, NULL, cmd, environ);
            if (err != 0) {
                fprintf(stderr, "launch: %s: %s\n", cmd[0], strerror(err));
                return 1;
            }
            if (waitpid(pid, &status, 0) < 0) {
                perror("launch: waitpid");
                return 1;
            }
            if (check_status(cmd, status))
                return 1;
        }
        if (it >= 0)
            times[it] = now_ns() - iteration_start;
    }
    qsort(times, (size_t)iterations, sizeof *times, compare_ll);
    long long median = iterations % 2 ? times[iterations / 2]
                                      : (times[iterations / 2 - 1] + times[iterations / 2]) / 2;
    printf("%lld\n", median);
    return 0;
}
