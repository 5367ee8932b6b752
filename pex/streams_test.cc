// The caller's streams into and out of a pipeline, with real children; the
// fake back end for a pipe that no stream can be put on and a wait that
// fails.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "pex/fake_backend_test.h"
#include "pex/pex.h"
#include "pex/pex_test.h"
#include "support/temp_file.h"
#include "tests/test_util.h"

static const std::vector<const char *> upper = {"/bin/sh", "-c", "tr a-z A-Z"};

TEST(PexInputStreams, RefusedOnceTheInputIsChosen)
{
    scoped_temp_dir dir;
    const std::string name = dir / "input", missing_out = dir / "missing/out";
    FILE *input_pipe = nullptr;   // the caller's to close
    struct {
        const char *what;
        pex_pipeline_flags flags;
        std::function<std::string(pex_pipeline *)> before;   // "" when it went well
    } cases[] = {
        {"child started", PEX_PIPES,
         [](pex_pipeline *p) { return launch(p, PEX_NO_STAGE_FLAGS, {probe, "exit", "0"}); }},
        {"input pipe open", PEX_PIPES,
         [&](pex_pipeline *p) {
             input_pipe = pex_open_input_pipe(p, false);
             return std::string(input_pipe != nullptr ? "" : "no input pipe");
         }},
        {"input file open", PEX_PIPES,
         [&](pex_pipeline *p) {
             FILE *input = pex_open_input_file(p, PEX_NO_STAGE_FLAGS, name.c_str());
             return std::string(input != nullptr ? "" : "no input file");
         }},
        {"final stage failed", PEX_PIPES,
         [&](pex_pipeline *p) {
             std::string result = launch(p, PEX_FINAL, {probe, "exit", "0"}, missing_out.c_str());
             return std::string(result.empty() ? "the final stage started" : "");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        pex_pipeline *pipeline = pex_create(c.flags, "test", nullptr);
        ASSERT_EQ("", c.before(pipeline));
        const std::set<int> fds_before = open_fds();
        errno = 0;
        EXPECT_EQ(nullptr, pex_open_input_file(pipeline, PEX_NO_STAGE_FLAGS, (dir / "other").c_str()));
        EXPECT_EQ(EINVAL, errno);
        errno = 0;
        EXPECT_EQ(nullptr, pex_open_input_pipe(pipeline, false));
        EXPECT_EQ(EINVAL, errno);
        EXPECT_EQ(fds_before, open_fds());
        EXPECT_FALSE(file_exists(dir / "other"));
        FILE *input = pipeline->caller_in_stream;
        pex_release(pipeline);
        if (input != nullptr)
            fclose(input);   // release leaves the caller's input stream alone
        if (input_pipe != nullptr)
            fclose(input_pipe);
        input_pipe = nullptr;
    }

    pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", nullptr);
    errno = 0;
    EXPECT_EQ(nullptr, pex_open_input_pipe(pipeline, false));
    EXPECT_EQ(EINVAL, errno);   // needs PEX_PIPES
    pex_release(pipeline);
}

TEST(PexInputStreams, PipeThatCannotBeMade)
{
    std::string report = answer_from_child([] {
        pex_pipeline *pipeline = pex_create(PEX_PIPES, "test", nullptr);
        std::string result;
        {
            descriptor_filler filler(1);
            const std::set<int> fds_before = open_fds();
            errno = 0;
            FILE *input = pex_open_input_pipe(pipeline, false);
            result = input != nullptr ? "opened" : strerror(errno);
            if (open_fds() != fds_before)
                result += ", descriptors differ";
        }
        if (pipeline->pending_in_fd != 0)
            result += ", input no longer the caller's";
        pex_release(pipeline);
        return result;
    });
    EXPECT_EQ(strerror(EMFILE), report);
}

TEST(PexInputStreams, FileThatCannotBeOpened)
{
    scoped_temp_dir dir;
    pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", nullptr);
    errno = 0;
    EXPECT_EQ(nullptr, pex_open_input_file(pipeline, PEX_NO_STAGE_FLAGS, dir.path.c_str()));
    EXPECT_EQ(EISDIR, errno);
    EXPECT_EQ(nullptr, pipeline->pending_in_name);
    EXPECT_EQ(nullptr, pipeline->caller_in_stream);
    EXPECT_TRUE(file_exists(dir.path));
    pex_release(pipeline);
}

// A file that the library named and made, and that the open for writing then
// refuses, is removed again: nobody else knows its name. The stem joined to
// the caller's suffix, or the caller's own name, is a file the library never
// made: it stays. A creation mask without the owner's write bit makes every
// new file one its unprivileged owner cannot open for writing.
TEST(PexInputStreams, RefusedFileIsRemovedOnlyWhenTheLibraryMadeIt)
{
    scoped_temp_dir tmp, work;
    for (const std::string &dir : {tmp.path, work.path})
        chmod(dir.c_str(), 0777);   // for the unprivileged user
    const std::string stem = work / "stem-", callers = work / "callers";
    write_file(stem + ".in", "the caller's\n", 0444);
    write_file(callers, "the caller's\n", 0444);
    const struct {
        const char *what;
        const char *temp_stem;
        pex_stage_flags stage_flags;
        const char *input_name;
    } cases[] = {
        {"fresh temporary file", nullptr, PEX_NO_STAGE_FLAGS, nullptr},
        {"temporary file with the caller's suffix", nullptr, PEX_OUTNAME_SUFFIX, ".in"},
        {"file from the stem", stem.c_str(), PEX_NO_STAGE_FLAGS, nullptr},
        {"stem joined to the caller's suffix", stem.c_str(), PEX_OUTNAME_SUFFIX, ".in"},
        {"the caller's name", nullptr, PEX_NO_STAGE_FLAGS, callers.c_str()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string report = answer_from_child([&] {
            if (!drop_privileges())
                return std::string("cannot drop privileges");
            umask(0277);
            setenv("TMPDIR", tmp.path.c_str(), 1);
            pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", c.temp_stem);
            errno = 0;
            FILE *input = pex_open_input_file(pipeline, c.stage_flags, c.input_name);
            std::string result = input == nullptr ? strerror(errno) : "opened";
            pex_release(pipeline);
            return result;
        });
        EXPECT_EQ(strerror(EACCES), report);
        EXPECT_EQ(std::vector<std::string>{}, list_dir(tmp.path));
        EXPECT_EQ((std::vector<std::string>{"callers", "stem-.in"}), list_dir(work.path));
    }
}

TEST(PexOutputStreams, NothingToReadLeavesErrnoAlone)
{
    pex_pipeline *pipeline = pex_create(PEX_PIPES, "test", nullptr);
    ASSERT_EQ("", launch(pipeline, PEX_FINAL, {probe, "exit", "0"}));
    errno = EDOM;
    EXPECT_EQ(nullptr, pex_stdout_stream(pipeline, false));
    EXPECT_EQ(nullptr, pex_stderr_stream(pipeline, false));
    EXPECT_EQ(EDOM, errno);
    pex_release(pipeline);
}

// The streams on a stage's output and error pipes come at once, with no wait,
// and once.
TEST(PexOutputStreams, PipesAreTakenAtOnceAndOnce)
{
    const std::set<int> fds_before = open_fds();
    pex_pipeline *pipeline = pex_create(PEX_PIPES, "test", nullptr);
    ASSERT_EQ("", launch(pipeline, PEX_STDERR_TO_PIPE, {"/bin/sh", "-c", "echo out; echo err >&2"}));
    FILE *output = pex_stdout_stream(pipeline, false);
    FILE *errors = pex_stderr_stream(pipeline, true);
    ASSERT_NE(nullptr, output);
    ASSERT_NE(nullptr, errors);
    EXPECT_EQ(0, pipeline->reaped_count);
    EXPECT_EQ(nullptr, pex_stdout_stream(pipeline, false));
    EXPECT_EQ(nullptr, pex_stderr_stream(pipeline, false));
    EXPECT_EQ("out\n", read_stream(output));
    EXPECT_EQ("err\n", read_stream(errors));
    EXPECT_EQ(failure("pipeline already complete", 0), launch(pipeline, PEX_FINAL, {probe, "exit", "0"}));
    EXPECT_EQ("0", exit_codes(pipeline, 1));
    pex_release(pipeline);
    EXPECT_EQ(fds_before, open_fds());
}

// Of a stage that wrote a file, the stream comes once every child has ended,
// so the file is complete; the file is removed at release.
TEST(PexOutputStreams, FileIsReadOnceEveryChildHasEnded)
{
    scoped_temp_dir dir;
    const std::string first = dir / "first", last = dir / "last";
    pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", nullptr);
    ASSERT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "echo", "complete"}, first.c_str()));
    ASSERT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "cat"}, last.c_str()));
    FILE *output = pex_stdout_stream(pipeline, false);
    ASSERT_NE(nullptr, output);
    EXPECT_TRUE(all_waited_for(children_of(pipeline)));
    EXPECT_EQ("complete\n", read_stream(output));
    pex_release(pipeline);
    EXPECT_FALSE(file_exists(last));
}

// ---- Pipes no stream can be put on, and a wait that fails: the fake back end ----

TEST(PexInputStreams, PipeThatCannotBeWrapped)
{
    pex_pipeline *pipeline = fake_pipeline(PEX_PIPES);
    fake.fdopen_fails = true;
    errno = 0;
    EXPECT_EQ(nullptr, pex_open_input_pipe(pipeline, true));
    EXPECT_EQ(EMFILE, errno);
    EXPECT_TRUE(fake.open_fds.empty());
    EXPECT_EQ(0, pipeline->pending_in_fd);   // still the caller's standard input
    pex_release(pipeline);
    EXPECT_TRUE(fake.bad_closes.empty());
}

// A descriptor no stream took is closed, not lost.
TEST(PexOutputStreams, PipeThatCannotBeWrapped)
{
    pex_pipeline *pipeline = fake_pipeline(PEX_PIPES);
    ASSERT_EQ("", fake_launch(pipeline, PEX_STDERR_TO_PIPE));
    fake.fdopen_fails = true;
    for (auto take : {pex_stdout_stream, pex_stderr_stream}) {
        errno = 0;
        EXPECT_EQ(nullptr, take(pipeline, false));
        EXPECT_EQ(EMFILE, errno);
    }
    EXPECT_TRUE(fake.open_fds.empty());
    EXPECT_EQ(-1, pipeline->pending_in_fd);
    EXPECT_EQ(-1, pipeline->err_pipe_fd);
    pex_release(pipeline);
    EXPECT_TRUE(fake.bad_closes.empty());
}

TEST(PexOutputStreams, FileIsNotReadWhenAWaitFails)
{
    pex_pipeline *pipeline = fake_pipeline();
    ASSERT_EQ("", fake_launch(pipeline, PEX_NO_STAGE_FLAGS, "last"));
    fake.wait_errno = {{1001, ECHILD}};
    errno = 0;
    EXPECT_EQ(nullptr, pex_stdout_stream(pipeline, false));
    EXPECT_EQ(ECHILD, errno);
    pex_release(pipeline);
}

// ---- Data through real children ----

// Input written through a file: the caller's file stays, emptied first when
// it was there already; a file the library named is removed at release
// unless temporary files are kept.
TEST(PexRealStreams, InputThroughAFile)
{
    scoped_temp_dir tmp, work;
    std::string callers = work / "input", out = work / "out";
    struct {
        pex_pipeline_flags flags;
        const char *input_name;
        const char *earlier;   // what the caller's file held before, if it was there
        std::string expected;
    } cases[] = {
        {PEX_NO_PIPELINE_FLAGS, callers.c_str(), nullptr, "0 abc\n, 0 temporary files, caller's file kept"},
        {PEX_NO_PIPELINE_FLAGS, callers.c_str(), "an earlier and longer content\n",
         "0 abc\n, 0 temporary files, caller's file kept"},
        {PEX_NO_PIPELINE_FLAGS, nullptr, nullptr, "0 abc\n, 0 temporary files"},
        {PEX_KEEP_TEMPS, nullptr, nullptr, "0 abc\n, 1 temporary files"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected + (c.earlier != nullptr ? " (file there before)" : ""));
        if (c.earlier != nullptr)
            write_file(callers, c.earlier);
        std::string report = answer_from_child([&] {
            if (!use_temp_dir(tmp.path))
                return std::string("temporary directory chosen before");
            std::set<int> fds_before = open_fds();
            pex_pipeline *pipeline = pex_create(c.flags, "test", nullptr);
            FILE *input = pex_open_input_file(pipeline, PEX_BINARY_OUT, c.input_name);
            if (input == nullptr)
                return std::string("no input stream");
            fputs("abc\n", input);
            std::string result = launch(pipeline, PEX_FINAL, {probe, "cat"}, out.c_str());
            result += exit_codes(pipeline, 1) + " ";
            result += read_file(out);   // only once the child has ended
            pex_release(pipeline);
            result += ", " + std::to_string(list_dir(tmp.path).size()) + " temporary files";
            if (file_exists(callers))
                result += ", caller's file kept";
            if (open_fds() != fds_before)
                result += ", descriptors differ";
            return result;
        });
        EXPECT_EQ(c.expected, report);
        remove(callers.c_str());
    }
}

// Input written through a pipe, output read through a pipe: the children
// see the end of the input only because none of them holds its write end.
TEST(PexRealStreams, InputAndOutputThroughPipes)
{
    std::set<int> fds_before = open_fds();
    pex_pipeline *pipeline = pex_create(PEX_PIPES, "test", nullptr);
    FILE *input = pex_open_input_pipe(pipeline, false);
    ASSERT_NE(nullptr, input);
    EXPECT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "cat"}));
    EXPECT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, upper));
    FILE *output = pex_stdout_stream(pipeline, false);
    ASSERT_NE(nullptr, output);
    fputs("through the pipes\n", input);
    fclose(input);
    EXPECT_EQ("THROUGH THE PIPES\n", read_stream(output));
    EXPECT_EQ("00", exit_codes(pipeline, 2));
    pex_release(pipeline);
    EXPECT_EQ(fds_before, open_fds());
}

TEST(PexRealStreams, OutputThroughATemporaryFile)
{
    scoped_temp_dir tmp;
    for (pex_pipeline_flags flags : {PEX_NO_PIPELINE_FLAGS, PEX_KEEP_TEMPS}) {
        SCOPED_TRACE(int(flags));
        std::string report = answer_from_child([&] {
            setenv("TMPDIR", tmp.path.c_str(), 1);
            pex_pipeline *pipeline = pex_create(flags, "test", nullptr);
            std::string result = launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "echo", "hello"});
            result += launch(pipeline, PEX_NO_STAGE_FLAGS, upper);
            FILE *output = pex_stdout_stream(pipeline, false);
            result += output != nullptr ? read_stream(output) : "no stream";
            pex_release(pipeline);
            result += std::to_string(list_dir(tmp.path).size()) + " kept";
            if (!no_children_left())
                result += ", children left";
            return result;
        });
        EXPECT_EQ(flags == PEX_KEEP_TEMPS ? "HELLO\n2 kept" : "HELLO\n0 kept", report);
    }
}

TEST(PexRealStreams, StandardErrorThroughAPipe)
{
    std::set<int> fds_before = open_fds();
    const char *const complain_argv[] = {"/bin/sh", "-c", "echo out; echo oops >&2", nullptr};
    scoped_temp_dir work;
    std::string out = work / "out";
    pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", nullptr);
    int error_number = -1;
    EXPECT_EQ(nullptr, pex_run_stage(pipeline, PEX_FINAL | PEX_STDERR_TO_PIPE, complain_argv[0],
                                     complain_argv, out.c_str(), nullptr, &error_number));
    FILE *errors = pex_stderr_stream(pipeline, false);
    ASSERT_NE(nullptr, errors);
    EXPECT_EQ("oops\n", read_stream(errors));
    EXPECT_EQ("0", exit_codes(pipeline, 1));
    EXPECT_EQ("out\n", read_file(out));
    pex_release(pipeline);
    EXPECT_EQ(fds_before, open_fds());
}

// The streams the caller keeps, on a file the first stage will read and on
// the last stage's output file, are held by no child started meanwhile, of
// this pipeline or another: a child holding them would keep the files open
// and, for a pipe, a writer from its end of file or its SIGPIPE.
TEST(PexRealStreams, CallersStreamsAreHeldByNoChild)
{
    scoped_temp_dir work;
    const std::string listed = work / "listed";
    auto held_by_a_child = [&](FILE *stream) {
        const char *const argv[] = {probe, "fds", nullptr};
        int status = -1, error_number = 0;
        if (pex_run_once(PEX_FINAL, probe, argv, "test", listed.c_str(), nullptr, &status, &error_number) != nullptr)
            return std::string("could not start the probe");
        return parse_fd_list(read_file(listed)).count(fileno(stream)) != 0 ? std::string("held")
                                                                          : std::string("not held");
    };
    pex_pipeline *input_side = pex_create(PEX_NO_PIPELINE_FLAGS, "test", nullptr);
    FILE *input = pex_open_input_file(input_side, PEX_NO_STAGE_FLAGS, (work / "input").c_str());
    ASSERT_NE(nullptr, input);
    EXPECT_EQ("not held", held_by_a_child(input));

    pex_pipeline *output_side = pex_create(PEX_NO_PIPELINE_FLAGS, "test", nullptr);
    ASSERT_EQ("", launch(output_side, PEX_NO_STAGE_FLAGS, {probe, "echo", "hello"}, (work / "output").c_str()));
    FILE *output = pex_stdout_stream(output_side, false);
    ASSERT_NE(nullptr, output);
    EXPECT_EQ("not held", held_by_a_child(output));
    pex_release(output_side);
    pex_release(input_side);
}
