#include "search/trace.h"

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

void ignore_signal(int) {}

}  // namespace

// Show that a write the system cuts short is continued where it stopped: a
// line larger than the pipe it goes to fills the pipe, and a signal caught
// then, without SA_RESTART, ends that write early with part of the line
// written. The whole line arrives, once.
TEST(TraceWrite, ContinuesAWriteCutShort)
{
#ifndef F_GETPIPE_SZ
    GTEST_SKIP() << "not checked: the pipe's capacity cannot be asked for here";
#else
    int pipe_fds[2];
    ASSERT_EQ(0, pipe(pipe_fds));
    const int capacity = fcntl(pipe_fds[0], F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    std::string line;
    for (int i = 0; line.size() < size_t(capacity) * 3; i++)
        line += std::to_string(i) + " ";
    line += "\n";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct sigaction action = {};
        action.sa_handler = ignore_signal;
        sigaction(SIGUSR1, &action, nullptr);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        trace_write(line.data(), line.size());
        _exit(0);
    }
    close(pipe_fds[1]);
    // A full pipe means the child is inside its write, part of it written.
    int queued = 0;
    while (ioctl(pipe_fds[0], FIONREAD, &queued) == 0 && queued < capacity)
        sched_yield();
    EXPECT_EQ(capacity, queued);
    kill(pid, SIGUSR1);
    std::string got = read_to_end(pipe_fds[0]);
    close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(line.size(), got.size());
    EXPECT_TRUE(line == got);
#endif
}

// Show that a line longer than the formatting buffer goes out whole too, and
// that a failed write ends nothing: with descriptor 2 closed the call returns.
TEST(TraceWrite, FormatsLongLinesAndSurvivesAClosedDescriptor)
{
    scoped_temp_dir dir;
    const std::string long_name(5000, 'n');
    int status = in_child([&] {
        int fd = open((dir / "trace").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
        trace_printf("Looking for '%s'\n", long_name.c_str());
        trace_printf("  - %s: %s\n", "found", "x");
        close(2);
        trace_printf("  - lost: %s\n", long_name.c_str());
        trace_write("lost\n", 5);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ("Looking for '" + long_name + "'\n  - found: x\n", read_file(dir / "trace"));
}
