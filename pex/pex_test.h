// pex/pex_test.h: for the front end's tests: stages of real children
// launched through the Unix back end, and what they leave behind.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pex/pex.h"
#include "support/temp_file.h"
#include "tests/test_util.h"

// The child the tests start (tests/probe.cc).
inline constexpr char probe[] = MAVO_PROBE_PATH;

// A failure as the tests compare it: "message (errno)".
inline std::string failure(const char *message, int error_number)
{
    return std::string(message) + " (" + std::to_string(error_number) + ")";
}

// Launches a stage that runs `args` (args[0] is the file): "" when it
// started, else its failure.
inline std::string launch(pex_pipeline *pipeline, pex_stage_flags flags, std::vector<const char *> args,
                          const char *outname = nullptr, const char *errname = nullptr)
{
    args.push_back(nullptr);
    int error_number = -1;
    const char *message = pex_run_stage(pipeline, flags, args[0], args.data(), outname, errname,
                                        &error_number);
    return message != nullptr ? failure(message, error_number) : "";
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

// True when this process has no child left, waited for or not.
inline bool no_children_left()
{
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

// True when the child `pid` has been waited for already; one that has ended
// is left as it is.
inline bool waited_for(pid_t pid)
{
    siginfo_t info;
    return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

// The children `pipeline` has started, to look at after its release too.
inline std::vector<pid_t> children_of(const pex_pipeline *pipeline)
{
    return std::vector<pid_t>(pipeline->child_ids, pipeline->child_ids + pipeline->child_count);
}

// True when each of `children` has been waited for.
inline bool all_waited_for(const std::vector<pid_t> &children)
{
    return std::all_of(children.begin(), children.end(), waited_for);
}

// Makes the temporary files of this (forked) process go to `dir`; false
// when the directory was chosen before.
inline bool use_temp_dir(const std::string &dir)
{
    setenv("TMPDIR", dir.c_str(), 1);
    return pick_temp_dir() == dir + "/";
}

// Everything `stream` gives until end of file.
inline std::string read_stream(FILE *stream)
{
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, stream)) > 0)
        text.append(buffer, got);
    return text;
}

// Fills the descriptor table but for `left` free slots; gives them back when
// it goes. Lowers the limit first, so only a few are needed.
struct descriptor_filler {
    std::vector<int> fds;
    explicit descriptor_filler(int left)
    {
        rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = rlim_t(*open_fds().rbegin() + 16);
        setrlimit(RLIMIT_NOFILE, &limit);
        for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = dup(fd))
            fds.push_back(fd);
        for (int i = 0; i < left; i++) {
            close(fds.back());
            fds.pop_back();
        }
    }
    ~descriptor_filler()
    {
        for (int fd : fds)
            close(fd);
    }
};
