#include "support/stderr_write.h"

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

void ignore_signal(int) {}

// Counted by the child's timer handler once the child is about to write.
struct shared_ticks {
    volatile sig_atomic_t writing;
    volatile sig_atomic_t ticks;
};
shared_ticks *ticks;

void count_tick(int)
{
    if (ticks->writing)
        ticks->ticks = ticks->ticks + 1;
}

}  // namespace

// Show that a write the system cuts short is continued where it stopped: a
// line larger than the pipe it goes to fills the pipe, and a signal caught
// then, without SA_RESTART, ends that write early with part of the line
// written. The whole line arrives, once.
TEST(StderrWrite, ContinuesAWriteCutShort)
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
        stderr_write(line.data(), line.size());
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

// Show that a write interrupted before it wrote anything is made again: the
// child fills its pipe, then writes a line while a timer interrupts it every
// millisecond (without SA_RESTART). The pipe is drained only after several
// ticks have come during that write, each an EINTR with nothing written; the
// line still arrives, whole and once.
TEST(StderrWrite, WritesAgainAfterASignalBeforeAnyByte)
{
    ticks = static_cast<shared_ticks *>(
        mmap(nullptr, sizeof *ticks, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, static_cast<void *>(ticks));
    *ticks = {};
    int pipe_fds[2];
    ASSERT_EQ(0, pipe(pipe_fds));
    const std::string line = "the line\n";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipe_fds[0]);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[1]);
        fcntl(2, F_SETFL, O_NONBLOCK);
        while (write(2, "f", 1) == 1) {
        }
        fcntl(2, F_SETFL, 0);
        struct sigaction action = {};
        action.sa_handler = count_tick;
        sigaction(SIGALRM, &action, nullptr);
        itimerval every_millisecond = {{0, 1000}, {0, 1000}};
        setitimer(ITIMER_REAL, &every_millisecond, nullptr);
        ticks->writing = 1;
        stderr_write(line.data(), line.size());
        _exit(0);
    }
    close(pipe_fds[1]);
    while (ticks->ticks < 3 && waitpid(pid, nullptr, WNOHANG) == 0)
        sched_yield();
    std::string got = read_to_end(pipe_fds[0]);
    close(pipe_fds[0]);
    waitpid(pid, nullptr, 0);
    EXPECT_GE(ticks->ticks, 3);
    size_t filled = got.find_first_not_of('f');
    ASSERT_NE(std::string::npos, filled) << "the line was lost";
    EXPECT_EQ(line, got.substr(filled));
    munmap(ticks, sizeof *ticks);
}

// Show that a line as long as the formatting buffer, or a byte shorter or
// longer, goes out whole: the buffer holds one byte less than its size
// before the terminating NUL.
TEST(StderrWrite, LinesAroundTheBufferSizeGoOutWhole)
{
    for (size_t length : {stderr_line_buffer_size - 1, stderr_line_buffer_size, stderr_line_buffer_size + 1}) {
        SCOPED_TRACE(length);
        scoped_temp_dir dir;
        const std::string line = std::string(length - 2, 'x') + "y\n";
        int status = in_child([&] {
            int fd = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 2);
            close(fd);
            stderr_printf("%s", line.c_str());
        });
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(line, read_file(dir / "out"));
    }
}

// Show that a line longer than the formatting buffer goes out whole too, and
// that a failed write ends nothing: with descriptor 2 closed the call returns.
TEST(StderrWrite, FormatsLongLinesAndSurvivesAClosedDescriptor)
{
    scoped_temp_dir dir;
    const std::string long_name(5000, 'n');
    int status = in_child([&] {
        int fd = open((dir / "trace").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
        stderr_printf("Looking for '%s'\n", long_name.c_str());
        stderr_printf("  - %s: %s\n", "found", "x");
        close(2);
        stderr_printf("  - lost: %s\n", long_name.c_str());
        stderr_write("lost\n", 5);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ("Looking for '" + long_name + "'\n  - found: x\n", read_file(dir / "trace"));
}
