// Streams between the caller and a pipeline: the first stage's input, the
// last stage's output and a stage's standard-error pipe.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "pex/pex.h"
#include "support/alloc.h"

// The input streams can be asked for only before any launch, while the
// first stage would still read the caller's standard input.
static bool no_input_chosen_yet(const pex_pipeline *pipeline)
{
    return pipeline->child_count == 0 && pipeline->pending_in_fd == 0 &&
           pipeline->pending_in_name == nullptr;
}

FILE *pex_open_input_file(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                          const char *input_name)
{
    if (!no_input_chosen_yet(pipeline)) {
        errno = EINVAL;
        return nullptr;
    }
    char *name = pex_temp_name(pipeline, stage_flags, input_name);
    if (name == nullptr)
        return nullptr;
    bool made_here = name != input_name;
    // Close-on-exec ('e'), as every descriptor the caller keeps: no child,
    // of this pipeline or another, holds it.
    FILE *stream = fopen(name, pex_has(stage_flags, PEX_BINARY_OUT) ? "wbe" : "we");
    if (stream == nullptr) {
        int saved_errno = errno;
        // pex_temp_name made the file too, unless it only joined the stem and
        // the caller's suffix: nobody else knows it, so it goes.
        if (made_here && (input_name == nullptr || pipeline->temp_stem == nullptr))
            remove(name);
        if (made_here)
            free(name);
        errno = saved_errno;
        return nullptr;
    }
    // A name the library made up is known to nobody else: unless temporary
    // files are kept, release removes that file. The caller's own name is
    // copied, so the caller's string need not outlive this call.
    if (made_here && !pex_has(pipeline->flags, PEX_KEEP_TEMPS)) {
        pex_add_temp_file(pipeline, name);
        pipeline->pending_in_name_owned = 0;
    } else {
        if (!made_here)
            name = strdup_or_die(input_name);
        pipeline->pending_in_name_owned = 1;
    }
    pipeline->pending_in_name = name;
    pipeline->caller_in_stream = stream;
    return stream;
}

FILE *pex_open_input_pipe(pex_pipeline *pipeline, bool binary)
{
    if (!no_input_chosen_yet(pipeline) || !pex_has(pipeline->flags, PEX_PIPES)) {
        errno = EINVAL;
        return nullptr;
    }
    int fds[2];
    if (pipeline->backend->make_pipe(pipeline, fds, binary) < 0)
        return nullptr;
    FILE *stream = pipeline->backend->fdopen_write(pipeline, fds[1], binary);
    if (stream == nullptr) {
        int saved_errno = errno;
        pipeline->backend->close_fd(pipeline, fds[0]);
        pipeline->backend->close_fd(pipeline, fds[1]);
        errno = saved_errno;
        return nullptr;
    }
    pipeline->pending_in_fd = fds[0];
    return stream;
}

// A stream on `fd`, which is ours to dispose of either way: a descriptor that
// no stream took is closed rather than lost.
static FILE *stream_on_pipe(pex_pipeline *pipeline, int fd, bool binary)
{
    FILE *stream = pipeline->backend->fdopen_read(pipeline, fd, binary);
    if (stream == nullptr) {
        int saved_errno = errno;
        pipeline->backend->close_fd(pipeline, fd);
        errno = saved_errno;
    }
    return stream;
}

// A stream reading the last stage's output file, opened once every child
// has ended, so that the file is complete.
static FILE *read_last_output_file(pex_pipeline *pipeline, bool binary)
{
    const char *message;
    int error_number;
    if (!pex_collect(pipeline, false, &message, &error_number)) {
        errno = error_number;
        return nullptr;
    }
    FILE *stream = fopen(pipeline->pending_in_name, binary ? "rbe" : "re");
    int saved_errno = errno;
    if (pipeline->pending_in_name_owned)
        free(pipeline->pending_in_name);
    pipeline->pending_in_name = nullptr;
    pipeline->pending_in_name_owned = 0;
    errno = saved_errno;
    return stream;
}

FILE *pex_stdout_stream(pex_pipeline *pipeline, bool binary)
{
    // Only one output stream: a second one would leave the first unclosed.
    if (pipeline->caller_out_stream != nullptr)
        return nullptr;
    if (pipeline->pending_in_name != nullptr) {
        pipeline->caller_out_stream = read_last_output_file(pipeline, binary);
        return pipeline->caller_out_stream;
    }
    if (pipeline->pending_in_fd > 0) {
        int fd = pipeline->pending_in_fd;
        pipeline->pending_in_fd = -1;
        pipeline->caller_out_stream = stream_on_pipe(pipeline, fd, binary);
        return pipeline->caller_out_stream;
    }
    return nullptr;
}

FILE *pex_stderr_stream(pex_pipeline *pipeline, bool binary)
{
    // As for the output: one stream, so a later one cannot leave it unclosed.
    if (pipeline->err_pipe_fd <= 0 || pipeline->caller_err_stream != nullptr)
        return nullptr;
    int fd = pipeline->err_pipe_fd;
    pipeline->err_pipe_fd = -1;
    pipeline->caller_err_stream = stream_on_pipe(pipeline, fd, binary);
    return pipeline->caller_err_stream;
}
