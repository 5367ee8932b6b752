// The main routine of mavo-ar, mavo-nm and mavo-ranlib: finds the link-time
// optimisation plug-in and the real tool, and runs the tool with "--plugin"
// and the plug-in's path in front of the user's arguments. The three programs
// are this one source built with different values below.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/driver_args.h"
#include "pex/pex.h"
#include "search/search_list.h"
#include "support/error_text.h"
#include "support/join.h"
#include "support/relocate.h"
#include "support/stderr_write.h"

static constexpr const char wrapper_name[] = WRAPPER_NAME;
static constexpr const char wrapped_tool[] = WRAPPED_TOOL;
static constexpr bool applies_first_argument_rule = FIRST_ARGUMENT_RULE;
static constexpr const char configured_bin_dir[] = CONFIGURED_BIN_DIR;
static constexpr const char configured_exec_dir[] = CONFIGURED_EXEC_DIR;
static constexpr const char configured_libexec_dir[] = CONFIGURED_LIBEXEC_DIR;
static constexpr const char target_triplet[] = TARGET_TRIPLET;
static constexpr const char compiler_version[] = COMPILER_VERSION;
static constexpr const char tool_dir_climb[] = TOOL_DIR_CLIMB;
static constexpr const char plugin_file_name[] = PLUGIN_FILE_NAME;
static constexpr const char version[] = MAVO_VERSION;

// Not in POSIX, though FreeBSD and glibc have it: where it is missing, no
// core is reported.
#ifndef WCOREDUMP
#define WCOREDUMP(status) false
#endif

// The same text in all three programs.
static constexpr const char usage_text[] = "Usage: mavo-ar [-B prefix] ar arguments ...\n";

// Set on the way through main and never freed: the process ends soon after.
// Everything main allocates is kept here, so that a leak checker can tell
// these from real leaks.
static const char *locating_name;
static const char *own_location;
static const char *self_location;
static const char *exec_prefix_dir;
static const char *libexec_prefix_dir;
static const char *tool_dir;
static const char *versioned_libexec_dir;
static const char *prefix_dir;
static search_list tool_search_list;
static search_list fallback_search_list;
static const char *plugin_path;
static const char *tool_path;
static const char **child_argv;
static const char *child_message_prefix;
static const char *command_line;
static bool tracing;

// What a job runner or a user at the terminal sends to stop a job. While the
// tool runs, the program passes each of these on to it and, once the tool
// has ended by one of them, ends by it too: its caller then sees what it
// would have seen calling the tool directly, and nothing is left running.
static constexpr int passed_on_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
static_assert(SIGHUP < 32 && SIGINT < 32 && SIGQUIT < 32 && SIGTERM < 32);
// The signals the program catches, and SIGPIPE while it traces: the tool
// starts with each at its default.
static int child_default_signals[sizeof passed_on_signals / sizeof passed_on_signals[0] + 1];
static int child_default_signal_count;
static sigset_t caught_signals;
// Shared with the handler. The main line writes tool_pid with the caught
// signals blocked, so that a signal is passed on exactly once.
static_assert(sizeof(pid_t) <= sizeof(sig_atomic_t));
static volatile sig_atomic_t tool_pid;           // 0 while no tool runs
static volatile sig_atomic_t received_signals;   // one bit per signal number

// `kind` is "plugin" or "binary".
[[noreturn]] static void cannot_find(const char *program_name, const char *kind, const char *name)
{
    stderr_printf("%s: Cannot find %s '%s'\n", program_name, kind, name);
    exit(1);
}

[[noreturn]] static void usage()
{
    stderr_write(usage_text, sizeof usage_text - 1);
    exit(1);
}

// `configured` as it lies for the program at `location`.
static const char *relocated(const char *location, const char *configured)
{
    const char *moved = relocate_located_prefix(location, configured_bin_dir, configured);
    return moved != nullptr ? moved : configured;
}

// The tool along PATH, with a -B prefix tried first. The list is made only
// here, when the installation lacks the tool: an installed program, which
// finds its tool at once, then pays nothing for PATH's elements. It comes
// out as if it had been made at the start, since PATH cannot change on the
// way.
static const char *find_tool_along_path(const struct stat *self)
{
    search_list_from_env("PATH", &fallback_search_list);
    if (prefix_dir != nullptr)
        search_list_prepend(&fallback_search_list, prefix_dir);
    return search_list_find_other_than(&fallback_search_list, wrapped_tool, X_OK, self);
}

// The tool, never the program itself. Users link a name such as "ar" to the
// program in a directory early on PATH, so that build systems calling plain
// "ar" get the plug-in; were that link taken for the tool, the program would
// start itself again and again, each time with one more "--plugin", until
// the system ran out of processes. It is told by the file, not by the name,
// so a tool that merely shares a name with the program is found as before.
static const char *find_tool(const char *own_name)
{
    // With MAVO_EXEC_PREFIX the program located its installation by another
    // name than its own.
    self_location = locating_name == own_name ? own_location : locate_program(own_name);
    struct stat self_info;
    const struct stat *self =
        self_location != nullptr && stat(self_location, &self_info) == 0 ? &self_info : nullptr;
    const char *found = search_list_find_other_than(&tool_search_list, wrapped_tool, X_OK, self);
    return found != nullptr ? found : find_tool_along_path(self);
}

// Tracing writes to standard error, which may be a pipe whose reader has
// gone; the trace is then lost, but the outcome must not change. So SIGPIPE
// is ignored while the program traces, and the tool gets the caller's
// disposition back: the default is restored in the child, and an ignored
// SIGPIPE stays ignored across exec. (A caller's handler never survives the
// exec that started this program.)
static void ignore_sigpipe_while_tracing()
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction callers;
    if (sigaction(SIGPIPE, &ignore, &callers) == 0 && callers.sa_handler == SIG_DFL)
        child_default_signals[child_default_signal_count++] = SIGPIPE;
}

static void pass_on(int signal_number)
{
    int saved_errno = errno;
    received_signals = received_signals | (1 << signal_number);
    pid_t pid = tool_pid;
    if (pid > 0)
        kill(pid, signal_number);
    errno = saved_errno;
}

// Installs pass_on for every signal of passed_on_signals that the caller has
// not left ignored, and has the library set those back to their default in
// the tool. A signal that comes before the tool exists is passed on as soon
// as it does.
static void catch_signals()
{
    struct sigaction action = {};
    action.sa_handler = pass_on;
    // The wait for the tool goes on after a signal has been passed on.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal_number : passed_on_signals)
        sigaddset(&action.sa_mask, signal_number);
    sigemptyset(&caught_signals);
    for (int signal_number : passed_on_signals) {
        struct sigaction current;
        if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;
        if (sigaction(signal_number, &action, nullptr) != 0)
            continue;
        sigaddset(&caught_signals, signal_number);
        child_default_signals[child_default_signal_count++] = signal_number;
    }
    pex_set_child_default_signals(child_default_signals, child_default_signal_count);
}

// From now on pass_on sends to `pid`; what came before goes there now.
static void pass_signals_to(pid_t pid)
{
    sigset_t saved;
    sigprocmask(SIG_BLOCK, &caught_signals, &saved);
    tool_pid = pid;
    for (int signal_number : passed_on_signals)
        if ((received_signals & (1 << signal_number)) != 0)
            kill(pid, signal_number);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

static bool was_received(int signal_number)
{
    return signal_number < 32 && (received_signals & (1 << signal_number)) != 0;
}

// Ends the program by `signal_number`, as the tool ended. Without a core
// file: the tool's, if it left one, is the one that tells something.
[[noreturn]] static void end_by_signal(int signal_number)
{
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(signal_number, SIG_DFL);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signal_number);
    sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    raise(signal_number);
    _exit(1);   // not reached: the signal's default is to end the process
}

// The first signal received, or 0.
static int first_received_signal()
{
    for (int signal_number : passed_on_signals)
        if (was_received(signal_number))
            return signal_number;
    return 0;
}

// The wrapper's exit status for the tool's raw wait status.
static int exit_status_of(const char *tool, int status)
{
    if (status == 0)
        return 0;
    if (WIFSIGNALED(status)) {
        int signal_number = WTERMSIG(status);
        if (was_received(signal_number))
            end_by_signal(signal_number);
        stderr_printf("%s terminated with signal %d [%s]%s\n", tool, signal_number,
                      strsignal(signal_number), WCOREDUMP(status) ? ", core dumped" : "");
        return 1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 1;
}

// The one-shot run, taken apart so that signals can be passed on to the
// tool once it exists.
static const char *run_and_wait(int *status, int *error_number)
{
    pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, child_message_prefix, nullptr);
    const char *message = pex_run_stage(pipeline, PEX_FINAL | PEX_USE_PATH, tool_path, child_argv,
                                        nullptr, nullptr, error_number);
    if (message == nullptr) {
        pass_signals_to(pipeline->child_ids[0]);
        if (!pex_get_status(pipeline, 1, status)) {
            *error_number = 0;
            message = "pex_get_status failed";
        }
        tool_pid = 0;
    }
    pex_release(pipeline);
    return message;
}

static int run_tool()
{
    // A caller may have left SIGCHLD ignored, and the disposition outlives
    // exec: the system would then reap the tool by itself and its status be
    // lost. The tool gets the default back with everything else it inherits.
    signal(SIGCHLD, SIG_DFL);
    catch_signals();
    // What the child's own message starts with when it cannot even report a
    // failed start to the program: "mavo-" and the tool's path.
    child_message_prefix = join_strings("mavo-", tool_path, nullptr);
    int status = 0;
    int error_number = 0;
    const char *message = run_and_wait(&status, &error_number);
    if (message != nullptr) {
        // A signal before the tool existed ends the program as it would
        // have ended it uncaught.
        if (first_received_signal() != 0)
            end_by_signal(first_received_signal());
        stderr_printf("Error running %s: %s\n", tool_path, message);
        if (tracing && error_number != 0)
            stderr_printf("%s %s: %s: %s\n", wrapper_name, version, message,
                          error_text(error_number));
        return 1;
    }
    return exit_status_of(tool_path, status);
}

int main(int argc, char **argv)
{
    // Any non-empty value shows what was searched and what runs; an unset or
    // empty one changes nothing.
    const char *trace = getenv("MAVO_TRACE");
    tracing = trace != nullptr && trace[0] != '\0';
    if (tracing) {
        ignore_sigpipe_while_tracing();
        search_list_set_debug(true);
    }

    argc = driver_argument_count(argc, argv);
    // Only a caller of execve can leave out the name. Messages still need
    // one; relocation goes without and keeps the configured directories.
    const char *own_name = argc > 0 ? argv[0] : nullptr;
    const char *program_name = own_name != nullptr ? own_name : wrapper_name;

    const char *exec_prefix = getenv("MAVO_EXEC_PREFIX");
    locating_name =
        exec_prefix != nullptr ? join_strings(exec_prefix, wrapper_name, nullptr) : own_name;
    // Found along PATH and resolved once for both directories: each step
    // costs system calls, resolving one per component of the location.
    own_location = locate_program(locating_name);
    exec_prefix_dir = relocated(own_location, configured_exec_dir);
    libexec_prefix_dir = relocated(own_location, configured_libexec_dir);

    // Each directory is one prefix, not a ':'-separated list: an installation
    // moved below a name holding ':' must not be cut into pieces, some of
    // them relative to the working directory.
    tool_dir = join_strings(exec_prefix_dir, target_triplet, "/", compiler_version, "/",
                            tool_dir_climb, target_triplet, "/bin/", nullptr);
    search_list_append(&tool_search_list, tool_dir);
    versioned_libexec_dir =
        join_strings(libexec_prefix_dir, target_triplet, "/", compiler_version, "/", nullptr);
    search_list_append(&tool_search_list, versioned_libexec_dir);

    const char *prefix = nullptr;
    switch (driver_take_prefix_option(&argc, argv, &prefix)) {
    case prefix_option_absent:
        break;
    case prefix_option_missing_value:
        usage();
    case prefix_option_taken:
        prefix_dir = driver_prefix_directory(prefix);
        search_list_prepend(&tool_search_list, prefix_dir);
        break;
    }

    plugin_path = search_list_find(&tool_search_list, plugin_file_name, R_OK);
    if (plugin_path == nullptr)
        cannot_find(program_name, "plugin", plugin_file_name);
    tool_path = find_tool(own_name);
    if (tool_path == nullptr)
        cannot_find(program_name, "binary", wrapped_tool);

    if (applies_first_argument_rule)
        driver_apply_first_argument_rule(argc, argv);
    child_argv = driver_child_argv(tool_path, plugin_path, argc, argv);
    if (tracing) {
        command_line = driver_command_line(wrapper_name, version, child_argv);
        stderr_write(command_line, strlen(command_line));
    }
    return run_tool();
}
