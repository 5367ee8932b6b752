// pex/pex.h: pipelines of child processes connected by temporary files or
// pipes, with status and time collection.
//
// Failures are a constant message naming the failed step ("pipe", "vfork",
// "wait", ...) plus an error number stored through `error_number`: errno where
// a system call failed, 0 where the library refused. Stream operations return
// null with errno set instead. Running out of memory ends the process.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include "support/type_tests.h"

// Flag words. The two kinds are distinct types, so a stage flag cannot be
// passed where a pipeline flag belongs.
enum class pex_pipeline_flags : uint32_t {};
enum class pex_stage_flags : uint32_t {};

template <typename Flags>
concept pex_flag_word = types_are_same<Flags, pex_pipeline_flags> || types_are_same<Flags, pex_stage_flags>;

template <pex_flag_word Flags>
constexpr Flags operator|(Flags a, Flags b) { return Flags(uint32_t(a) | uint32_t(b)); }
template <pex_flag_word Flags>
constexpr Flags operator&(Flags a, Flags b) { return Flags(uint32_t(a) & uint32_t(b)); }
template <pex_flag_word Flags>
constexpr Flags operator~(Flags a) { return Flags(~uint32_t(a)); }
template <pex_flag_word Flags>
constexpr Flags &operator|=(Flags &a, Flags b) { return a = a | b; }
template <pex_flag_word Flags>
constexpr Flags &operator&=(Flags &a, Flags b) { return a = a & b; }
// True when `flags` holds any bit of `wanted`.
template <pex_flag_word Flags>
constexpr bool pex_has(Flags flags, Flags wanted) { return (uint32_t(flags) & uint32_t(wanted)) != 0; }

// Pipeline flags, given at creation.
inline constexpr pex_pipeline_flags PEX_NO_PIPELINE_FLAGS{0};
inline constexpr pex_pipeline_flags PEX_KEEP_TIMES{0x1};   // collect CPU times too
inline constexpr pex_pipeline_flags PEX_PIPES{0x2};        // stages connected by pipes, not files
inline constexpr pex_pipeline_flags PEX_KEEP_TEMPS{0x4};   // leave intermediate files at release

// Stage flags, given with each launch and handed on to spawn_child.
inline constexpr pex_stage_flags PEX_NO_STAGE_FLAGS{0};
inline constexpr pex_stage_flags PEX_FINAL{0x1};
inline constexpr pex_stage_flags PEX_USE_PATH{0x2};
inline constexpr pex_stage_flags PEX_OUTNAME_SUFFIX{0x4};
inline constexpr pex_stage_flags PEX_STDERR_INTO_STDOUT{0x8};
inline constexpr pex_stage_flags PEX_BINARY_IN{0x10};
inline constexpr pex_stage_flags PEX_BINARY_OUT{0x20};
inline constexpr pex_stage_flags PEX_STDERR_TO_PIPE{0x40};
inline constexpr pex_stage_flags PEX_BINARY_ERR{0x80};
inline constexpr pex_stage_flags PEX_APPEND_OUT{0x100};
inline constexpr pex_stage_flags PEX_APPEND_ERR{0x200};

// CPU time one child consumed; copied out to callers whole.
struct pex_child_times {
    int64_t user_seconds;
    int64_t user_microseconds;
    int64_t system_seconds;
    int64_t system_microseconds;
};

struct pex_backend;

// One allocation, freed by pex_release with everything marked owned.
struct pex_pipeline {
    pex_pipeline_flags flags;
    const char *program_name;     // borrowed: prefix of the child's start-failure message
    const char *temp_stem;        // borrowed, may be null: base of output file names
    int pending_in_fd;            // next stage's input; -1 once a final stage is set up
    char *pending_in_name;        // next stage's input file; wins over pending_in_fd;
                                  // never the caller's own string
    int pending_in_name_owned;    // 1 when pending_in_name is ours to free
    int err_pipe_fd;              // read end of a PEX_STDERR_TO_PIPE pipe, or -1
    int child_count;              // children started
    pid_t *child_ids;             // owned; child_count entries, in start order
    int *child_statuses;          // owned; raw wait statuses, -1 where a wait failed
    pex_child_times *child_times; // owned; only while PEX_KEEP_TIMES
    int reaped_count;             // children, from the first, already waited for
    FILE *caller_in_stream;       // input file the caller writes; closed by the next launch
    FILE *caller_out_stream;      // last output handed to the caller; closed at release
    FILE *caller_err_stream;      // error pipe handed to the caller; closed at release
    int temp_file_count;
    char **temp_file_names;       // owned names (and array), removed at release
    const pex_backend *backend;   // borrowed, static
    void *backend_data;           // a back end's own; the Unix one leaves it alone
};

// spawn_child's two failure results (see there).
inline constexpr pid_t pex_spawn_failed = -1;
inline constexpr pid_t pex_spawn_failed_fds_closed = -2;

// The nine operations through which the front end reaches the system, in this
// fixed order. Descriptor results are negative and pointers null on failure,
// with errno set, except where a message is filled.
struct pex_backend {
    int (*open_input)(pex_pipeline *pipeline, const char *name, bool binary);
    int (*open_output)(pex_pipeline *pipeline, const char *name, bool binary, bool append);
    // Child id; in_fd, out_fd and err_fd are then closed here unless they are
    // 0, 1 and 2. On failure message and error_number are filled and the
    // result tells who still holds those three descriptors:
    // pex_spawn_failed: none was closed here, the caller closes them;
    // pex_spawn_failed_fds_closed: a close here failed after the child had
    // started; the others were closed all the same, so none is the caller's.
    pid_t (*spawn_child)(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                         const char *program_file, const char *const *argv,
                         const char *const *env, int in_fd, int out_fd, int err_fd,
                         int fd_to_close, const char **message, int *error_number);
    int (*close_fd)(pex_pipeline *pipeline, int fd);
    // 0 with the raw status (and times, when not null); -1 with message filled.
    int (*wait_child)(pex_pipeline *pipeline, pid_t child_id, int *status,
                      pex_child_times *times, bool kill_first, const char **message,
                      int *error_number);
    int (*make_pipe)(pex_pipeline *pipeline, int fds[2], bool binary);
    FILE *(*fdopen_read)(pex_pipeline *pipeline, int fd, bool binary);
    // The descriptor is made close-on-exec first, so no later child holds it.
    FILE *(*fdopen_write)(pex_pipeline *pipeline, int fd, bool binary);
    void (*cleanup_backend)(pex_pipeline *pipeline);   // may be null
};

// A new pipeline bound to `backend`; never null. The strings are borrowed.
pex_pipeline *pex_create_common(pex_pipeline_flags flags, const char *program_name,
                                const char *temp_stem, const pex_backend *backend);
// A new pipeline bound to the Unix back end; never null.
pex_pipeline *pex_create(pex_pipeline_flags flags, const char *program_name,
                         const char *temp_stem);

// Waits for every child not yet waited for. 1 when every wait succeeded, else
// 0 with the last failure's message and number.
int pex_collect(pex_pipeline *pipeline, bool kill_first, const char **message,
                int *error_number);
// Enters `name`, owned by the pipeline from now on, in the list of files
// that pex_release removes.
void pex_add_temp_file(pex_pipeline *pipeline, char *name);
// Waits for the children not yet waited for, then copies `count` raw wait
// statuses (zeros past the last child) and returns 1; returns 0 with
// `statuses` untouched when one of those waits failed.
int pex_get_status(pex_pipeline *pipeline, int count, int *statuses);
// As pex_get_status for CPU times; also 0 when the pipeline keeps no times.
int pex_get_timings(pex_pipeline *pipeline, int count, pex_child_times *times);
// Ends the pipeline: closes, waits for every child not yet waited for (ending
// it first), removes temporary files and frees everything it owns. The
// caller's input stream from pex_open_input_file is left alone.
void pex_release(pex_pipeline *pipeline);

// Starts one stage. Null when the child was started, else the failure message
// with *error_number set. `env` null inherits the caller's environment. A
// final stage with PEX_OUTNAME_SUFFIX needs a temp_stem: its output must land
// where the caller can find it.
const char *pex_run_stage_env(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                              const char *program_file, const char *const *argv,
                              const char *const *env, const char *outname,
                              const char *errname, int *error_number);
const char *pex_run_stage(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                          const char *program_file, const char *const *argv,
                          const char *outname, const char *errname, int *error_number);
// The file to receive a stage's output: `outname` itself (compare to tell),
// or a new name the caller owns; null when no temporary file could be made.
char *pex_temp_name(pex_pipeline *pipeline, pex_stage_flags stage_flags, const char *outname);
// Runs one program to its end. Null with the raw wait status in *status, or
// the failure message with *error_number set (*status then unwritten).
const char *pex_run_once(pex_stage_flags stage_flags, const char *program_file,
                         const char *const *argv, const char *program_name,
                         const char *outname, const char *errname, int *status,
                         int *error_number);

// Signals and children. A child is started with vfork: until its exec it
// runs in the caller's memory, on the caller's stack, so a handler of the
// caller's must never run in it. The library blocks every signal around
// vfork; in the child, each signal named here is set back to its default,
// then the caller's mask is restored, and the program starts with that mask
// and those defaults, as posix_spawn does with its set of signals to default.
// A caller that installs a handler names that signal here before it starts a
// child, and names every signal it handles: one left out could run its
// handler in the child. Signals the caller ignores are not named, so that the
// child inherits their ignoring as a program started by exec does. The array
// is borrowed and read at each start; null or a count of 0 names none.
void pex_set_child_default_signals(const int *signals, int count);

// Streams between caller and pipeline; null with errno on failure. The two
// input streams are refused (EINVAL) once the first stage's input is chosen.
// A file for the first stage's input; the next launch closes the stream. A
// file the library named is removed at release unless PEX_KEEP_TEMPS.
FILE *pex_open_input_file(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                          const char *input_name);
// A pipe into the first stage (needs PEX_PIPES); the caller closes the stream.
FILE *pex_open_input_pipe(pex_pipeline *pipeline, bool binary);
// The last stage's output, or its standard-error pipe; pex_release closes them.
// Null, errno untouched, when there is nothing (more) to read.
FILE *pex_stdout_stream(pex_pipeline *pipeline, bool binary);
FILE *pex_stderr_stream(pex_pipeline *pipeline, bool binary);
