// pex/fake_backend_test.h: for the front end's tests of what the system
// cannot be made to do on demand: a wait that fails, a pipe that no stream
// can be put on. Everything else is tested with real children
// (pex/pex_test.h). A back-end table that starts nothing: it hands out
// made-up descriptors and child ids, fails where a test tells it to, and
// keeps account of the descriptors it handed out.
#pragma once

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pex/pex.h"

struct fake_backend_state {
    int next_fd = 100;
    pid_t next_child_id = 1001;
    std::set<int> open_fds;          // handed out and not yet closed or given away
    std::vector<int> bad_closes;     // closes of what was not open: 0, 1, 2 or twice
    int waits = 0;                   // calls of wait_child
    // Failures to act out.
    std::map<pid_t, int> wait_errno; // failing waits, by child id
    bool fdopen_fails = false;

    int new_fd() { open_fds.insert(next_fd); return next_fd++; }
    void close(int fd)
    {
        if (open_fds.erase(fd) == 0)
            bad_closes.push_back(fd);
    }
    // Raw status a fake child ends with: exit code child_id % 100.
    static int status_of(pid_t child_id) { return (child_id % 100) << 8; }
};

inline fake_backend_state fake;

inline int fake_open(pex_pipeline *, const char *, bool)
{
    return fake.new_fd();
}

inline int fake_open_output(pex_pipeline *, const char *, bool, bool)
{
    return fake.new_fd();
}

// Starts nothing, and disposes of the stage's descriptors as a start does.
inline pid_t fake_spawn_child(pex_pipeline *, pex_stage_flags, const char *, const char *const *,
                              const char *const *, int in_fd, int out_fd, int err_fd, int,
                              const char **, int *)
{
    const int fds[] = {in_fd, out_fd, err_fd};
    for (int standard = 0; standard < 3; standard++)
        if (fds[standard] != standard)
            fake.close(fds[standard]);
    return fake.next_child_id++;
}

inline int fake_close_fd(pex_pipeline *, int fd)
{
    fake.close(fd);
    return 0;
}

inline int fake_wait_child(pex_pipeline *, pid_t child_id, int *status, pex_child_times *times, bool,
                           const char **message, int *error_number)
{
    fake.waits++;
    auto failure = fake.wait_errno.find(child_id);
    if (failure != fake.wait_errno.end()) {
        *status = 12345;   // what a failed wait may leave behind
        *message = "wait";
        *error_number = failure->second;
        return -1;
    }
    *status = fake_backend_state::status_of(child_id);
    if (times != nullptr)
        *times = {};
    return 0;
}

inline int fake_make_pipe(pex_pipeline *, int fds[2], bool)
{
    fds[0] = fake.new_fd();
    fds[1] = fake.new_fd();
    return 0;
}

// A real stream, on /dev/null, standing for one on the fake descriptor.
inline FILE *fake_fdopen(pex_pipeline *, int fd, bool)
{
    if (fake.fdopen_fails) {
        errno = EMFILE;
        return nullptr;
    }
    fake.close(fd);   // the stream owns it now
    return fopen("/dev/null", "r+");
}

inline constexpr pex_backend fake_backend = {
    .open_input = fake_open,
    .open_output = fake_open_output,
    .spawn_child = fake_spawn_child,
    .close_fd = fake_close_fd,
    .wait_child = fake_wait_child,
    .make_pipe = fake_make_pipe,
    .fdopen_read = fake_fdopen,
    .fdopen_write = fake_fdopen,
    .cleanup_backend = nullptr,
};

// A fresh fake for every test.
inline pex_pipeline *fake_pipeline(pex_pipeline_flags flags = PEX_NO_PIPELINE_FLAGS)
{
    fake = fake_backend_state();
    return pex_create_common(flags, "prog", nullptr, &fake_backend);
}

// Launches a stage on the fake; the message, or "" when it started.
inline std::string fake_launch(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                               const char *outname = nullptr, int *error_number = nullptr)
{
    static const char *const argv[] = {"stage", nullptr};
    int ignored = -1;
    const char *message = pex_run_stage(pipeline, stage_flags, "stage", argv, outname, nullptr,
                                        error_number != nullptr ? error_number : &ignored);
    return message != nullptr ? message : "";
}
