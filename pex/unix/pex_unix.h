// pex/unix/pex_unix.h: the Unix back end of the process-execution library.
#pragma once

#include "pex/pex.h"

// Constant, shared by every pipeline; all nine slots are filled.
extern const pex_backend pex_unix_backend;

// The spawn_child slot (spawn.cc): starts `program_file` with vfork and exec
// and returns once the exec has succeeded or failed. The result:
// - the child's id: the program runs; in_fd, out_fd and err_fd, those that
//   are not 0, 1 and 2, have been closed here;
// - pex_spawn_failed, with the failed step ("vfork", "dup2", "close",
//   "sigaction", "sigprocmask", "execv" or "execvp") and its errno: no child
//   is left, and the three descriptors are still open and the caller's;
// - pex_spawn_failed_fds_closed, with "close" and its errno: closing the
//   three failed after the program had started, so it has been ended and
//   waited for; none of the three is the caller's any more.
pid_t pex_unix_spawn_child(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                           const char *program_file, const char *const *argv,
                           const char *const *env, int in_fd, int out_fd, int err_fd,
                           int fd_to_close, const char **message, int *error_number);

// A pipe with both ends close-on-exec and above 2 (operations.cc): a child is
// given its ends by dup2 onto 0, 1 or 2, and an end already there would be
// taken for the caller's own stream and lost at exec. -1 with errno on failure.
int pex_unix_cloexec_pipe(int fds[2]);

#ifdef PEX_UNIX_TEST_SEAMS
// Only in the library built for the tests; the programs call vfork, sleep and
// close directly. Null or the real call by default.
// Asked before each vfork attempt: an errno to refuse that attempt with, or 0
// to call the real vfork. With pex_unix_sleep, shows the four attempts and the
// 15 seconds of back-off without waiting.
extern int (*pex_unix_vfork_refusal)();
extern unsigned (*pex_unix_sleep)(unsigned seconds);
// The parent's closes of in_fd, out_fd and err_fd after a start, so that a
// failing one can be shown.
extern int (*pex_unix_parent_close)(int fd);
#endif
