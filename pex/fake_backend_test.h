// pex/fake_backend_test.h: for the front end's tests only. A back-end table
// that starts nothing: it hands out made-up descriptors and child ids, fails
// where a test tells it to, and records what the front end asked of it.
// Also child_report, for checks that must run in a forked child.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pex/pex.h"
#include "tests/test_util.h"

struct fake_spawn {
    std::string program;
    pex_stage_flags stage_flags;
    int in_fd, out_fd, err_fd, fd_to_close;
    bool has_env;
};

struct fake_wait {
    pid_t child_id;
    bool kill_first;
    bool wants_times;
};

struct fake_backend_state {
    // Descriptors and ids.
    int next_fd = 100;
    pid_t next_child_id = 1001;
    std::set<int> open_fds;          // handed out and not yet closed or given away
    std::vector<int> bad_closes;     // closes of what was not open: 0, 1, 2 or twice
    // What the front end asked for.
    std::vector<std::string> opened_inputs;
    std::vector<std::string> opened_outputs;   // "name" or "name (append)"
    std::vector<fake_spawn> spawns;
    std::vector<fake_wait> waits;
    std::vector<std::string> events;           // "wait <id>", "cleanup" in call order
    // Failures to act out.
    std::map<std::string, int> open_errno;     // open_input and open_output of a name
    std::map<int, int> make_pipe_errno;        // by call number, from 1
    int make_pipe_calls = 0;
    pid_t spawn_result = 0;                    // 0: succeed; else the failure result
    const char *spawn_message = nullptr;
    int spawn_errno = 0;
    std::map<pid_t, int> wait_errno;           // failing waits
    bool fdopen_fails = false;
    // Called at cleanup_backend, to look at the world at that moment.
    void (*on_cleanup)() = nullptr;

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

inline int fake_open_input(pex_pipeline *, const char *name, bool)
{
    fake.opened_inputs.push_back(name);
    auto failure = fake.open_errno.find(name);
    if (failure != fake.open_errno.end()) {
        errno = failure->second;
        return -1;
    }
    return fake.new_fd();
}

inline int fake_open_output(pex_pipeline *, const char *name, bool, bool append)
{
    fake.opened_outputs.push_back(std::string(name) + (append ? " (append)" : ""));
    auto failure = fake.open_errno.find(name);
    if (failure != fake.open_errno.end()) {
        errno = failure->second;
        return -1;
    }
    return fake.new_fd();
}

inline pid_t fake_spawn_child(pex_pipeline *, pex_stage_flags stage_flags, const char *program_file,
                              const char *const *, const char *const *env, int in_fd, int out_fd,
                              int err_fd, int fd_to_close, const char **message, int *error_number)
{
    fake.spawns.push_back({program_file, stage_flags, in_fd, out_fd, err_fd, fd_to_close, env != nullptr});
    auto give_away = [](int fd, int standard) {
        if (fd != standard)
            fake.close(fd);
    };
    if (fake.spawn_result < 0) {
        *message = fake.spawn_message;
        *error_number = fake.spawn_errno;
        if (fake.spawn_result == pex_spawn_failed_fds_closed) {
            give_away(in_fd, 0);
            give_away(out_fd, 1);
            give_away(err_fd, 2);
        }
        return fake.spawn_result;
    }
    give_away(in_fd, 0);
    give_away(out_fd, 1);
    give_away(err_fd, 2);
    return fake.next_child_id++;
}

inline int fake_close_fd(pex_pipeline *, int fd)
{
    fake.close(fd);
    return 0;
}

inline int fake_wait_child(pex_pipeline *, pid_t child_id, int *status, pex_child_times *times,
                           bool kill_first, const char **message, int *error_number)
{
    fake.waits.push_back({child_id, kill_first, times != nullptr});
    fake.events.push_back("wait " + std::to_string(child_id));
    auto failure = fake.wait_errno.find(child_id);
    if (failure != fake.wait_errno.end()) {
        *status = 12345;   // what a failed wait may leave behind
        *message = "wait";
        *error_number = failure->second;
        return -1;
    }
    *status = fake_backend_state::status_of(child_id);
    if (times != nullptr)
        *times = {child_id, 1, child_id, 2};
    return 0;
}

inline int fake_make_pipe(pex_pipeline *, int fds[2], bool)
{
    auto failure = fake.make_pipe_errno.find(++fake.make_pipe_calls);
    if (failure != fake.make_pipe_errno.end()) {
        errno = failure->second;
        return -1;
    }
    fds[0] = fake.new_fd();
    fds[1] = fake.new_fd();
    return 0;
}

// A real stream, on /dev/null, standing for one on the fake descriptor.
inline FILE *fake_fdopen(int fd, const char *mode)
{
    if (fake.fdopen_fails) {
        errno = EMFILE;
        return nullptr;
    }
    fake.close(fd);   // the stream owns it now
    return fopen("/dev/null", mode);
}

inline FILE *fake_fdopen_read(pex_pipeline *, int fd, bool)
{
    return fake_fdopen(fd, "r");
}

inline FILE *fake_fdopen_write(pex_pipeline *, int fd, bool)
{
    return fake_fdopen(fd, "w");
}

inline void fake_cleanup_backend(pex_pipeline *)
{
    fake.events.push_back("cleanup");
    if (fake.on_cleanup != nullptr)
        fake.on_cleanup();
}

inline constexpr pex_backend fake_backend = {
    .open_input = fake_open_input,
    .open_output = fake_open_output,
    .spawn_child = fake_spawn_child,
    .close_fd = fake_close_fd,
    .wait_child = fake_wait_child,
    .make_pipe = fake_make_pipe,
    .fdopen_read = fake_fdopen_read,
    .fdopen_write = fake_fdopen_write,
    .cleanup_backend = fake_cleanup_backend,
};

// A fresh fake for every test.
inline pex_pipeline *fake_pipeline(pex_pipeline_flags flags = PEX_NO_PIPELINE_FLAGS,
                                   const char *temp_stem = nullptr)
{
    fake = fake_backend_state();
    return pex_create_common(flags, "prog", temp_stem, &fake_backend);
}

inline const char *const fake_argv[] = {"stage", nullptr};

// Launches a stage on the fake; the message, or "" when it started.
inline std::string fake_launch(pex_pipeline *pipeline, pex_stage_flags stage_flags,
                               const char *outname = nullptr, const char *errname = nullptr,
                               int *error_number = nullptr)
{
    int ignored = -1;
    const char *message = pex_run_stage(pipeline, stage_flags, "stage", fake_argv, outname, errname,
                                        error_number != nullptr ? error_number : &ignored);
    return message != nullptr ? message : "";
}


// The exit codes of the first `count` children, "-" for any other end.
inline std::string exit_codes(pex_pipeline *pipeline, int count)
{
    std::vector<int> statuses(size_t(count), -1);
    if (!pex_get_status(pipeline, count, statuses.data()))
        return "pex_get_status failed";
    std::string text;
    for (int status : statuses)
        text += WIFEXITED(status) ? std::to_string(WEXITSTATUS(status)) : "-";
    return text;
}
