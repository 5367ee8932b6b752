// Pipeline object: creation, collection of the children's statuses and CPU
// times, the two getters, and release.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pex/pex.h"
#include "support/alloc.h"

// The status recorded for a child whose wait failed: neither an exit nor a
// signal under the wait-status tests, so no caller can take it for success.
static constexpr int failed_wait_status = -1;

pex_pipeline *pex_create_common(pex_pipeline_flags flags, const char *program_name,
                                const char *temp_stem, const pex_backend *backend)
{
    pex_pipeline *pipeline = static_cast<pex_pipeline *>(alloc_or_die(sizeof *pipeline));
    memset(pipeline, 0, sizeof *pipeline);
    pipeline->flags = flags;
    pipeline->program_name = program_name;
    pipeline->temp_stem = temp_stem;
    pipeline->pending_in_fd = 0;
    pipeline->err_pipe_fd = -1;
    pipeline->backend = backend;
    return pipeline;
}

int pex_collect(pex_pipeline *pipeline, bool kill_first, const char **message,
                int *error_number)
{
    int count = pipeline->child_count;
    if (pipeline->reaped_count == count)
        return 1;
    size_t status_bytes = sizeof *pipeline->child_statuses * size_t(count);
    pipeline->child_statuses = static_cast<int *>(realloc_or_die(pipeline->child_statuses, status_bytes));
    // Times are recorded only while the flag is set: release clears it, and an
    // array left from an earlier collection is then too short for the
    // children started since.
    bool keep_times = pex_has(pipeline->flags, PEX_KEEP_TIMES);
    if (keep_times) {
        size_t times_bytes = sizeof *pipeline->child_times * size_t(count);
        pipeline->child_times =
            static_cast<pex_child_times *>(realloc_or_die(pipeline->child_times, times_bytes));
    }

    int all_waited = 1;
    for (int i = pipeline->reaped_count; i < count; i++) {
        int *status = &pipeline->child_statuses[i];
        pex_child_times *times = keep_times ? &pipeline->child_times[i] : nullptr;
        if (pipeline->backend->wait_child(pipeline, pipeline->child_ids[i], status, times,
                                          kill_first, message, error_number) < 0) {
            // The back end may have left anything there.
            *status = failed_wait_status;
            if (times != nullptr)
                memset(times, 0, sizeof *times);
            all_waited = 0;
        }
    }
    pipeline->reaped_count = count;
    return all_waited;
}

void pex_add_temp_file(pex_pipeline *pipeline, char *name)
{
    size_t bytes = sizeof *pipeline->temp_file_names * size_t(pipeline->temp_file_count + 1);
    pipeline->temp_file_names = static_cast<char **>(realloc_or_die(pipeline->temp_file_names, bytes));
    pipeline->temp_file_names[pipeline->temp_file_count++] = name;
}

// Waits for every child not yet waited for, so that the arrays cover all of
// them: a launch that read a file collected only the children before it.
static int collect_for_getter(pex_pipeline *pipeline)
{
    const char *message;
    int error_number;
    return pex_collect(pipeline, false, &message, &error_number);
}

int pex_get_status(pex_pipeline *pipeline, int count, int *statuses)
{
    if (!collect_for_getter(pipeline))
        return 0;
    int filled = count < pipeline->reaped_count ? count : pipeline->reaped_count;
    if (filled > 0)
        memcpy(statuses, pipeline->child_statuses, sizeof *statuses * size_t(filled));
    for (int i = filled; i < count; i++)
        statuses[i] = 0;
    return 1;
}

int pex_get_timings(pex_pipeline *pipeline, int count, pex_child_times *times)
{
    if (!collect_for_getter(pipeline))
        return 0;
    if (pipeline->child_times == nullptr)
        return 0;
    int filled = count < pipeline->reaped_count ? count : pipeline->reaped_count;
    if (filled > 0)
        memcpy(times, pipeline->child_times, sizeof *times * size_t(filled));
    if (count > filled)
        memset(times + filled, 0, sizeof *times * size_t(count - filled));
    return 1;
}

void pex_release(pex_pipeline *pipeline)
{
    const pex_backend *backend = pipeline->backend;
    if (pipeline->pending_in_fd > 0)
        backend->close_fd(pipeline, pipeline->pending_in_fd);
    if (pipeline->err_pipe_fd > 0)
        backend->close_fd(pipeline, pipeline->err_pipe_fd);
    if (pipeline->caller_out_stream != nullptr)
        fclose(pipeline->caller_out_stream);
    if (pipeline->caller_err_stream != nullptr)
        fclose(pipeline->caller_err_stream);

    // Every child not yet waited for, also those started after an earlier
    // collection: a long-running caller must not be left with zombies.
    pipeline->flags &= ~PEX_KEEP_TIMES;
    const char *message;
    int error_number;
    pex_collect(pipeline, true, &message, &error_number);

    if (pipeline->pending_in_name_owned)
        free(pipeline->pending_in_name);
    free(pipeline->child_ids);
    free(pipeline->child_statuses);
    free(pipeline->child_times);
    for (int i = 0; i < pipeline->temp_file_count; i++) {
        remove(pipeline->temp_file_names[i]);
        free(pipeline->temp_file_names[i]);
    }
    free(pipeline->temp_file_names);
    if (backend->cleanup_backend != nullptr)
        backend->cleanup_backend(pipeline);
    free(pipeline);
}
