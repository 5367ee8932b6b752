// pex/unix/spawn.cc: starting a child with vfork, and learning over a
// close-on-exec pipe, before returning, whether its program started.
#include "pex/unix/pex_unix.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/alloc.h"
#include "support/error_text.h"

extern char **environ;

// What a child that could not start its program sends up the report pipe in
// one write. The step travels as an address: the child has not replaced its
// program image when it writes, so the constant means the same to the parent.
struct spawn_failure_report {
    const char *step;    // "dup2", "close", "execvp" or "execv"; null for none
    int error_number;    // errno right after the failed call
    int unused;          // fills the record, so no unset padding crosses the pipe
};
static_assert(sizeof(spawn_failure_report) == 16);

// Everything the child works from, made before vfork: after it the child
// must compute nothing that could allocate.
struct child_start {
    const char *program_name;       // borrowed from the pipeline
    const char *program_file;
    char *const *argv;
    char *const *script_argv;       // null, or the shell's vector (see script_argv_for)
    char **env;                     // null: keep environ
    bool use_path;
    bool stderr_into_stdout;
    int in_fd, out_fd, err_fd;      // 0, 1, 2: nothing to wire
    int fd_to_close;                // negative: none
    int report_read_fd;             // both -1 when there is no report pipe
    int report_write_fd;
    const int *default_signals;     // set back to their default before exec
    int default_signal_count;
    struct sigaction default_action;
    sigset_t caller_mask;           // the mask the program starts with
    spawn_failure_report report;    // the child's own; the parent never reads it
};

// Named by the caller through pex_set_child_default_signals.
static const int *child_default_signals;
static int child_default_signal_count;

void pex_set_child_default_signals(const int *signals, int count)
{
    child_default_signals = signals;
    child_default_signal_count = signals != nullptr && count > 0 ? count : 0;
}

// The shell fallback. POSIX has execvp hand a file that exec refuses with
// ENOEXEC (an executable without a "#!" line, or anything else the system
// cannot execute at all) to the shell as a script. glibc's and FreeBSD's
// execvp do so; musl's does not. run_child does it where execvp left it
// undone, in exactly one case: the searching exec (PEX_USE_PATH) of a name
// holding '/', which execvp runs as it stands, without a search, so the file
// exec refused is the one named. A program that starts its tools by path
// then runs the same on every C library.
//  - Not the non-searching exec: execv runs the very file it is given, as
//    POSIX's execv does, so ENOEXEC fails the start as the step "execv".
//  - Not a bare name: execvp looks it up along PATH itself, and only it
//    knows which file it found and had refused, so a bare name fares exactly
//    as under the C library's own execvp (glibc's runs the shell, musl's
//    fails with ENOEXEC). Searching again here would mean computing in the
//    vfork child, and could pick a file other than the one execvp tried.
// When the shell cannot be started either, the step is "execvp" with the
// shell's errno.
static constexpr char shell_path[] = "/bin/sh";

#ifdef PEX_UNIX_TEST_SEAMS
int (*pex_unix_vfork_refusal)() = nullptr;
unsigned (*pex_unix_sleep)(unsigned seconds) = sleep;
int (*pex_unix_parent_close)(int fd) = close;

// True, with errno set as a failed vfork leaves it, when the test refuses
// this attempt.
static bool vfork_refused()
{
    int refusal = pex_unix_vfork_refusal != nullptr ? pex_unix_vfork_refusal() : 0;
    if (refusal != 0)
        errno = refusal;
    return refusal != 0;
}

static unsigned retry_sleep(unsigned seconds)
{
    return pex_unix_sleep(seconds);
}

static int parent_close(int fd)
{
    return pex_unix_parent_close(fd);
}
#else
static bool vfork_refused()
{
    return false;
}

static unsigned retry_sleep(unsigned seconds)
{
    return sleep(seconds);
}

static int parent_close(int fd)
{
    return close(fd);
}
#endif

// The child side of vfork, from here to spawn_child. Until exec or _exit the
// child runs in the parent's memory, on the parent's stack below the frame of
// spawn_child, with the parent suspended. Only close, dup2, write, strlen,
// error_text (static buffer, no allocation), sigaction, sigprocmask, exec and
// _exit run here: no
// malloc, no stdio, no C++ object that needs destroying, no exit handlers,
// and never a return into spawn_child, whose frame the parent resumes.

// One piece of the fallback message on the child's standard error; true when
// the write failed. Short writes are not retried: the message is a courtesy.
static bool child_write_failed(const char *text)
{
    return write(2, text, strlen(text)) < 0;
}

// Ends the child after a failed step. Status 255 (-1), or 254 (-2) when even
// the fallback message could not be written.
[[noreturn]] static void child_fail(child_start *child, const char *step)
{
    child->report = {step, errno, 0};
    // Sixteen bytes are far below PIPE_BUF, so the parent gets them whole.
    if (child->report_write_fd >= 0 &&
        write(child->report_write_fd, &child->report, sizeof child->report) ==
            static_cast<ssize_t>(sizeof child->report))
        _exit(-1);
    // No report pipe, or it would not take the record: the parent will see
    // a started child, so tell the user directly, as eight plain writes.
    int failures = 0;
    failures += child_write_failed(child->program_name);
    failures += child_write_failed(": error trying to exec '");
    failures += child_write_failed(child->program_file);
    failures += child_write_failed("': ");
    failures += child_write_failed(step);
    failures += child_write_failed(": ");
    failures += child_write_failed(error_text(child->report.error_number));
    failures += child_write_failed("\n");
    _exit(failures != 0 ? -2 : -1);
}

// Makes `from` the child's descriptor `to`; a failure ends the child.
static void child_move_fd(child_start *child, int from, int to)
{
    if (dup2(from, to) < 0)
        child_fail(child, "dup2");
    if (close(from) < 0)
        child_fail(child, "close");
}

// Kept out of line: its spills then go to a frame of its own below
// spawn_child's, never into slots of spawn_child that the parent resumes with.
[[noreturn, gnu::noinline]] static void run_child(child_start *child)
{
    if (child->report_read_fd >= 0)
        close(child->report_read_fd);
    if (child->in_fd != 0)
        child_move_fd(child, child->in_fd, 0);
    if (child->out_fd != 1)
        child_move_fd(child, child->out_fd, 1);
    if (child->err_fd != 2)
        child_move_fd(child, child->err_fd, 2);
    if (child->fd_to_close >= 0 && close(child->fd_to_close) < 0)
        child_fail(child, "close");
    if (child->stderr_into_stdout && dup2(1, 2) < 0)
        child_fail(child, "dup2");
    // Every signal is blocked since before vfork, so none of the caller's
    // handlers can run here; from exec on the handled ones are at their
    // default, and the program starts with the caller's mask.
    for (int i = 0; i < child->default_signal_count; i++)
        if (sigaction(child->default_signals[i], &child->default_action, nullptr) < 0)
            child_fail(child, "sigaction");
    if (sigprocmask(SIG_SETMASK, &child->caller_mask, nullptr) < 0)
        child_fail(child, "sigprocmask");
    // The parent puts its own pointer back as soon as it resumes.
    if (child->env != nullptr)
        environ = child->env;
    if (child->use_path) {
        execvp(child->program_file, child->argv);
        if (errno == ENOEXEC && child->script_argv != nullptr)
            execv(shell_path, child->script_argv);
        child_fail(child, "execvp");
    }
    execv(child->program_file, child->argv);
    child_fail(child, "execv");
}

// End of the child side.

// The vector that runs `program_file` as a shell script: "/bin/sh", the file,
// then argv[1] onwards, as glibc's execvp builds it. The file takes argv[0]'s
// place because the shell reads its first operand as the script and sets $0
// to that operand: there is no way to hand argv[0] on, so the script sees
// its own path as $0, and "/bin/sh" is the shell's own argv[0]. A new block
// the caller frees; null unless the stage runs execvp on a name holding '/'
// (see shell_path for why only then).
static char **script_argv_for(bool use_path, const char *program_file, char *const *argv)
{
    if (!use_path || strchr(program_file, '/') == nullptr)
        return nullptr;
    size_t count = 0;
    while (argv[count] != nullptr)
        count++;
    // The shell and the file take argv[0]'s place; then the terminator.
    char **vector = static_cast<char **>(calloc_or_die(count + 3, sizeof *vector));
    vector[0] = const_cast<char *>(shell_path);
    vector[1] = const_cast<char *>(program_file);
    for (size_t i = 1; i < count; i++)
        vector[i + 1] = argv[i];
    return vector;
}

// Fills `report` from the pipe only when a whole record arrives. End of file
// with nothing is a started program. An error, or a record cut short, counts
// as no report: a child whose write did not go through whole has printed its
// failure on its standard error instead, and its exit status tells the wait.
static void read_report(int fd, spawn_failure_report *report)
{
    spawn_failure_report received = {};
    size_t have = 0;
    while (have < sizeof received) {
        ssize_t got = read(fd, reinterpret_cast<char *>(&received) + have, sizeof received - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        have += static_cast<size_t>(got);
    }
    *report = received;
}

// Waits for a child whose id the caller will never learn, so that it does not
// stay behind as a zombie for the rest of the caller's life.
static void reap(pid_t pid)
{
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Closes the parent's copy of what the child now holds as `standard_fd`,
// keeping the errno of the first close that fails.
static void close_parent_end(int fd, int standard_fd, int *first_errno)
{
    if (fd != standard_fd && parent_close(fd) < 0 && *first_errno == 0)
        *first_errno = errno;
}

// All three are closed even when one fails, so none is left to the caller.
static pid_t close_parent_ends(pid_t pid, int in_fd, int out_fd, int err_fd,
                               const char **message, int *error_number)
{
    int close_errno = 0;
    close_parent_end(in_fd, 0, &close_errno);
    close_parent_end(out_fd, 1, &close_errno);
    close_parent_end(err_fd, 2, &close_errno);
    if (close_errno == 0)
        return pid;
    *message = "close";
    *error_number = close_errno;
    // The start is reported failed, so nobody could ever wait for this
    // program: end it now rather than leave it unsupervised, then a zombie.
    kill(pid, SIGKILL);
    reap(pid);
    return pex_spawn_failed_fds_closed;
}

static void close_report_pipe(const int *report_pipe)
{
    if (report_pipe != nullptr) {
        close(report_pipe[0]);
        close(report_pipe[1]);
    }
}

// The parent's side once the child has exec'd or ended: what the report
// pipe (null when there was none) says of the start.
static pid_t outcome_of_start(pid_t pid, int *report_pipe, int in_fd, int out_fd, int err_fd,
                              const char **message, int *error_number)
{
    // Ours, filled only from the pipe. With the write end closed here and in
    // the exec, end of file with no data means the program is running.
    spawn_failure_report report = {};
    if (report_pipe != nullptr) {
        close(report_pipe[1]);
        read_report(report_pipe[0], &report);
        close(report_pipe[0]);
    }
    if (report.step != nullptr) {
        // The child has called _exit after its report.
        reap(pid);
        *message = report.step;
        *error_number = report.error_number;
        return pex_spawn_failed;
    }
    return close_parent_ends(pid, in_fd, out_fd, err_fd, message, error_number);
}

pid_t pex_unix_spawn_child(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                           const char *program_file, const char *const *argv,
                           const char *const *env, int in_fd, int out_fd, int err_fd,
                           int fd_to_close, const char **message, int *error_number)
{
    // Its write end is kept off 0, 1 and 2: wiring the child's standard
    // descriptors would replace it there, and a later failure report would go
    // into the program's stream while the parent saw a clean start. Read
    // again after vfork: the child shares this frame, so not in a register.
    int report_pipe[2] = {-1, -1};
    volatile bool have_report_pipe = pex_unix_cloexec_pipe(report_pipe) == 0;
    char **volatile saved_environ = environ;
    char **volatile script_argv =
        script_argv_for(pex_has(stage_flags, PEX_USE_PATH), program_file, const_cast<char *const *>(argv));
    volatile unsigned sleep_seconds = 1;
    volatile int attempts = 0;

    child_start child = {
        .program_name = pipeline->program_name,
        .program_file = program_file,
        .argv = const_cast<char *const *>(argv),
        .script_argv = script_argv,
        .env = const_cast<char **>(env),
        .use_path = pex_has(stage_flags, PEX_USE_PATH),
        .stderr_into_stdout = pex_has(stage_flags, PEX_STDERR_INTO_STDOUT),
        .in_fd = in_fd,
        .out_fd = out_fd,
        .err_fd = err_fd,
        .fd_to_close = fd_to_close,
        .report_read_fd = have_report_pipe ? report_pipe[0] : -1,
        .report_write_fd = have_report_pipe ? report_pipe[1] : -1,
        .default_signals = child_default_signals,
        .default_signal_count = child_default_signal_count,
        .default_action = {},
        .caller_mask = {},
        .report = {},
    };
    child.default_action.sa_handler = SIG_DFL;
    sigemptyset(&child.default_action.sa_mask);
    sigset_t all_signals;
    sigfillset(&all_signals);

    // Refused when the system is short of processes: wait 1, 2, 4, then 8
    // seconds for it to recover, the last before giving up.
    pid_t pid;
    int vfork_errno = 0;
    do {
        // Blocked in the parent only around vfork: a signal that comes in the
        // meantime is delivered here once the child has exec'd or ended.
        sigprocmask(SIG_SETMASK, &all_signals, &child.caller_mask);
        pid = vfork_refused() ? -1 : vfork();
        if (pid == 0)
            run_child(&child);
        vfork_errno = errno;   // meaningful only when vfork failed
        // Parent. First, because the child may have replaced it in our memory.
        environ = saved_environ;
        sigprocmask(SIG_SETMASK, &child.caller_mask, nullptr);
        if (pid > 0)
            break;
        retry_sleep(sleep_seconds);
        sleep_seconds = sleep_seconds * 2;
        attempts = attempts + 1;
    } while (attempts <= 3);

    // The child has exec'd or ended by now (or runs on a copy of our memory).
    free(script_argv);
    if (pid < 0) {
        close_report_pipe(have_report_pipe ? report_pipe : nullptr);
        *message = "vfork";
        *error_number = vfork_errno;
        return pex_spawn_failed;
    }
    return outcome_of_start(pid, have_report_pipe ? report_pipe : nullptr, in_fd, out_fd, err_fd,
                            message, error_number);
}
