// Starting real children through the Unix back end's spawn_child.
#include "pex/unix/pex_unix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/descriptor_bound.h"
#include "tests/emulation.h"
#include "tests/test_util.h"

extern char **environ;

namespace {

const std::string probe = MAVO_PROBE_PATH;
// Starts a file through the back end or the C library's execvp, linked as
// the programs are (tests/program_probe.cc).
const std::string exec_probe = MAVO_PROGRAM_PROBE_PATH;
// A descriptor number below the limit that is closed now: the highest free
// one, which nothing the tests open will take.
int never_open_fd_number()
{
    int fd = descriptor_bound() - 1;
    while (fd > 2 && is_open(fd))
        fd--;
    return fd;
}
const int never_open_fd = never_open_fd_number();

struct spawn_request {
    std::vector<std::string> argv;   // argv[0] is the program run
    pex_stage_flags flags = PEX_NO_STAGE_FLAGS;
    int in_fd = 0;
    int out_fd = 1;
    int err_fd = 2;
    int fd_to_close = -1;
    const char *const *env = nullptr;
};

struct spawn_result {
    pid_t pid;
    const char *message;   // "untouched" unless spawn_child filled it
    int error_number;      // -12345 unless filled
};

spawn_result spawn(const spawn_request &request)
{
    pex_pipeline pipeline = {};
    pipeline.program_name = "tester";
    pipeline.backend = &pex_unix_backend;
    std::vector<const char *> argv;
    for (const std::string &arg : request.argv)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    spawn_result result = {-1, "untouched", -12345};
    result.pid = pex_unix_backend.spawn_child(&pipeline, request.flags, argv[0], argv.data(),
                                              request.env, request.in_fd, request.out_fd,
                                              request.err_fd, request.fd_to_close,
                                              &result.message, &result.error_number);
    return result;
}

int wait_for(pid_t pid)
{
    int status = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// True when this process has no child left, ended or running.
bool no_child_left()
{
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// Reads to end of file and closes `fd`.
std::string read_all(int fd)
{
    std::string text = read_to_end(fd);
    close(fd);
    return text;
}

int open_file(const std::string &path, int flags)
{
    return open(path.c_str(), flags | O_CLOEXEC, 0644);
}

// Descriptors a started program would inherit from this process.
std::set<int> inheritable_fds()
{
    std::set<int> fds;
    for (int fd : open_fds())
        if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0)
            fds.insert(fd);
    return fds;
}

std::string fd_list(const std::set<int> &fds)
{
    std::string text;
    for (int fd : fds)
        text += (text.empty() ? "" : " ") + std::to_string(fd);
    return text + "\n";
}

// Runs `body` in a forked process, for process-wide changes; its EXPECTs
// print there and turn into a failing exit status here.
template <typename Body>
void expect_in_child(Body body)
{
    int status = in_child([&] {
        body();
        if (testing::Test::HasFailure())
            _exit(1);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "raw status " << status;
}

} // namespace

TEST(SpawnChild, WiresStandardStreamsThroughPipesAndFiles)
{
    enum target { to_pipe, to_file };
    const struct {
        const char *what;
        std::vector<std::string> args;
        pex_stage_flags flags;
        target out, err;
        std::string expected_out, expected_err;
    } cases[] = {
        {"input file to output pipe", {"cat"}, PEX_NO_STAGE_FLAGS, to_pipe, to_file, "input text", ""},
        {"input file to output file", {"cat"}, PEX_NO_STAGE_FLAGS, to_file, to_pipe, "input text", ""},
        {"error to pipe", {"echo-err", "oops"}, PEX_NO_STAGE_FLAGS, to_file, to_pipe, "", "oops\n"},
        {"error to file", {"echo-err", "oops"}, PEX_NO_STAGE_FLAGS, to_pipe, to_file, "", "oops\n"},
        {"error joined to output, replacing err_fd", {"echo-err", "oops"}, PEX_STDERR_INTO_STDOUT,
         to_pipe, to_file, "oops\n", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        scoped_temp_dir dir;
        write_file(dir / "in", "input text");
        const std::set<int> before = open_fds();

        int in_fd = open_file(dir / "in", O_RDONLY);
        test_pipe out_pipe, err_pipe;
        int out_fd = c.out == to_pipe ? out_pipe.write_fd : open_file(dir / "out", O_WRONLY | O_CREAT);
        int err_fd = c.err == to_pipe ? err_pipe.write_fd : open_file(dir / "err", O_WRONLY | O_CREAT);
        if (c.out == to_file)
            close(out_pipe.write_fd);
        if (c.err == to_file)
            close(err_pipe.write_fd);
        std::vector<std::string> argv = {probe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());

        spawn_result started = spawn({.argv = argv, .flags = c.flags, .in_fd = in_fd,
                                      .out_fd = out_fd, .err_fd = err_fd});
        ASSERT_GT(started.pid, 0) << started.message << ": " << strerror(started.error_number);
        EXPECT_STREQ("untouched", started.message);
        for (int fd : {in_fd, out_fd, err_fd})
            EXPECT_FALSE(is_open(fd)) << "parent still holds " << fd;

        std::string out = read_all(out_pipe.read_fd);
        std::string err = read_all(err_pipe.read_fd);
        int status = wait_for(started.pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "raw status " << status;
        EXPECT_EQ(c.expected_out, c.out == to_pipe ? out : read_file(dir / "out"));
        EXPECT_EQ(c.expected_err, c.err == to_pipe ? err : read_file(dir / "err"));
        EXPECT_EQ(before, open_fds());
    }
}

TEST(SpawnChild, ProgramHoldsOnlyWhatItWasGiven)
{
    const std::string expected = fd_list([] {
        std::set<int> given = inheritable_fds();
        given.insert({0, 1, 2});
        return given;
    }());
    for (bool with_fd_to_close : {false, true}) {
        SCOPED_TRACE(with_fd_to_close ? "told to close the read end of its own output pipe"
                                      : "nothing to close");
        const std::set<int> before = open_fds();
        // As between stages: an inheritable pipe, whose read end the next
        // stage would get and this child must not keep.
        int fds[2];
        ASSERT_EQ(0, pipe(fds));

        spawn_result started = spawn({.argv = {probe, "fds"}, .out_fd = fds[1],
                                      .fd_to_close = with_fd_to_close ? fds[0] : -1});
        ASSERT_GT(started.pid, 0) << started.message;
        EXPECT_TRUE(is_open(fds[0])) << "fd_to_close is closed in the child only";
        std::string seen = read_all(fds[0]);
        wait_for(started.pid);
        if (with_fd_to_close)
            EXPECT_EQ(expected, seen);
        else
            EXPECT_EQ(1u, parse_fd_list(seen).count(fds[0]))
                << "without fd_to_close the child inherits the read end " << fds[0] << ": " << seen;
        EXPECT_EQ(before, open_fds());
    }
}

TEST(SpawnChild, GivenEnvironmentIsAllTheProgramSees)
{
    const char *const env[] = {"ONE=1", "TWO=two words", nullptr};
    std::string inherited;
    for (char **entry = environ; *entry != nullptr; entry++)
        inherited += std::string(*entry) + "\n";
    const struct {
        const char *what;
        const char *const *env;
        std::string expected;
    } cases[] = {
        {"env given", env, "ONE=1\nTWO=two words\n"},
        {"env null", nullptr, inherited},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        char **const environ_before = environ;
        test_pipe out;
        spawn_result started = spawn({.argv = {probe, "env"}, .out_fd = out.write_fd, .env = c.env});
        ASSERT_GT(started.pid, 0) << started.message;
        if (!vfork_shares_memory())
            note_emulation("vfork runs as fork: the child cannot change the parent's environ, "
                           "so its restoration is not shown here");
        EXPECT_EQ(environ_before, environ);
        std::string seen = read_all(out.read_fd);
        if (exec_keeps_environment_order()) {
            EXPECT_EQ(c.expected, seen);
        } else {
            note_emulation("exec hands the environment over reordered: compared as a set");
            EXPECT_EQ(sorted_lines(c.expected), sorted_lines(seen));
        }
        wait_for(started.pid);
    }
}

static void do_nothing(int) {}

// The program starts with the caller's mask, though every signal is blocked
// around vfork, and with each signal the caller names at its default: caught
// ones would be reset by exec anyway, but the child resets them before it
// unblocks, so none of the caller's handlers runs in it. An ignored signal
// that is named is reset too, as posix_spawn's set of signals to default
// does; one not named stays ignored.
TEST(SpawnChild, ProgramStartsWithTheCallersMaskAndNamedSignalsAtDefault)
{
    expect_in_child([] {
        struct sigaction catching = {};
        catching.sa_handler = do_nothing;
        sigaction(SIGTERM, &catching, nullptr);
        sigaction(SIGUSR1, &catching, nullptr);
        signal(SIGINT, SIG_IGN);
        signal(SIGQUIT, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        sigprocmask(SIG_SETMASK, &blocked, nullptr);
        static const int named[] = {SIGTERM, SIGINT};
        pex_set_child_default_signals(named, 2);

        test_pipe out;
        std::vector<std::string> argv = {probe, "signals"};
        for (int signal_number : {SIGTERM, SIGUSR1, SIGINT, SIGQUIT, SIGUSR2})
            argv.push_back(std::to_string(signal_number));
        spawn_result started = spawn({.argv = argv, .out_fd = out.write_fd});
        pex_set_child_default_signals(nullptr, 0);
        ASSERT_GT(started.pid, 0) << started.message;
        wait_for(started.pid);
        EXPECT_EQ(std::to_string(SIGTERM) + " default\n" + std::to_string(SIGUSR1) + " default\n" +
                      std::to_string(SIGINT) + " default\n" + std::to_string(SIGQUIT) + " ignored\n" +
                      std::to_string(SIGUSR2) + " default blocked\n",
                  read_all(out.read_fd));
        sigset_t now;
        sigprocmask(SIG_SETMASK, nullptr, &now);
        EXPECT_EQ(1, sigismember(&now, SIGUSR2));
        EXPECT_EQ(0, sigismember(&now, SIGTERM)) << "the parent's mask is restored after vfork";
    });
}

TEST(SpawnChild, FailedStartGivesStepAndErrnoAndLeavesNoChild)
{
    scoped_temp_dir dir;
    write_file(dir / "not-executable", "#!/bin/sh\nexit 0\n", 0644);
    write_file(dir / "no-interpreter", "#!" + dir / "missing-shell" + "\nexit 0\n", 0755);
    write_file(dir / "no-interpreter-line", "echo ran\n", 0755);
    // A PATH of our own: along the caller's, a directory this user may not
    // search would turn the missing name's ENOENT into EACCES.
    const std::string path_entry = "PATH=" + dir / "no-such-dir" + ":" + dir.path;
    const char *const env[] = {path_entry.c_str(), nullptr};
    const struct {
        const char *what;
        std::string program;
        pex_stage_flags flags;
        bool bad_fd_to_close;
        bool bad_in_fd;
        const char *step;
        int error_number;
    } cases[] = {
        {"missing path", dir / "missing", PEX_NO_STAGE_FLAGS, false, false, "execv", ENOENT},
        {"missing bare name along PATH", "mavo-no-such-program", PEX_USE_PATH, false, false,
         "execvp", ENOENT},
        {"directory", dir.path, PEX_NO_STAGE_FLAGS, false, false, "execv", EACCES},
        {"directory with PEX_USE_PATH", dir.path, PEX_USE_PATH, false, false, "execvp", EACCES},
        {"not executable", dir / "not-executable", PEX_NO_STAGE_FLAGS, false, false, "execv", EACCES},
        {"script whose interpreter is missing", dir / "no-interpreter", PEX_NO_STAGE_FLAGS, false,
         false, "execv", ENOENT},
        // execv runs the very file asked for: no shell.
        {"executable without a #! line", dir / "no-interpreter-line", PEX_NO_STAGE_FLAGS, false,
         false, "execv", ENOEXEC},
        {"fd_to_close already closed", probe, PEX_NO_STAGE_FLAGS, true, false, "close", EBADF},
        {"in_fd not open", probe, PEX_NO_STAGE_FLAGS, false, true, "dup2", EBADF},
    };
    ASSERT_FALSE(is_open(never_open_fd));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::set<int> before = open_fds();
        int in_fd = c.bad_in_fd ? never_open_fd : open_file("/dev/null", O_RDONLY);
        test_pipe out, err;

        spawn_result started = spawn({.argv = {c.program, "echo", "ran"}, .flags = c.flags,
                                      .in_fd = in_fd, .out_fd = out.write_fd,
                                      .err_fd = err.write_fd,
                                      .fd_to_close = c.bad_fd_to_close ? never_open_fd : -1,
                                      .env = env});
        EXPECT_EQ(pex_spawn_failed, started.pid);
        EXPECT_STREQ(c.step, started.message);
        EXPECT_EQ(c.error_number, started.error_number) << strerror(started.error_number);
        EXPECT_TRUE(no_child_left()) << "the failed child was not reaped";
        for (int fd : {in_fd, out.write_fd, err.write_fd})
            EXPECT_TRUE(fd == never_open_fd || is_open(fd)) << fd << " is the caller's to close";

        if (!c.bad_in_fd)
            close(in_fd);
        close(out.write_fd);
        close(err.write_fd);
        EXPECT_EQ("", read_all(out.read_fd)) << "the program ran";
        EXPECT_EQ("", read_all(err.read_fd));
        EXPECT_EQ(before, open_fds());
    }
}

// An executable file without a "#!" line, which exec refuses with ENOEXEC:
// the searching exec of a name holding '/' runs it through /bin/sh, the
// non-searching one fails, and a bare name found along PATH fares exactly as
// under the C library's own execvp (glibc's runs the shell, musl's does not).
// Run through a probe linked as the programs are, so that the musl build
// shows what the programs' C library does.
TEST(SpawnChild, ShellRunsAFileWithoutInterpreterLineOnlyWhereExecvpWould)
{
    scoped_temp_dir dir;
    write_file(dir / "tool", "printf '%s\\n' \"$0\" \"$@\"\nexit 3\n", 0755);
    const std::vector<std::string> arguments = {"x", "y z", "", "-c"};
    std::string as_script = dir / "tool\n";
    for (const std::string &argument : arguments)
        as_script += argument + "\n";
    as_script += "exited 3\n";
    const std::string refused = "failed execv " + std::to_string(ENOEXEC) + "\n";
    // The probe starts with its working directory in the temporary tree and
    // PATH on it alone.
    std::vector<std::string> env = environment_with({"PATH=" + dir.path});
    auto start = [&](const char *mode, const std::string &file) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "cd \"$1\" && shift && exec \"$@\"", "sh",
                                         dir.path, exec_probe, mode, file, "given-argv0"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return run_program(argv, &env);
    };
    const struct {
        const char *what;
        const char *mode;
        std::string file;
        std::string expected_out;
    } cases[] = {
        // The shell sets $0 from its operand, the file: argv[0] is lost.
        {"searching exec of an absolute path", "execvp", dir / "tool", as_script},
        {"searching exec of a relative path", "execvp", "./tool",
         "./tool" + as_script.substr(as_script.find('\n'))},
        {"non-searching exec of an absolute path", "execv", dir / "tool", refused},
        {"non-searching exec of a relative path", "execv", "./tool", refused},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        run_result r = start(c.mode, c.file);
        EXPECT_EQ(c.expected_out, r.out);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(0, r.exit_code());
    }

    SCOPED_TRACE("bare name found along PATH");
    run_result libc = start("libc-execvp", "tool");
    EXPECT_EQ("", libc.err);
    EXPECT_EQ(0, libc.exit_code());
    // Either C library's way, and nothing else: a probe that ran nothing
    // must not pass for one.
    const std::string no_shell = "failed execvp " + std::to_string(ENOEXEC) + "\n";
    ASSERT_TRUE(libc.out == as_script || libc.out == no_shell) << libc.out;
    run_result back_end = start("execvp", "tool");
    EXPECT_EQ(libc.out, back_end.out) << "the C library's execvp gave this";
    EXPECT_EQ(libc.err, back_end.err);
    EXPECT_EQ(0, back_end.exit_code());
}

// With no descriptor left for the report pipe, the child prints its failure
// and the caller sees a started child with status 255, or 254 when even that
// message cannot be written.
TEST(SpawnChild, WithoutReportPipeTheChildPrintsItsFailure)
{
    const struct {
        const char *what;
        int err_flags;
        int exit_code;
    } cases[] = {
        {"message written", O_WRONLY | O_CREAT | O_TRUNC, 255},
        {"message cannot be written", O_RDONLY, 254},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        scoped_temp_dir dir;
        write_file(dir / "err", "");
        const std::string missing = dir / "missing";
        expect_in_child([&] {
            int err_fd = open_file(dir / "err", c.err_flags);
            ASSERT_GE(err_fd, 0);
            rlimit limit = {static_cast<rlim_t>(err_fd + 1), static_cast<rlim_t>(err_fd + 1)};
            ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
            while (dup(0) >= 0) {
            }

            spawn_result started = spawn({.argv = {missing}, .err_fd = err_fd});
            ASSERT_GT(started.pid, 0) << started.message;
            EXPECT_STREQ("untouched", started.message);
            EXPECT_FALSE(is_open(err_fd));
            int status = wait_for(started.pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exit_code)
                << "raw status " << status;
        });
        const std::string expected = c.exit_code == 254 ? ""
            : "tester: error trying to exec '" + missing + "': execv: " + strerror(ENOENT) + "\n";
        EXPECT_EQ(expected, read_file(dir / "err"));
    }
}

// When the caller runs with standard descriptors closed, the report pipe
// lands there, and the child's wiring of 0, 1 and 2 would replace its write
// end: the failure report would go into the program's stream while the parent
// saw a clean start.
TEST(SpawnChild, ReportArrivesWhenStandardDescriptorsAreClosed)
{
    const std::vector<int> closed_sets[] = {{0, 1}, {1, 2}, {0, 2}};
    for (const std::vector<int> &closed : closed_sets) {
        SCOPED_TRACE(testing::PrintToString(closed));
        scoped_temp_dir dir;
        expect_in_child([&] {
            int out_fd = open_file(dir / "out", O_WRONLY | O_CREAT);
            int err_fd = open_file(dir / "err", O_WRONLY | O_CREAT);
            int saved[3];
            for (int fd = 0; fd < 3; fd++)
                saved[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 3);
            ASSERT_FALSE(is_open(never_open_fd));
            for (int fd : closed)
                close(fd);
            spawn_result started = spawn({.argv = {probe, "echo", "ran"}, .out_fd = out_fd,
                                          .err_fd = err_fd, .fd_to_close = never_open_fd});
            for (int fd = 0; fd < 3; fd++)
                dup2(saved[fd], fd);
            EXPECT_EQ(pex_spawn_failed, started.pid);
            EXPECT_STREQ("close", started.message);
            EXPECT_EQ(EBADF, started.error_number);
            EXPECT_TRUE(no_child_left());
        });
        EXPECT_EQ("", read_file(dir / "out"));
        EXPECT_EQ("", read_file(dir / "err"));
    }
}

namespace {

// Scripted stand-ins for vfork's refusal, the retry's sleep and the parent's
// close; restored after each test.
int refusals_left;
int vfork_calls;
std::vector<unsigned> slept;

int scripted_refusal()
{
    vfork_calls++;
    return refusals_left-- > 0 ? EAGAIN : 0;
}

unsigned recorded_sleep(unsigned seconds)
{
    slept.push_back(seconds);
    errno = EINTR;   // as a real sleep may leave it
    return 0;
}

// Each descriptor named here fails its close once, with the errno given.
std::map<int, int> failing_closes;

int close_failing_as_scripted(int fd)
{
    auto failing = failing_closes.find(fd);
    if (failing == failing_closes.end())
        return close(fd);
    errno = failing->second;
    failing_closes.erase(failing);
    return -1;
}

class SpawnChildSeams : public testing::Test {
protected:
    void TearDown() override
    {
        pex_unix_vfork_refusal = nullptr;
        pex_unix_sleep = sleep;
        pex_unix_parent_close = close;
    }
};

} // namespace

TEST_F(SpawnChildSeams, RefusedVforkIsRetriedFourTimesWithDoublingSleeps)
{
    const struct {
        int refusals;
        int vfork_calls;
        std::vector<unsigned> sleeps;
    } cases[] = {
        {0, 1, {}},
        {1, 2, {1}},
        {3, 4, {1, 2, 4}},
        {4, 4, {1, 2, 4, 8}},
        {100, 4, {1, 2, 4, 8}},
    };
    pex_unix_vfork_refusal = scripted_refusal;
    pex_unix_sleep = recorded_sleep;
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.refusals << " refusals");
        refusals_left = c.refusals;
        vfork_calls = 0;
        slept.clear();
        const std::set<int> before = open_fds();
        test_pipe out;

        spawn_result started = spawn({.argv = {probe, "exit", "3"}, .out_fd = out.write_fd});
        EXPECT_EQ(c.vfork_calls, vfork_calls);
        EXPECT_EQ(c.sleeps, slept);
        if (c.refusals < 4) {
            ASSERT_GT(started.pid, 0) << started.message;
            int status = wait_for(started.pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << "raw status " << status;
        } else {
            EXPECT_EQ(pex_spawn_failed, started.pid);
            EXPECT_STREQ("vfork", started.message);
            EXPECT_EQ(EAGAIN, started.error_number) << "errno of the last attempt, not the sleep's";
            EXPECT_TRUE(is_open(out.write_fd)) << "out_fd is the caller's after a failure";
            close(out.write_fd);
        }
        close(out.read_fd);
        EXPECT_EQ(before, open_fds()) << "report pipe left open";
    }
}

// The program is running when the close fails; reported as not started, it
// could never be waited for, so it must not outlive the call. The closes go
// on past the failing one, so the caller holds none of the three, and the
// error is the first failure's: the later ones may follow from it.
TEST_F(SpawnChildSeams, FailedCloseInParentClosesAllAndEndsTheProgram)
{
    pex_unix_parent_close = close_failing_as_scripted;
    test_pipe in, out, err;   // in.write_fd stays open: cat would never end by itself
    failing_closes = {{in.read_fd, EIO}, {out.write_fd, ENOSPC}};

    spawn_result started = spawn({.argv = {probe, "cat"}, .in_fd = in.read_fd,
                                  .out_fd = out.write_fd, .err_fd = err.write_fd});
    EXPECT_EQ(pex_spawn_failed_fds_closed, started.pid);
    EXPECT_STREQ("close", started.message);
    EXPECT_EQ(EIO, started.error_number);
    EXPECT_FALSE(is_open(err.write_fd)) << "closed after the failing closes too";
    EXPECT_TRUE(no_child_left());
}
