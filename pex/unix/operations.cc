// pex/unix/operations.cc: the Unix back end's table, its creation operation,
// and its operations other than spawn_child: thin wrappers whose flags are
// settled here, failures passed through with errno as the call left it.
#include "pex/unix/pex_unix.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Binary and text are the same on this platform: every `binary` is ignored.

static int unix_open_input(pex_pipeline *, const char *name, bool)
{
    return open(name, O_RDONLY);
}

// Mode 0666, so that the creation mask alone decides the permissions.
static int unix_open_output(pex_pipeline *, const char *name, bool, bool append)
{
    int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
    return open(name, flags, 0666);
}

static int unix_close_fd(pex_pipeline *, int fd)
{
    return close(fd);
}

static void copy_times(const rusage *usage, pex_child_times *times)
{
    times->user_seconds = usage->ru_utime.tv_sec;
    times->user_microseconds = usage->ru_utime.tv_usec;
    times->system_seconds = usage->ru_stime.tv_sec;
    times->system_microseconds = usage->ru_stime.tv_usec;
}

// One wait, not repeated on EINTR: a caller's signal handler may be how it
// breaks off a wait for a child that does not end.
static int unix_wait_child(pex_pipeline *, pid_t child_id, int *status, pex_child_times *times,
                           bool kill_first, const char **message, int *error_number)
{
    if (kill_first)
        kill(child_id, SIGTERM);
    pid_t waited;
    if (times != nullptr) {
        rusage usage;
        waited = wait4(child_id, status, 0, &usage);
        if (waited >= 0)
            copy_times(&usage, times);
    } else {
        waited = waitpid(child_id, status, 0);
    }
    if (waited < 0) {
        *message = "wait";
        *error_number = errno;
        return -1;
    }
    return 0;
}

int pex_unix_cloexec_pipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    for (int end = 0; end < 2; end++) {
        if (fds[end] > 2)
            continue;
        int moved = fcntl(fds[end], F_DUPFD_CLOEXEC, 3);
        int saved_errno = errno;
        close(fds[end]);
        if (moved < 0) {
            close(fds[1 - end]);
            errno = saved_errno;
            return -1;
        }
        fds[end] = moved;
    }
    return 0;
}

// Close-on-exec, so that no child holds an end that is not its own: one that
// kept the read end of its own error pipe would block on it, full, once the
// caller stopped reading, and any other holder of a read end keeps a writer
// from its SIGPIPE. spawn_child gives the child its ends on 0, 1 and 2, where
// they are inheritable.
static int unix_make_pipe(pex_pipeline *, int fds[2], bool)
{
    return pex_unix_cloexec_pipe(fds);
}

// The descriptors fdopen_read is given come from make_pipe: already
// close-on-exec.
static FILE *unix_fdopen_read(pex_pipeline *, int fd, bool)
{
    return fdopen(fd, "r");
}

// Close-on-exec first: a later child holding the write end would keep the
// reader from ever seeing end of file.
static FILE *unix_fdopen_write(pex_pipeline *, int fd, bool)
{
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0)
        return nullptr;
    return fdopen(fd, "w");
}

static void unix_cleanup_backend(pex_pipeline *)
{
}

const pex_backend pex_unix_backend = {
    .open_input = unix_open_input,
    .open_output = unix_open_output,
    .spawn_child = pex_unix_spawn_child,
    .close_fd = unix_close_fd,
    .wait_child = unix_wait_child,
    .make_pipe = unix_make_pipe,
    .fdopen_read = unix_fdopen_read,
    .fdopen_write = unix_fdopen_write,
    .cleanup_backend = unix_cleanup_backend,
};

pex_pipeline *pex_create(pex_pipeline_flags flags, const char *program_name, const char *temp_stem)
{
    return pex_create_common(flags, program_name, temp_stem, &pex_unix_backend);
}
