// The Unix back end's operations other than spawn_child, and pex_create.
#include "pex/unix/pex_unix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

const std::string probe = MAVO_PROBE_PATH;
const pex_backend &unix_ops = pex_unix_backend;

pex_pipeline make_unix_pipeline()
{
    pex_pipeline pipeline = {};
    pipeline.program_name = "tester";
    pipeline.backend = &pex_unix_backend;
    return pipeline;
}

pex_pipeline unix_pipeline = make_unix_pipeline();

bool is_close_on_exec(int fd)
{
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

// Starts the probe with `out_fd` (or the test's own output) as its standard
// output and `in_fd` as its input.
pid_t start_probe(std::vector<const char *> args, int in_fd = 0, int out_fd = 1)
{
    args.insert(args.begin(), probe.c_str());
    args.push_back(nullptr);
    const char *message = nullptr;
    int error_number = 0;
    pid_t pid = unix_ops.spawn_child(&unix_pipeline, PEX_NO_STAGE_FLAGS, args[0], args.data(),
                                     nullptr, in_fd, out_fd, 2, -1, &message, &error_number);
    EXPECT_GT(pid, 0) << message << ": " << strerror(error_number);
    return pid;
}

} // namespace

TEST(UnixOpenOutput, TruncatesOrAppendsAndCreatesMissingFiles)
{
    const struct {
        const char *what;
        bool exists;
        bool append;
        std::string expected;
    } cases[] = {
        {"existing, truncated", true, false, "new"},
        {"existing, appended to", true, true, "oldnew"},
        {"missing", false, false, "new"},
        {"missing, append", false, true, "new"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        scoped_temp_dir dir;
        if (c.exists)
            write_file(dir / "file", "old");
        int fd = unix_ops.open_output(&unix_pipeline, (dir / "file").c_str(), false, c.append);
        ASSERT_GE(fd, 0) << strerror(errno);
        EXPECT_FALSE(is_close_on_exec(fd)) << "the front end hands it to a child";
        EXPECT_EQ(3, write(fd, "new", 3));
        EXPECT_EQ(0, unix_ops.close_fd(&unix_pipeline, fd));
        EXPECT_EQ(c.expected, read_file(dir / "file"));
    }
}

// Mode 0666 before the creation mask: with no mask the file is writable by
// all, so the mask alone decides.
TEST(UnixOpenOutput, NewFileTakesItsModeFromTheCreationMask)
{
    const struct {
        mode_t mask;
        mode_t mode;
    } cases[] = {{0, 0666}, {027, 0640}, {0177, 0600}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "umask 0" << std::oct << c.mask);
        scoped_temp_dir dir;
        const std::string path = dir / "file";
        int status = in_child([&] {
            umask(c.mask);
            _exit(unix_ops.open_output(&unix_pipeline, path.c_str(), true, false) >= 0 ? 0 : 1);
        });
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        struct stat info;
        ASSERT_EQ(0, stat(path.c_str(), &info));
        EXPECT_EQ(c.mode, info.st_mode & 0777);
    }
}

TEST(UnixOpenInput, OpensForReadingOrFailsWithErrno)
{
    scoped_temp_dir dir;
    write_file(dir / "file", "content");
    int fd = unix_ops.open_input(&unix_pipeline, (dir / "file").c_str(), true);
    ASSERT_GE(fd, 0);
    EXPECT_EQ("content", read_to_end(fd));
    EXPECT_EQ(0, unix_ops.close_fd(&unix_pipeline, fd));

    const auto before = open_fds();
    errno = 0;
    EXPECT_EQ(-1, unix_ops.open_input(&unix_pipeline, (dir / "missing").c_str(), false));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(before, open_fds());
}

TEST(UnixCloseFd, FailsWithErrnoOnAClosedDescriptor)
{
    int fd = dup(2);
    ASSERT_EQ(0, unix_ops.close_fd(&unix_pipeline, fd));
    errno = 0;
    EXPECT_EQ(-1, unix_ops.close_fd(&unix_pipeline, fd));
    EXPECT_EQ(EBADF, errno);
}

// Both ends close-on-exec, and above the standard descriptors even when
// those are closed: a child gets its ends by dup2 onto 0, 1 or 2, and an end
// already there would be taken for the caller's own stream and lost at exec.
TEST(UnixMakePipe, ReadEndFirstBothCloseOnExecAndAboveTwo)
{
    for (bool standard_closed : {false, true}) {
        SCOPED_TRACE(standard_closed ? "0, 1 and 2 closed" : "0, 1 and 2 open");
        std::string seen = answer_from_child([&] {
            if (standard_closed)
                for (int fd = 0; fd <= 2; fd++)
                    close(fd);
            int fds[2] = {-1, -1};
            if (unix_ops.make_pipe(&unix_pipeline, fds, true) != 0)
                return std::string("make_pipe failed");
            std::string answer;
            for (int fd : fds)
                answer += std::string(fd > 2 ? "above 2" : "standard") +
                          (is_close_on_exec(fd) ? ", close-on-exec\n" : ", inheritable\n");
            if (write(fds[1], "ok", 2) != 2)
                answer += "write failed\n";
            close(fds[1]);
            return answer + read_to_end(fds[0]);
        });
        EXPECT_EQ("above 2, close-on-exec\nabove 2, close-on-exec\nok", seen);
    }
}

TEST(UnixFdopen, StreamsReadAndWriteThroughThePipe)
{
    int fds[2];
    ASSERT_EQ(0, unix_ops.make_pipe(&unix_pipeline, fds, false));
    FILE *in = unix_ops.fdopen_read(&unix_pipeline, fds[0], false);
    FILE *out = unix_ops.fdopen_write(&unix_pipeline, fds[1], false);
    ASSERT_NE(nullptr, in);
    ASSERT_NE(nullptr, out);
    fputs("line\n", out);
    fclose(out);
    char line[16] = {};
    EXPECT_NE(nullptr, fgets(line, sizeof line, in));
    EXPECT_STREQ("line\n", line);
    fclose(in);
    EXPECT_FALSE(is_open(fds[0]));
    EXPECT_FALSE(is_open(fds[1]));
}

TEST(UnixFdopen, BadDescriptorGivesNullAndEbadf)
{
    int fd = dup(2);
    close(fd);
    for (auto fdopen_slot : {unix_ops.fdopen_read, unix_ops.fdopen_write}) {
        errno = 0;
        EXPECT_EQ(nullptr, fdopen_slot(&unix_pipeline, fd, false));
        EXPECT_EQ(EBADF, errno);
    }
}

// A child holds no end of any pipe but its own: not the streams handed to
// the caller (a later child holding the write end would keep the first stage
// from seeing end of file, one holding a read end would keep a writer from
// its SIGPIPE), not the pipes between other stages.
TEST(UnixFdopen, LaterChildrenHoldNoEndOfThePipes)
{
    int into[2], from[2], seen[2];
    ASSERT_EQ(0, unix_ops.make_pipe(&unix_pipeline, into, false));
    ASSERT_EQ(0, unix_ops.make_pipe(&unix_pipeline, from, false));
    ASSERT_EQ(0, pipe2(seen, O_CLOEXEC));
    FILE *writing = unix_ops.fdopen_write(&unix_pipeline, into[1], false);
    FILE *reading = unix_ops.fdopen_read(&unix_pipeline, from[0], false);
    ASSERT_NE(nullptr, writing);
    ASSERT_NE(nullptr, reading);
    const int inheritable = dup(2);   // shows that the check sees what is held

    pid_t pid = start_probe({"fds"}, 0, seen[1]);
    const std::string listed = read_to_end(seen[0]);
    const std::set<int> held = parse_fd_list(listed);
    close(seen[0]);
    int status;
    waitpid(pid, &status, 0);
    for (int fd : {into[0], into[1], from[0], from[1]})
        EXPECT_EQ(0u, held.count(fd)) << fd << " in " << listed;
    EXPECT_EQ(1u, held.count(inheritable)) << listed;
    close(inheritable);
    fclose(writing);
    fclose(reading);
    close(into[0]);
    close(from[1]);
}

// A stage whose standard error goes to a pipe that the caller never reads:
// once release closes the caller's end, the child's writes fail and it ends,
// even when it ignores the SIGTERM that release sends first. A child holding
// the read end itself would block on the full pipe for ever, and release
// with it; the alarm turns such a hang into a failure.
TEST(UnixMakePipe, ReleaseEndsAChildWritingToAnUnreadErrorPipe)
{
    int status = in_child([] {
        alarm(20);
        const char *argv[] = {"/bin/sh", "-c", "trap '' TERM; exec head -c 1000000 /dev/zero >&2",
                              nullptr};
        pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "tester", nullptr);
        int error_number = 0;
        if (pex_run_stage(pipeline, PEX_FINAL | PEX_STDERR_TO_PIPE, argv[0], argv, nullptr,
                          nullptr, &error_number) != nullptr)
            _exit(2);
        if (pex_stderr_stream(pipeline, false) == nullptr)
            _exit(3);
        pex_release(pipeline);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

TEST(UnixWaitChild, GivesTheRawStatusAndZero)
{
    const struct {
        const char *what;
        std::vector<const char *> args;
        bool kill_first;
        bool with_times;
        bool exited;
        int code_or_signal;
    } cases[] = {
        {"exit 3", {"exit", "3"}, false, false, true, 3},
        {"exit 3, with times", {"exit", "3"}, false, true, true, 3},
        {"killed by SIGKILL", {"kill", "9"}, false, false, false, SIGKILL},
        {"still reading, ended by kill_first", {"cat"}, true, false, false, SIGTERM},
        {"still reading, ended by kill_first, with times", {"cat"}, true, true, false, SIGTERM},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int in[2];   // the write end stays here, so cat does not end by itself
        ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
        pid_t pid = start_probe(c.args, in[0]);
        pex_child_times times = {-1, -1, -1, -1};
        int status = -1;
        const char *message = "untouched";
        int error_number = -1;

        EXPECT_EQ(0, unix_ops.wait_child(&unix_pipeline, pid, &status, c.with_times ? &times : nullptr,
                                         c.kill_first, &message, &error_number));
        close(in[1]);
        EXPECT_STREQ("untouched", message);
        if (c.exited)
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.code_or_signal) << status;
        else
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.code_or_signal) << status;
        if (c.with_times) {
            EXPECT_GE(times.user_seconds, 0);
            EXPECT_GE(times.system_seconds, 0);
            for (int64_t microseconds : {times.user_microseconds, times.system_microseconds}) {
                EXPECT_GE(microseconds, 0);
                EXPECT_LT(microseconds, 1000000);
            }
        } else {
            EXPECT_EQ(-1, times.user_seconds) << "times written though null was given";
        }
    }
}

TEST(UnixWaitChild, TimesAreTheChildsCpuTime)
{
    const char *argv[] = {"/bin/sh", "-c", "i=0; while [ $i -lt 100000 ]; do i=$((i+1)); done",
                          nullptr};
    const char *message = nullptr;
    int error_number = 0;
    pid_t pid = unix_ops.spawn_child(&unix_pipeline, PEX_NO_STAGE_FLAGS, argv[0], argv, nullptr,
                                     0, 1, 2, -1, &message, &error_number);
    ASSERT_GT(pid, 0);
    pex_child_times times = {};
    int status = -1;
    ASSERT_EQ(0, unix_ops.wait_child(&unix_pipeline, pid, &status, &times, false, &message,
                                     &error_number));
    EXPECT_GT(times.user_seconds * 1000000 + times.user_microseconds, 0);
}

TEST(UnixWaitChild, NotAChildGivesWaitAndEchild)
{
    for (bool with_times : {false, true}) {
        SCOPED_TRACE(with_times ? "with times" : "without times");
        pex_child_times times = {};
        int status = 0;
        const char *message = nullptr;
        int error_number = 0;
        EXPECT_EQ(-1, unix_ops.wait_child(&unix_pipeline, getpid(), &status,
                                          with_times ? &times : nullptr, false, &message,
                                          &error_number));
        EXPECT_STREQ("wait", message);
        EXPECT_EQ(ECHILD, error_number);
    }
}

TEST(PexCreate, BindsTheUnixBackEnd)
{
    pex_pipeline *pipeline = pex_create(PEX_KEEP_TIMES | PEX_PIPES, "name", nullptr);
    ASSERT_NE(nullptr, pipeline);
    EXPECT_EQ(&pex_unix_backend, pipeline->backend);
    EXPECT_EQ(PEX_KEEP_TIMES | PEX_PIPES, pipeline->flags);
    EXPECT_STREQ("name", pipeline->program_name);
    EXPECT_EQ(nullptr, pipeline->backend_data);
    pex_release(pipeline);
}
