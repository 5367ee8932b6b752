// A helper for the tests, built and linked as the programs are, with the
// same product libraries (their musl copies in the musl build), so that it
// shows what the programs' back end and C library do, not what the test
// binary's C library would.
// Usage: mavo_program_probe signal|error N
//        mavo_program_probe execv|execvp|libc-execvp FILE ARGV0 [ARG...]
//   signal, error  print, without a newline, the C library's own text for
//                  signal N (strsignal) or error number N (strerror)
//   execv        start FILE through the back end's spawn_child, without
//                PEX_USE_PATH
//   execvp       the same with PEX_USE_PATH
//   libc-execvp  start FILE through the C library's own execvp, in a forked
//                child
// A FILE started gets the vector ARGV0 ARG... and this probe's standard
// streams and environment. When it has ended the probe prints one line on
// standard output: "exited N" or "signalled N", or "failed STEP ERRNO"
// (ERRNO as a number) when it did not start; STEP is the back end's, or
// "execvp" for libc-execvp.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pex/unix/pex_unix.h"

static int report_end(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            perror("mavo_program_probe: waitpid");
            return 1;
        }
    }
    if (WIFEXITED(status))
        printf("exited %d\n", WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        printf("signalled %d\n", WTERMSIG(status));
    else
        printf("status %d\n", status);
    return 0;
}

static int report_failure(const char *step, int error_number)
{
    printf("failed %s %d\n", step, error_number);
    return 0;
}

static int through_back_end(bool use_path, const char *file, char **argv)
{
    pex_pipeline pipeline = {};
    pipeline.program_name = "mavo_program_probe";
    pipeline.backend = &pex_unix_backend;
    const char *message = nullptr;
    int error_number = 0;
    pid_t pid = pex_unix_spawn_child(&pipeline, use_path ? PEX_USE_PATH : PEX_NO_STAGE_FLAGS, file, argv,
                                     nullptr, 0, 1, 2, -1, &message, &error_number);
    if (pid < 0)
        return report_failure(message, error_number);
    return report_end(pid);
}

// The errno of a failed execvp comes back over a close-on-exec pipe.
static int through_libc(const char *file, char **argv)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        perror("mavo_program_probe: pipe2");
        return 1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("mavo_program_probe: fork");
        return 1;
    }
    if (pid == 0) {
        close(fds[0]);
        execvp(file, argv);
        int error_number = errno;
        ssize_t written = write(fds[1], &error_number, sizeof error_number);
        _exit(written == static_cast<ssize_t>(sizeof error_number) ? 127 : 126);
    }
    close(fds[1]);
    int error_number = 0;
    ssize_t got;
    while ((got = read(fds[0], &error_number, sizeof error_number)) < 0 && errno == EINTR) {
    }
    close(fds[0]);
    if (got == static_cast<ssize_t>(sizeof error_number)) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return report_failure("execvp", error_number);
    }
    return report_end(pid);
}

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "";
    if (argc == 3 && strcmp(mode, "signal") == 0) {
        fputs(strsignal(atoi(argv[2])), stdout);
        return 0;
    }
    if (argc == 3 && strcmp(mode, "error") == 0) {
        fputs(strerror(atoi(argv[2])), stdout);
        return 0;
    }
    bool starts = strcmp(mode, "execv") == 0 || strcmp(mode, "execvp") == 0 || strcmp(mode, "libc-execvp") == 0;
    if (!starts || argc < 4) {
        fputs("usage: mavo_program_probe signal|error N\n"
              "       mavo_program_probe execv|execvp|libc-execvp FILE ARGV0 [ARG...]\n",
              stderr);
        return 2;
    }
    const char *file = argv[2];
    char **vector = argv + 3;
    // Nothing of ours may be left in a buffer for the child to inherit.
    fflush(stdout);
    if (strcmp(mode, "libc-execvp") == 0)
        return through_libc(file, vector);
    return through_back_end(strcmp(mode, "execvp") == 0, file, vector);
}
