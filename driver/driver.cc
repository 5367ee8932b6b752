// The main routine of mavo-ar, mavo-nm and mavo-ranlib: finds the link-time
// optimisation plug-in and the real tool, and runs the tool with "--plugin"
// and the plug-in's path in front of the user's arguments. The three programs
// are this one source built with different values below.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/driver_args.h"
#include "pex/pex.h"
#include "search/search_list.h"
#include "search/trace.h"
#include "support/join.h"
#include "support/relocate.h"

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
static const char *tool_program_name;
static const char *command_line;
static bool tracing;

// `kind` is "plugin" or "binary".
[[noreturn]] static void cannot_find(const char *program_name, const char *kind, const char *name)
{
    fprintf(stderr, "%s: Cannot find %s '%s'\n", program_name, kind, name);
    exit(1);
}

[[noreturn]] static void usage()
{
    fputs(usage_text, stderr);
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
static const char *find_tool_along_path()
{
    search_list_from_env("PATH", &fallback_search_list);
    if (prefix_dir != nullptr)
        search_list_prepend(&fallback_search_list, prefix_dir);
    return search_list_find(&fallback_search_list, wrapped_tool, X_OK);
}

// The wrapper's exit status for the tool's raw wait status.
static int exit_status_of(const char *tool, int status)
{
    if (status == 0)
        return 0;
    if (WIFSIGNALED(status)) {
        int signal_number = WTERMSIG(status);
        fprintf(stderr, "%s terminated with signal %d [%s]%s\n", tool, signal_number,
                strsignal(signal_number), WCOREDUMP(status) ? ", core dumped" : "");
        return 1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 1;
}

static int run_tool()
{
    // A caller may have left SIGCHLD ignored, and the disposition outlives
    // exec: the system would then reap the tool by itself and its status be
    // lost. The tool gets the default back with everything else it inherits.
    signal(SIGCHLD, SIG_DFL);
    int status = 0;
    int error_number = 0;
    tool_program_name = join_strings("mavo-", tool_path, nullptr);
    const char *message = pex_run_once(PEX_FINAL | PEX_USE_PATH, tool_path, child_argv,
                                       tool_program_name, nullptr, nullptr, &status,
                                       &error_number);
    if (message != nullptr) {
        fprintf(stderr, "Error running %s: %s\n", tool_path, message);
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
    if (tracing)
        search_list_set_debug(true);

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
    tool_path = search_list_find(&tool_search_list, wrapped_tool, X_OK);
    if (tool_path == nullptr)
        tool_path = find_tool_along_path();
    if (tool_path == nullptr)
        cannot_find(program_name, "binary", wrapped_tool);

    if (applies_first_argument_rule)
        driver_apply_first_argument_rule(argc, argv);
    child_argv = driver_child_argv(tool_path, plugin_path, argc, argv);
    if (tracing) {
        command_line = driver_command_line(wrapper_name, version, child_argv);
        trace_write(command_line, strlen(command_line));
    }
    return run_tool();
}
