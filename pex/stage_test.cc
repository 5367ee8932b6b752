// Stage launch, output names and the one-shot run: the wiring and every
// failure against the fake back end, then real pipelines on the Unix one.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "pex/fake_backend_test.h"
#include "pex/pex.h"
#include "pex/unix/pex_unix.h"
#include "support/temp_file.h"
#include "tests/test_util.h"

static const char probe[] = MAVO_PROBE_PATH;

static std::string failure(const char *message, int error_number)
{
    return std::string(message) + " (" + std::to_string(error_number) + ")";
}

// One launch that is to fail: the pipeline it runs on, what comes before
// it, the launch itself, and the failure expected.
struct launch_case {
    const char *what;
    pex_pipeline_flags flags;
    const char *temp_stem;
    std::function<void(pex_pipeline *)> before;
    pex_stage_flags stage_flags;
    const char *outname, *errname;
    std::string expected;
};

// ---- Against the fake back end ----

TEST(PexRunStage, WiresTheCallersStreamsAndNeverClosesThem)
{
    pex_pipeline *pipeline = fake_pipeline();
    ASSERT_EQ("", fake_launch(pipeline, PEX_FINAL | PEX_USE_PATH));
    ASSERT_EQ(1u, fake.spawns.size());
    const fake_spawn &spawn = fake.spawns[0];
    EXPECT_EQ((std::vector<int>{0, 1, 2, -1}),
              (std::vector<int>{spawn.in_fd, spawn.out_fd, spawn.err_fd, spawn.fd_to_close}));
    EXPECT_EQ(PEX_FINAL | PEX_USE_PATH, spawn.stage_flags);
    EXPECT_FALSE(spawn.has_env);
    pex_release(pipeline);
    EXPECT_TRUE(fake.bad_closes.empty());
}

TEST(PexRunStage, PipeConnectedStages)
{
    pex_pipeline *pipeline = fake_pipeline(PEX_PIPES);
    ASSERT_EQ("", fake_launch(pipeline, PEX_NO_STAGE_FLAGS, "ignored.out"));
    ASSERT_EQ("", fake_launch(pipeline, PEX_FINAL, "last.out", "last.err"));
    ASSERT_EQ(2u, fake.spawns.size());
    const fake_spawn &first = fake.spawns[0], &last = fake.spawns[1];
    // Pipe 100 -> 101: the first child writes 101 and must not keep 100.
    EXPECT_EQ((std::vector<int>{0, 101, 2, 100}),
              (std::vector<int>{first.in_fd, first.out_fd, first.err_fd, first.fd_to_close}));
    EXPECT_EQ((std::vector<int>{100, 102, 103, -1}),
              (std::vector<int>{last.in_fd, last.out_fd, last.err_fd, last.fd_to_close}));
    EXPECT_EQ((std::vector<std::string>{"last.out", "last.err"}), fake.opened_outputs);
    pex_release(pipeline);
    EXPECT_TRUE(fake.open_fds.empty());
    EXPECT_TRUE(fake.bad_closes.empty());
}

TEST(PexRunStage, FileConnectedStagesAndOutputNames)
{
    // The pipeline keeps its own copy of a caller's name, with or without
    // the removal list: the caller's buffer is reused before the next launch.
    for (pex_pipeline_flags flags : {PEX_NO_PIPELINE_FLAGS, PEX_KEEP_TEMPS}) {
        SCOPED_TRACE(int(flags));
        pex_pipeline *pipeline = fake_pipeline(flags, "stem-");
        std::string name = "first.out";
        ASSERT_EQ("", fake_launch(pipeline, PEX_APPEND_OUT, name.c_str()));
        name.assign("XXXXXXXXX");
        ASSERT_EQ("", fake_launch(pipeline, PEX_FINAL | PEX_OUTNAME_SUFFIX | PEX_APPEND_ERR, ".s",
                                  "errors"));
        EXPECT_EQ(std::vector<std::string>{"first.out"}, fake.opened_inputs);
        EXPECT_EQ((std::vector<std::string>{"first.out (append)", "stem-.s", "errors (append)"}),
                  fake.opened_outputs);
        EXPECT_EQ(-1, fake.spawns[0].fd_to_close);
        EXPECT_EQ(flags == PEX_KEEP_TEMPS ? 0 : 1, pipeline->temp_file_count);
        pex_release(pipeline);
    }
}

TEST(PexRunStage, PassesTheEnvironment)
{
    pex_pipeline *pipeline = fake_pipeline();
    const char *const env[] = {"A=1", nullptr};
    int error_number = -1;
    ASSERT_EQ(nullptr, pex_run_stage_env(pipeline, PEX_FINAL, "stage", fake_argv, env, nullptr,
                                         nullptr, &error_number));
    EXPECT_TRUE(fake.spawns[0].has_env);
    EXPECT_EQ(-1, error_number);   // untouched on success
    pex_release(pipeline);
}

// Every way a launch fails: its message and number, nothing started, and
// exactly the descriptors it took given back, none twice.
TEST(PexRunStage, EveryFailureGivesBackWhatTheLaunchHeld)
{
    auto stage_to_file = [](pex_pipeline *p) { ASSERT_EQ("", fake_launch(p, PEX_NO_STAGE_FLAGS, "one.out")); };
    auto stage_to_pipe = [](pex_pipeline *p) { ASSERT_EQ("", fake_launch(p, PEX_NO_STAGE_FLAGS)); };
    // A stage to a pipe, then a start that the back end fails as given.
    auto start_fails = [&](pid_t result, const char *message, int error_number) {
        return [=](pex_pipeline *p) {
            stage_to_pipe(p);
            fake.spawn_result = result;
            fake.spawn_message = message;
            fake.spawn_errno = error_number;
        };
    };
    const launch_case cases[] = {
        {"earlier wait fails", PEX_NO_PIPELINE_FLAGS, nullptr,
         [&](pex_pipeline *p) { stage_to_file(p); fake.wait_errno = {{1001, ECHILD}}; },
         PEX_FINAL, nullptr, nullptr, failure("wait", ECHILD)},
        {"input file", PEX_NO_PIPELINE_FLAGS, nullptr,
         [&](pex_pipeline *p) { stage_to_file(p); fake.open_errno = {{"one.out", ENOENT}}; },
         PEX_FINAL, nullptr, nullptr, failure("open temporary file", ENOENT)},
        {"after final", PEX_PIPES, nullptr,
         [](pex_pipeline *p) { ASSERT_EQ("", fake_launch(p, PEX_FINAL)); },
         PEX_FINAL, nullptr, nullptr, failure("pipeline already complete", 0)},
        {"after a final stage with an error pipe", PEX_PIPES, nullptr,
         [](pex_pipeline *p) { ASSERT_EQ("", fake_launch(p, PEX_FINAL | PEX_STDERR_TO_PIPE)); },
         PEX_FINAL, nullptr, nullptr, failure("pipeline already complete", 0)},
        {"output pipe", PEX_PIPES, nullptr,
         [&](pex_pipeline *p) { stage_to_pipe(p); fake.make_pipe_errno = {{2, EMFILE}}; },
         PEX_NO_STAGE_FLAGS, nullptr, nullptr, failure("pipe", EMFILE)},
        {"no temporary name", PEX_NO_PIPELINE_FLAGS, "/nonexistent-mavo-dir/stem", nullptr,
         PEX_NO_STAGE_FLAGS, nullptr, nullptr, failure("could not create temporary file", 0)},
        {"final output", PEX_PIPES, nullptr,
         [&](pex_pipeline *p) { stage_to_pipe(p); fake.open_errno = {{"final.out", EACCES}}; },
         PEX_FINAL, "final.out", nullptr, failure("open temporary output file", EACCES)},
        {"middle output", PEX_NO_PIPELINE_FLAGS, nullptr,
         [&](pex_pipeline *p) { stage_to_file(p); fake.open_errno = {{"mid.out", EISDIR}}; },
         PEX_NO_STAGE_FLAGS, "mid.out", nullptr, failure("open temporary output file", EISDIR)},
        {"suffix without stem", PEX_PIPES, nullptr, stage_to_pipe,
         PEX_FINAL | PEX_OUTNAME_SUFFIX, ".s", nullptr,
         failure("PEX_OUTNAME_SUFFIX used without a temporary file stem", 0)},
        {"error name and pipe", PEX_PIPES, nullptr, stage_to_pipe,
         PEX_FINAL | PEX_STDERR_TO_PIPE, "final.out", "final.err",
         failure("both ERRNAME and PEX_STDERR_TO_PIPE specified.", 0)},
        {"error pipe before", PEX_PIPES, nullptr,
         [](pex_pipeline *p) { ASSERT_EQ("", fake_launch(p, PEX_STDERR_TO_PIPE)); },
         PEX_FINAL, "final.out", nullptr,
         failure("PEX_STDERR_TO_PIPE used in the middle of pipeline", 0)},
        {"error pipe before, error name", PEX_PIPES, nullptr,
         [](pex_pipeline *p) { ASSERT_EQ("", fake_launch(p, PEX_STDERR_TO_PIPE)); },
         PEX_NO_STAGE_FLAGS, nullptr, "final.err",
         failure("PEX_STDERR_TO_PIPE used in the middle of pipeline", 0)},
        {"error file", PEX_PIPES, nullptr,
         [&](pex_pipeline *p) { stage_to_pipe(p); fake.open_errno = {{"final.err", ENOENT}}; },
         PEX_FINAL, "final.out", "final.err", failure("open error file", ENOENT)},
        {"error pipe", PEX_PIPES, nullptr,
         [](pex_pipeline *) { fake.make_pipe_errno = {{2, EMFILE}}; },
         PEX_STDERR_TO_PIPE, nullptr, nullptr, failure("pipe", EMFILE)},
        {"start", PEX_PIPES, nullptr, start_fails(pex_spawn_failed, "execvp", ENOENT),
         PEX_STDERR_TO_PIPE, nullptr, nullptr, failure("execvp", ENOENT)},
        {"start, descriptors already closed", PEX_PIPES, nullptr,
         start_fails(pex_spawn_failed_fds_closed, "close", EIO), PEX_FINAL, "final.out", "final.err",
         failure("close", EIO)},
    };
    for (const launch_case &c : cases) {
        SCOPED_TRACE(c.what);
        pex_pipeline *pipeline = fake_pipeline(c.flags, c.temp_stem);
        if (c.before)
            c.before(pipeline);
        int children = pipeline->child_count;
        int error_number = -1;
        EXPECT_EQ(c.expected, [&] {
            std::string message = fake_launch(pipeline, c.stage_flags, c.outname, c.errname, &error_number);
            return failure(message.c_str(), error_number);
        }());
        EXPECT_EQ(children, pipeline->child_count);
        // What is still open is what the pipeline holds for release.
        std::set<int> held;
        for (int fd : {pipeline->pending_in_fd, pipeline->err_pipe_fd})
            if (fd > 2)
                held.insert(fd);
        EXPECT_EQ(held, fake.open_fds);
        pex_release(pipeline);
        EXPECT_TRUE(fake.open_fds.empty());
        EXPECT_EQ(std::vector<int>{}, fake.bad_closes);
    }
}

// A failed launch after the input stream was closed: "closing pipeline input
// file" with its errno, and the stream is never closed again.
TEST(PexRunStage, FailedCloseOfTheInputStream)
{
    pex_pipeline *pipeline = fake_pipeline();
    FILE *input = pex_open_input_file(pipeline, PEX_NO_STAGE_FLAGS, "/dev/null");
    ASSERT_NE(nullptr, input);
    fputs("lost", input);
    close(fileno(input));
    int error_number = -1;
    EXPECT_EQ("closing pipeline input file", fake_launch(pipeline, PEX_FINAL, nullptr, nullptr, &error_number));
    EXPECT_EQ(EBADF, error_number);
    EXPECT_EQ(nullptr, pipeline->caller_in_stream);
    EXPECT_EQ("", fake_launch(pipeline, PEX_FINAL));
    EXPECT_EQ(std::vector<std::string>{"/dev/null"}, fake.opened_inputs);
    pex_release(pipeline);
}

TEST(PexTempName, NamesFromTheStem)
{
    scoped_temp_dir dir;
    struct {
        std::string stem;
        std::string kept_prefix;   // then six characters made up
    } cases[] = {
        {dir / "fileXXXXXX", dir / "file"},
        {dir / "abc", dir / "abc"},
        {dir / "XXXXX", dir / "XXXXX"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stem);
        pex_pipeline *pipeline = fake_pipeline(PEX_NO_PIPELINE_FLAGS, c.stem.c_str());
        char *name = pex_temp_name(pipeline, PEX_NO_STAGE_FLAGS, nullptr);
        ASSERT_NE(nullptr, name);
        std::string text = name;
        EXPECT_EQ(c.kept_prefix.size() + 6, text.size());
        EXPECT_EQ(c.kept_prefix, text.substr(0, c.kept_prefix.size()));
        EXPECT_TRUE(file_exists(text));
        free(name);
        pex_release(pipeline);
    }

    // A stem that is nothing but the six characters: all six are made up, in
    // the working directory.
    std::string bare = answer_from_child([&] {
        if (chdir(dir.path.c_str()) != 0)
            return std::string("no working directory");
        pex_pipeline *pipeline = fake_pipeline(PEX_NO_PIPELINE_FLAGS, "XXXXXX");
        char *name = pex_temp_name(pipeline, PEX_NO_STAGE_FLAGS, nullptr);
        std::string text = name != nullptr ? name : "(null)";
        free(name);
        pex_release(pipeline);
        return text;
    });
    EXPECT_EQ(6u, bare.size()) << bare;
    EXPECT_NE("XXXXXX", bare);
    EXPECT_TRUE(file_exists(dir / bare)) << bare;

    pex_pipeline *pipeline = fake_pipeline(PEX_NO_PIPELINE_FLAGS, "stem");
    const char outname[] = ".o";
    EXPECT_EQ(outname, pex_temp_name(pipeline, PEX_NO_STAGE_FLAGS, outname));
    char *joined = pex_temp_name(pipeline, PEX_OUTNAME_SUFFIX, outname);
    EXPECT_STREQ("stem.o", joined);
    EXPECT_FALSE(file_exists("stem.o"));
    free(joined);
    pex_release(pipeline);
    EXPECT_EQ(4u, list_dir(dir.path).size());
}

TEST(PexTempName, WithoutStemAFreshFileInTheTemporaryDirectory)
{
    scoped_temp_dir tmp;
    std::string report = answer_from_child([&] {
        setenv("TMPDIR", tmp.path.c_str(), 1);
        pex_pipeline *pipeline = fake_pipeline();
        std::string result;
        for (const char *suffix : {static_cast<const char *>(nullptr), ".o"}) {
            char *name = pex_temp_name(pipeline, suffix != nullptr ? PEX_OUTNAME_SUFFIX : PEX_NO_STAGE_FLAGS, suffix);
            std::string text = name;
            result += text.substr(0, tmp.path.size() + 3) == tmp.path + "/cc" ? "cc" : text;
            result += text.substr(tmp.path.size() + 9) + (file_exists(text) ? " made; " : " missing; ");
            free(name);
        }
        pex_release(pipeline);
        return result;
    });
    EXPECT_EQ("cc made; cc.o made; ", report);
}

// ---- Real pipelines on the Unix back end ----

// Launches a stage: "" when it started, else its failure.
static std::string launch(pex_pipeline *pipeline, pex_stage_flags flags,
                          std::vector<const char *> args, const char *outname = nullptr,
                          const char *errname = nullptr)
{
    args.push_back(nullptr);
    int error_number = -1;
    const char *message = pex_run_stage(pipeline, flags, args[0], args.data(), outname, errname,
                                        &error_number);
    return message != nullptr ? failure(message, error_number) : "";
}


// True when this process has no child left, waited for or not.
static bool no_children_left()
{
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

// Makes the temporary files of this (forked) process go to `dir`.
static bool use_temp_dir(const std::string &dir)
{
    setenv("TMPDIR", dir.c_str(), 1);
    return pick_temp_dir() == dir + "/";
}

TEST(PexRealPipeline, StagesConnectedByTemporaryFiles)
{
    scoped_temp_dir tmp, work;
    for (pex_pipeline_flags flags : {PEX_NO_PIPELINE_FLAGS, PEX_KEEP_TEMPS}) {
        SCOPED_TRACE(int(flags));
        std::string report = answer_from_child([&] {
            if (!use_temp_dir(tmp.path))
                return std::string("temporary directory chosen before");
            std::string out = work / "out";
            std::set<int> fds_before = open_fds();
            pex_pipeline *pipeline = pex_create(flags, "test", nullptr);
            std::string result = launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "echo", "hello"});
            result += launch(pipeline, PEX_NO_STAGE_FLAGS, {"/bin/sh", "-c", "tr a-z A-Z"});
            result += launch(pipeline, PEX_FINAL, {probe, "cat"}, out.c_str());
            result += exit_codes(pipeline, 3) + " ";
            result += std::to_string(list_dir(tmp.path).size()) + " temporary files, ";
            pex_release(pipeline);
            result += std::to_string(list_dir(tmp.path).size()) + " kept; ";
            result += read_file(out);
            result += open_fds() == fds_before ? "" : "descriptors differ";
            result += no_children_left() ? "" : "children left";
            return result;
        });
        EXPECT_EQ(flags == PEX_KEEP_TEMPS ? "000 2 temporary files, 2 kept; HELLO\n"
                                          : "000 2 temporary files, 0 kept; HELLO\n",
                  report);
    }
}

TEST(PexRealPipeline, StagesConnectedByPipesWithErrorFileAndAppending)
{
    scoped_temp_dir work;
    std::string out = work / "out", err = work / "err";
    write_file(out, "old out\n");
    write_file(err, "old err\n");
    std::set<int> fds_before = open_fds();
    for (int round = 0; round < 2; round++) {
        pex_pipeline *pipeline = pex_create(PEX_PIPES, "test", nullptr);
        EXPECT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "echo", "hello"}));
        EXPECT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS,
                             {"/bin/sh", "-c", "tr a-z A-Z; echo stage two >&2"}, nullptr, err.c_str()));
        EXPECT_EQ("", launch(pipeline, PEX_FINAL | PEX_APPEND_OUT | PEX_APPEND_ERR,
                             {"/bin/sh", "-c", "cat; echo stage three >&2"}, out.c_str(), err.c_str()));
        EXPECT_EQ("000", exit_codes(pipeline, 3));
        pex_release(pipeline);
    }
    // The middle stage truncates the error file, the last one appends.
    EXPECT_EQ("old out\nHELLO\nHELLO\n", read_file(out));
    EXPECT_EQ("stage two\nstage three\n", read_file(err));
    EXPECT_EQ(fds_before, open_fds());
}

// Each child's user and system time, whole seconds and microseconds, in
// start order: one child spends a second of user time, the other a second of
// system time, running side by side, and each tells the time it used itself.
TEST(PexRealPipeline, TimingsAreEachChildsUserAndSystemTime)
{
    scoped_temp_dir work;
    const std::string reports[] = {work / "user", work / "system"};
    pex_pipeline *pipeline = pex_create(PEX_PIPES | PEX_KEEP_TIMES, "test", nullptr);
    ASSERT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "cpu", "1000", "0"}, nullptr, reports[0].c_str()));
    ASSERT_EQ("", launch(pipeline, PEX_FINAL, {probe, "cpu", "0", "1000"}, nullptr, reports[1].c_str()));
    pex_child_times times[2];
    ASSERT_EQ(1, pex_get_timings(pipeline, 2, times));
    EXPECT_EQ("00", exit_codes(pipeline, 2));
    pex_release(pipeline);

    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE(reports[i]);
        std::istringstream told(read_file(reports[i]));
        long long user = -1, system = -1;
        ASSERT_TRUE(told >> user >> system) << told.str();
        EXPECT_GE(i == 0 ? user : system, 1000000) << "the child did not get its second";
        // The wait's figures include what the child told, and little more:
        // the child's last moments before it ended.
        const long long collected[] = {times[i].user_seconds * 1000000 + times[i].user_microseconds,
                                       times[i].system_seconds * 1000000 + times[i].system_microseconds};
        const long long own[] = {user, system};
        for (int kind = 0; kind < 2; kind++) {
            SCOPED_TRACE(kind == 0 ? "user time" : "system time");
            EXPECT_GE(collected[kind], own[kind]);
            EXPECT_LE(collected[kind], own[kind] + 300000);
        }
        for (int64_t microseconds : {times[i].user_microseconds, times[i].system_microseconds}) {
            EXPECT_GE(microseconds, 0);
            EXPECT_LT(microseconds, 1000000);
        }
    }
}

TEST(PexRealPipeline, OutputNamesFromTheStem)
{
    scoped_temp_dir work;
    std::string stem = work / "job";
    pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", stem.c_str());
    EXPECT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "echo", "one"}));
    EXPECT_EQ("", launch(pipeline, PEX_OUTNAME_SUFFIX, {probe, "cat"}, ".mid"));
    EXPECT_EQ("", launch(pipeline, PEX_FINAL | PEX_OUTNAME_SUFFIX, {probe, "cat"}, ".out"));
    EXPECT_EQ("000", exit_codes(pipeline, 3));
    std::vector<std::string> during = list_dir(work.path);
    pex_release(pipeline);
    ASSERT_EQ(3u, during.size());
    EXPECT_EQ("job.mid", during[0]);
    EXPECT_EQ("job.out", during[1]);
    EXPECT_EQ(9u, during[2].size());   // "job" and six made up
    EXPECT_EQ(std::vector<std::string>{"job.out"}, list_dir(work.path));
    EXPECT_EQ("one\n", read_file(stem + ".out"));
}

TEST(PexRunOnce, ExitStatusOrWhyItDidNotStart)
{
    const char *const exit_argv[] = {probe, "exit", "3", nullptr};
    int status = -1, error_number = -1;
    EXPECT_EQ(nullptr, pex_run_once(PEX_FINAL | PEX_USE_PATH, probe, exit_argv, "test", nullptr,
                                     nullptr, &status, &error_number));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(3, WEXITSTATUS(status));

    struct {
        pex_stage_flags flags;
        std::string expected;
    } cases[] = {
        {PEX_FINAL | PEX_USE_PATH, failure("execvp", ENOENT)},
        {PEX_FINAL, failure("execv", ENOENT)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        const char *const missing_argv[] = {"missing", nullptr};
        status = 12345;
        const char *message = pex_run_once(c.flags, "/nonexistent-mavo-dir/missing", missing_argv,
                                           "test", nullptr, nullptr, &status, &error_number);
        EXPECT_EQ(c.expected, failure(message != nullptr ? message : "null", error_number));
        EXPECT_EQ(12345, status);
    }
}

// ---- Failures on the real system ----

// The caller's descriptors: those open, less what the pipeline holds.
static std::set<int> callers_fds(const pex_pipeline *pipeline)
{
    std::set<int> fds = open_fds();
    for (int fd : {pipeline->pending_in_fd, pipeline->err_pipe_fd})
        if (fd > 2)
            fds.erase(fd);
    if (pipeline->caller_in_stream != nullptr)
        fds.erase(fileno(pipeline->caller_in_stream));
    return fds;
}

// What a failing launch leaves: its failure, then whatever differs from
// before it in the caller's descriptors, the children and temporary files.
static std::string failed_launch(pex_pipeline *pipeline, pex_stage_flags flags,
                                 std::vector<const char *> args, const char *outname,
                                 const char *errname, const std::string &temp_dir)
{
    std::set<int> fds_before = callers_fds(pipeline);
    std::vector<std::string> temps_before = list_dir(temp_dir);
    int children_before = pipeline->child_count;
    std::string result = launch(pipeline, flags, std::move(args), outname, errname);
    if (callers_fds(pipeline) != fds_before)
        result += ", descriptors differ";
    if (pipeline->child_count != children_before)
        result += ", child started";
    if (list_dir(temp_dir) != temps_before)
        result += ", temporary files differ";
    return result;
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

TEST(PexRealFailures, DescriptorsRunOut)
{
    scoped_temp_dir tmp, work;
    std::string out = work / "out", err = work / "err";
    struct {
        const char *what;
        pex_pipeline_flags flags;
        bool stage_before;        // one stage to a file or pipe first
        int left;                 // free descriptors at the failing launch
        pex_stage_flags stage_flags;
        const char *outname, *errname;
        std::string expected;
    } cases[] = {
        {"output pipe", PEX_PIPES, false, 1, PEX_NO_STAGE_FLAGS, nullptr, nullptr, failure("pipe", EMFILE)},
        {"error pipe", PEX_PIPES, true, 2, PEX_FINAL | PEX_STDERR_TO_PIPE, out.c_str(), nullptr,
         failure("pipe", EMFILE)},
        {"temporary input", PEX_NO_PIPELINE_FLAGS, true, 0, PEX_FINAL, nullptr, nullptr,
         failure("open temporary file", EMFILE)},
        {"temporary output", PEX_NO_PIPELINE_FLAGS, false, 0, PEX_NO_STAGE_FLAGS, out.c_str(), nullptr,
         failure("open temporary output file", EMFILE)},
        {"final output", PEX_PIPES, true, 0, PEX_FINAL, out.c_str(), nullptr,
         failure("open temporary output file", EMFILE)},
        {"error file", PEX_NO_PIPELINE_FLAGS, false, 0, PEX_FINAL, nullptr, err.c_str(),
         failure("open error file", EMFILE)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string report = answer_from_child([&] {
            if (!use_temp_dir(tmp.path))
                return std::string("temporary directory chosen before");
            std::set<int> fds_before = open_fds();
            pex_pipeline *pipeline = pex_create(c.flags, "test", nullptr);
            std::string result;
            if (c.stage_before)
                result += launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "echo", "x"});
            {
                descriptor_filler filler(c.left);
                result += failed_launch(pipeline, c.stage_flags, {probe, "cat"}, c.outname, c.errname,
                                        tmp.path);
            }
            pex_release(pipeline);
            if (open_fds() != fds_before)
                result += ", descriptors differ after release";
            if (!no_children_left())
                result += ", children left";
            if (!list_dir(tmp.path).empty())
                result += ", temporary files left";
            return result;
        });
        EXPECT_EQ(c.expected, report);
    }
}

// Files that cannot be made or opened. The tests run as root: the child
// gives up its privileges first, so that permissions count.
TEST(PexRealFailures, FilesThatCannotBeOpened)
{
    scoped_temp_dir tmp, work;
    chmod(work.path.c_str(), 0755);
    std::string locked = work / "locked";
    ASSERT_EQ(0, mkdir(locked.c_str(), 0555));
    std::string locked_stem = locked + "/stem", locked_file = locked + "/file";
    std::string shared = work / "shared";
    ASSERT_EQ(0, mkdir(shared.c_str(), 0777));
    chmod(shared.c_str(), 0777);
    std::string missing = shared + "/missing", directory = work.path;
    const launch_case cases[] = {
        {"unwritable stem directory", PEX_NO_PIPELINE_FLAGS, locked_stem.c_str(), nullptr,
         PEX_NO_STAGE_FLAGS, nullptr, nullptr, failure("could not create temporary file", 0)},
        {"unwritable output directory", PEX_NO_PIPELINE_FLAGS, nullptr, nullptr, PEX_FINAL,
         locked_file.c_str(), nullptr, failure("open temporary output file", EACCES)},
        {"output is a directory", PEX_NO_PIPELINE_FLAGS, nullptr, nullptr, PEX_FINAL,
         directory.c_str(), nullptr, failure("open temporary output file", EISDIR)},
        {"unwritable error directory", PEX_NO_PIPELINE_FLAGS, nullptr, nullptr, PEX_FINAL, nullptr,
         locked_file.c_str(), failure("open error file", EACCES)},
        {"error file is a directory", PEX_NO_PIPELINE_FLAGS, nullptr, nullptr, PEX_FINAL, nullptr,
         directory.c_str(), failure("open error file", EISDIR)},
        {"input file gone", PEX_NO_PIPELINE_FLAGS, nullptr,
         [&](pex_pipeline *p) {
             pex_open_input_file(p, PEX_NO_STAGE_FLAGS, missing.c_str());
             remove(missing.c_str());
         },
         PEX_FINAL, nullptr, nullptr, failure("open temporary file", ENOENT)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string report = answer_from_child([&] {
            if (!use_temp_dir(tmp.path))
                return std::string("temporary directory chosen before");
            if (!drop_privileges())
                return std::string("cannot drop privileges");
            pex_pipeline *pipeline = pex_create(c.flags, "test", c.temp_stem);
            if (c.before)
                c.before(pipeline);
            std::string result =
                failed_launch(pipeline, c.stage_flags, {probe, "cat"}, c.outname, c.errname, tmp.path);
            pex_release(pipeline);
            if (!no_children_left())
                result += ", children left";
            return result;
        });
        EXPECT_EQ(c.expected, report);
    }
}

static std::vector<int> front_end_closes;

static int recording_close(pex_pipeline *pipeline, int fd)
{
    front_end_closes.push_back(fd);
    return pex_unix_backend.close_fd(pipeline, fd);
}

static int failing_parent_close(int fd)
{
    close(fd);
    errno = EIO;
    return -1;
}

// The back end closed the stage's descriptors itself before it failed: the
// front end must not close them again (one may already be reused).
TEST(PexRealFailures, StartThatFailsAfterClosingItsDescriptors)
{
    scoped_temp_dir work;
    std::string out = work / "out", err = work / "err";
    pex_backend recording = pex_unix_backend;
    recording.close_fd = recording_close;
    std::set<int> fds_before = open_fds();
    pex_pipeline *pipeline = pex_create_common(PEX_PIPES, "test", nullptr, &recording);
    // Writes nothing: the failed launch takes its reader away.
    ASSERT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "exit", "0"}));
    front_end_closes.clear();
    pex_unix_parent_close = failing_parent_close;
    std::string result = launch(pipeline, PEX_FINAL, {probe, "cat"}, out.c_str(), err.c_str());
    pex_unix_parent_close = close;
    EXPECT_EQ(failure("close", EIO), result);
    EXPECT_EQ(std::vector<int>{}, front_end_closes);
    EXPECT_EQ(1, pipeline->child_count);   // the second never counted, and was ended
    EXPECT_EQ("0", exit_codes(pipeline, 1));
    pex_release(pipeline);
    EXPECT_EQ(fds_before, open_fds());
}
