// Stage launch: wiring a child's three standard streams, choosing output file
// names, and the one-shot run.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "pex/pex.h"
#include "support/alloc.h"
#include "support/join.h"
#include "support/temp_file.h"

// What one launch holds on the way; -1 where nothing is held yet.
struct stage_fds {
    int in_fd;
    int out_fd;
    int err_fd;
};

// A fresh file named `temp_stem` and six random characters (the stem's own
// trailing "XXXXXX" when it has them); null with errno when none can be made.
static char *temp_file_from_stem(const char *temp_stem)
{
    static constexpr char pattern[] = "XXXXXX";
    size_t length = strlen(temp_stem);
    bool has_pattern = length >= 6 && strcmp(temp_stem + length - 6, pattern) == 0;
    char *name = has_pattern ? strdup_or_die(temp_stem) : join_strings(temp_stem, pattern, nullptr);
    int fd = mkstemp(name);
    if (fd < 0) {
        int saved_errno = errno;
        free(name);
        errno = saved_errno;
        return nullptr;
    }
    close(fd);
    return name;
}

char *pex_temp_name(pex_pipeline *pipeline, pex_stage_flags stage_flags, const char *outname)
{
    if (outname != nullptr && !pex_has(stage_flags, PEX_OUTNAME_SUFFIX))
        return const_cast<char *>(outname);   // callers compare with outname before freeing
    if (outname != nullptr) {
        if (pipeline->temp_stem != nullptr)
            return join_strings(pipeline->temp_stem, outname, nullptr);
        return new_temp_file(outname);
    }
    if (pipeline->temp_stem == nullptr)
        return new_temp_file(nullptr);
    return temp_file_from_stem(pipeline->temp_stem);
}

// The input of the stage: the previous output's file, once every child
// before has ended, else pending_in_fd.
static const char *open_stage_input(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                                    int *in_fd, int *error_number)
{
    if (pipeline->pending_in_name == nullptr) {
        *in_fd = pipeline->pending_in_fd;
        if (*in_fd < 0) {
            *error_number = 0;
            return "pipeline already complete";
        }
        return nullptr;
    }
    const char *message;
    if (!pex_collect(pipeline, false, &message, error_number))
        return message;
    *in_fd = pipeline->backend->open_input(pipeline, pipeline->pending_in_name,
                                           pex_has(stage_flags, PEX_BINARY_IN));
    if (*in_fd < 0) {
        *error_number = errno;
        return "open temporary file";
    }
    if (pipeline->pending_in_name_owned)
        free(pipeline->pending_in_name);
    pipeline->pending_in_name = nullptr;
    pipeline->pending_in_name_owned = 0;
    return nullptr;
}

static const char *open_final_output(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                                     const char *outname, int *out_fd, int *error_number)
{
    pipeline->pending_in_fd = -1;   // complete from here on, even if this launch fails
    if (outname == nullptr) {
        *out_fd = 1;
        return nullptr;
    }
    bool binary = pex_has(stage_flags, PEX_BINARY_OUT);
    bool append = pex_has(stage_flags, PEX_APPEND_OUT);
    if (!pex_has(stage_flags, PEX_OUTNAME_SUFFIX)) {
        *out_fd = pipeline->backend->open_output(pipeline, outname, binary, append);
    } else if (pipeline->temp_stem == nullptr) {
        // A made-up name would hide the last output from the caller.
        *error_number = 0;
        return "PEX_OUTNAME_SUFFIX used without a temporary file stem";
    } else {
        char *name = join_strings(pipeline->temp_stem, outname, nullptr);
        *out_fd = pipeline->backend->open_output(pipeline, name, binary, append);
        int saved_errno = errno;
        free(name);
        errno = saved_errno;
    }
    if (*out_fd < 0) {
        *error_number = errno;
        return "open temporary output file";
    }
    return nullptr;
}

// Output of a stage that is not final, in a pipeline without pipes: a file
// that the next stage reads by name.
static const char *open_file_output(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                                    const char *outname, int *out_fd, int *error_number)
{
    char *name = pex_temp_name(pipeline, stage_flags, outname);
    if (name == nullptr) {
        *error_number = 0;
        return "could not create temporary file";
    }
    // The pipeline keeps its own copy of the caller's name: the caller's
    // string need not outlive this call.
    if (name == outname)
        name = strdup_or_die(outname);
    if (pex_has(pipeline->flags, PEX_KEEP_TEMPS)) {
        pipeline->pending_in_name_owned = 1;
    } else {
        pex_add_temp_file(pipeline, name);
        pipeline->pending_in_name_owned = 0;
    }
    pipeline->pending_in_name = name;
    *out_fd = pipeline->backend->open_output(pipeline, name, pex_has(stage_flags, PEX_BINARY_OUT),
                                             pex_has(stage_flags, PEX_APPEND_OUT));
    if (*out_fd < 0) {
        *error_number = errno;
        return "open temporary output file";
    }
    return nullptr;
}

static const char *open_stage_output(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                                     const char *outname, int *out_fd, int *error_number)
{
    if (pex_has(stage_flags, PEX_FINAL))
        return open_final_output(pipeline, stage_flags, outname, out_fd, error_number);
    if (!pex_has(pipeline->flags, PEX_PIPES))
        return open_file_output(pipeline, stage_flags, outname, out_fd, error_number);
    int fds[2];
    if (pipeline->backend->make_pipe(pipeline, fds, pex_has(stage_flags, PEX_BINARY_OUT)) < 0) {
        *error_number = errno;
        return "pipe";
    }
    pipeline->pending_in_fd = fds[0];
    *out_fd = fds[1];
    return nullptr;
}

static const char *open_stage_error(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                                    const char *errname, int *err_fd, int *error_number)
{
    bool to_pipe = pex_has(stage_flags, PEX_STDERR_TO_PIPE);
    bool binary = pex_has(stage_flags, PEX_BINARY_ERR);
    if (errname != nullptr && to_pipe) {
        *error_number = 0;
        return "both ERRNAME and PEX_STDERR_TO_PIPE specified.";
    }
    if (pipeline->err_pipe_fd != -1) {
        *error_number = 0;
        return "PEX_STDERR_TO_PIPE used in the middle of pipeline";
    }
    if (errname != nullptr) {
        *err_fd = pipeline->backend->open_output(pipeline, errname, binary,
                                                 pex_has(stage_flags, PEX_APPEND_ERR));
        if (*err_fd < 0) {
            *error_number = errno;
            return "open error file";
        }
    } else if (to_pipe) {
        int fds[2];
        if (pipeline->backend->make_pipe(pipeline, fds, binary) < 0) {
            *error_number = errno;
            return "pipe";
        }
        pipeline->err_pipe_fd = fds[0];
        *err_fd = fds[1];
    } else {
        *err_fd = 2;
    }
    return nullptr;
}

// Gives back what a failed launch holds. What it stored in the pipeline (pipe
// read ends, names, files to remove) stays there for pex_release.
static void close_stage_fds(pex_pipeline *pipeline, const stage_fds *fds)
{
    const pex_backend *backend = pipeline->backend;
    if (fds->in_fd != 0) {
        backend->close_fd(pipeline, fds->in_fd);
        // Taken from pending_in_fd: release must not close it a second time.
        if (pipeline->pending_in_fd == fds->in_fd)
            pipeline->pending_in_fd = -1;
    }
    if (fds->out_fd >= 0 && fds->out_fd != 1)
        backend->close_fd(pipeline, fds->out_fd);
    if (fds->err_fd >= 0 && fds->err_fd != 2)
        backend->close_fd(pipeline, fds->err_fd);
}

static void add_child(pex_pipeline *pipeline, pid_t child_id)
{
    size_t bytes = sizeof *pipeline->child_ids * size_t(pipeline->child_count + 1);
    pipeline->child_ids = static_cast<pid_t *>(realloc_or_die(pipeline->child_ids, bytes));
    pipeline->child_ids[pipeline->child_count++] = child_id;
}

const char *pex_run_stage_env(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                              const char *program_file, const char *const *argv,
                              const char *const *env, const char *outname,
                              const char *errname, int *error_number)
{
    if (pipeline->caller_in_stream != nullptr) {
        FILE *stream = pipeline->caller_in_stream;
        // fclose disposes of the stream even when it fails: never again.
        pipeline->caller_in_stream = nullptr;
        if (fclose(stream) != 0) {
            *error_number = errno;
            return "closing pipeline input file";
        }
    }

    stage_fds fds = {-1, -1, -1};
    const char *message = open_stage_input(pipeline, stage_flags, &fds.in_fd, error_number);
    if (message != nullptr)
        return message;
    message = open_stage_output(pipeline, stage_flags, outname, &fds.out_fd, error_number);
    if (message == nullptr)
        message = open_stage_error(pipeline, stage_flags, errname, &fds.err_fd, error_number);
    if (message != nullptr) {
        close_stage_fds(pipeline, &fds);
        return message;
    }

    // A child of a pipe-connected stage must not hold the read end of its own
    // output: when the next stage stops reading, the child would block on a
    // full pipe instead of getting SIGPIPE.
    int fd_to_close = pex_has(pipeline->flags, PEX_PIPES) ? pipeline->pending_in_fd : -1;
    pid_t child_id = pipeline->backend->spawn_child(pipeline, stage_flags, program_file, argv, env,
                                                    fds.in_fd, fds.out_fd, fds.err_fd,
                                                    fd_to_close, &message, error_number);
    if (child_id < 0) {
        if (child_id != pex_spawn_failed_fds_closed)
            close_stage_fds(pipeline, &fds);
        return message;
    }
    add_child(pipeline, child_id);
    return nullptr;
}

const char *pex_run_stage(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                          const char *program_file, const char *const *argv,
                          const char *outname, const char *errname, int *error_number)
{
    return pex_run_stage_env(pipeline, stage_flags, program_file, argv, nullptr, outname,
                             errname, error_number);
}

const char *pex_run_once(pex_stage_flags stage_flags, const char *program_file,
                         const char *const *argv, const char *program_name,
                         const char *outname, const char *errname, int *status,
                         int *error_number)
{
    pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, program_name, nullptr);
    const char *message = pex_run_stage(pipeline, stage_flags, program_file, argv, outname,
                                        errname, error_number);
    if (message == nullptr && !pex_get_status(pipeline, 1, status)) {
        *error_number = 0;
        message = "pex_get_status failed";
    }
    pex_release(pipeline);
    return message;
}
