// Stage launch, output names and the one-shot run, with real children; the
// fake back end for the wait of an earlier stage that fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pex/fake_backend_test.h"
#include "pex/pex.h"
#include "pex/pex_test.h"
#include "pex/unix/pex_unix.h"
#include "support/temp_file.h"
#include "tests/test_util.h"

// One launch that is to fail: the pipeline it runs on, what comes before it
// ("" when that went well), the launch itself, and the failure expected.
struct launch_case {
    const char *what;
    pex_pipeline_flags flags;
    const char *temp_stem;
    std::function<std::string(pex_pipeline *)> before;
    pex_stage_flags stage_flags;
    const char *outname, *errname;
    std::string expected;
    int free_descriptors = -1;   // at the failing launch; -1: as many as there are
    const char *program = probe;
};

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

// Holds every free descriptor number below a bound open, so that a later
// close of a number nobody should hold any more closes one of these, and
// shows.
struct descriptor_sentinels {
    std::vector<int> fds;
    void fill(int bound)
    {
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) {
            if (fd >= bound) {
                close(fd);
                break;
            }
            fds.push_back(fd);
        }
    }
    bool all_open() const
    {
        for (int fd : fds)
            if (!is_open(fd))
                return false;
        return true;
    }
    void close_all()
    {
        for (int fd : fds)
            close(fd);
        fds.clear();
    }
    ~descriptor_sentinels() { close_all(); }
};

// What a failing launch leaves: its failure, then whatever differs from
// before it in the caller's descriptors, the children and temporary files.
// Every number the launch may have used is then held by `sentinels`.
static std::string failed_launch(pex_pipeline *pipeline, pex_stage_flags flags,
                                 std::vector<const char *> args, const char *outname,
                                 const char *errname, const std::string &temp_dir,
                                 descriptor_sentinels &sentinels)
{
    std::set<int> fds_before = callers_fds(pipeline);
    std::vector<std::string> temps_before = list_dir(temp_dir);
    int children_before = pipeline->child_count;
    // A launch opens seven descriptors at the most (the back end's report
    // pipe among them), each at the lowest number free: all below this.
    int bound = *open_fds().rbegin() + 8;
    std::string result = launch(pipeline, flags, std::move(args), outname, errname);
    if (callers_fds(pipeline) != fds_before)
        result += ", descriptors differ";
    if (pipeline->child_count != children_before)
        result += ", child started";
    if (list_dir(temp_dir) != temps_before)
        result += ", temporary files differ";
    sentinels.fill(bound);
    return result;
}

// What the release after a failed launch leaves wrong: a descriptor closed a
// second time, descriptors other than before the pipeline, children, and
// temporary files.
static std::string after_release(descriptor_sentinels &sentinels, const std::set<int> &fds_before,
                                 const std::string &temp_dir)
{
    std::string result;
    if (!sentinels.all_open())
        result += ", descriptor closed twice";
    sentinels.close_all();
    if (open_fds() != fds_before)
        result += ", descriptors differ after release";
    if (!no_children_left())
        result += ", children left";
    if (!list_dir(temp_dir).empty())
        result += ", temporary files left";
    return result;
}

// Runs each case in a child of its own, which may first `prepare` itself
// (a message when it cannot): the launch's failure and what it left wrong.
static void expect_failed_launches(const std::vector<launch_case> &cases, const std::string &temp_dir,
                                   const std::function<std::string()> &prepare = nullptr)
{
    for (const launch_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string report = answer_from_child([&] {
            if (!use_temp_dir(temp_dir))
                return std::string("temporary directory chosen before");
            std::string result = prepare ? prepare() : "";
            if (!result.empty())
                return result;
            const std::set<int> fds_before = open_fds();
            pex_pipeline *pipeline = pex_create(c.flags, "test", c.temp_stem);
            if (c.before)
                result += c.before(pipeline);
            descriptor_sentinels sentinels;
            {
                std::optional<descriptor_filler> filler;
                if (c.free_descriptors >= 0)
                    filler.emplace(c.free_descriptors);
                result += failed_launch(pipeline, c.stage_flags, {c.program, "cat"}, c.outname,
                                        c.errname, temp_dir, sentinels);
            }
            pex_release(pipeline);
            return result + after_release(sentinels, fds_before, temp_dir);
        });
        EXPECT_EQ(c.expected, report);
    }
}

// Without names a stage has the caller's own 0, 1 and 2, and its
// environment, and the launch leaves them open; PEX_USE_PATH reaches the
// back end, which finds a bare name along PATH.
TEST(PexRunStage, WiresTheCallersStreamsAndNeverClosesThem)
{
    scoped_temp_dir work;
    write_file(work / "in", "input\n");
    std::string report = answer_from_child([&] {
        const std::string names[] = {work / "in", work / "out", work / "err"};
        for (int fd = 0; fd < 3; fd++) {
            int opened = open(names[fd].c_str(), fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (opened < 0 || dup2(opened, fd) != fd)
                return std::string("cannot open ") + names[fd];
            close(opened);
        }
        setenv("MAVO_TEST_MARK", "inherited", 1);
        pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", nullptr);
        std::string result = launch(pipeline, PEX_FINAL | PEX_USE_PATH,
                                    {"sh", "-c", "cat; echo \"$MAVO_TEST_MARK\" >&2"});
        result += exit_codes(pipeline, 1);
        pex_release(pipeline);
        for (int fd = 0; fd < 3; fd++)
            if (!is_open(fd))
                result += ", " + std::to_string(fd) + " closed";
        return result;
    });
    EXPECT_EQ("0", report);
    EXPECT_EQ("input\n", read_file(work / "out"));
    EXPECT_EQ("inherited\n", read_file(work / "err"));
}

// Each stage's output is the next one's input; the writer does not hold the
// read end of its own output, or it would block on a full pipe, instead of
// getting SIGPIPE, once the reader stops. The last stage writes to files.
TEST(PexRunStage, PipeConnectedStages)
{
    scoped_temp_dir work;
    const std::string out = work / "out", err = work / "err";
    const std::set<int> fds_before = open_fds();
    pex_pipeline *pipeline = pex_create(PEX_PIPES, "test", nullptr);
    ASSERT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "fds"}));
    const int read_end = pipeline->pending_in_fd;
    ASSERT_EQ("", launch(pipeline, PEX_FINAL, {"/bin/sh", "-c", "cat; echo done >&2"}, out.c_str(),
                         err.c_str()));
    EXPECT_EQ("00", exit_codes(pipeline, 2));
    pex_release(pipeline);
    EXPECT_EQ(fds_before, open_fds());
    const std::set<int> first_held = parse_fd_list(read_file(out));
    EXPECT_EQ(1u, first_held.count(1)) << read_file(out);
    EXPECT_EQ(0u, first_held.count(read_end)) << read_file(out);
    EXPECT_EQ("done\n", read_file(err));
}

// The pipeline keeps its own copy of a caller's name, with or without the
// removal list: the caller's buffer is reused before the next launch. A
// caller's file between two stages is removed at release unless temporary
// files are kept.
TEST(PexRunStage, FileConnectedStagesAndOutputNames)
{
    scoped_temp_dir work;
    const std::string stem = work / "stem-", errors = work / "errors";
    for (pex_pipeline_flags flags : {PEX_NO_PIPELINE_FLAGS, PEX_KEEP_TEMPS}) {
        SCOPED_TRACE(int(flags));
        write_file(work / "first.out", "earlier\n");
        write_file(errors, "earlier error\n");
        pex_pipeline *pipeline = pex_create(flags, "test", stem.c_str());
        std::string name = work / "first.out";
        ASSERT_EQ("", launch(pipeline, PEX_APPEND_OUT, {probe, "echo", "first"}, name.c_str()));
        name.assign(name.size(), 'X');
        ASSERT_EQ("", launch(pipeline, PEX_FINAL | PEX_OUTNAME_SUFFIX | PEX_APPEND_ERR,
                             {"/bin/sh", "-c", "cat; echo second >&2"}, ".s", errors.c_str()));
        EXPECT_EQ("00", exit_codes(pipeline, 2));
        pex_release(pipeline);
        EXPECT_EQ("earlier\nfirst\n", read_file(stem + ".s"));
        EXPECT_EQ("earlier error\nsecond\n", read_file(errors));
        EXPECT_EQ(flags == PEX_KEEP_TEMPS, file_exists(work / "first.out"));
    }
}

TEST(PexRunStage, PassesTheEnvironment)
{
    scoped_temp_dir work;
    const std::string out = work / "out";
    const char *const env[] = {"A=1", nullptr};
    const char *const argv[] = {probe, "env", nullptr};
    pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", nullptr);
    int error_number = -1;
    ASSERT_EQ(nullptr, pex_run_stage_env(pipeline, PEX_FINAL, probe, argv, env, out.c_str(), nullptr,
                                         &error_number));
    EXPECT_EQ(-1, error_number);   // untouched on success
    EXPECT_EQ("0", exit_codes(pipeline, 1));
    pex_release(pipeline);
    EXPECT_EQ("A=1\n", read_file(out));
}

// Every refusal, and files and programs that are not there: the message and
// number, nothing started, and exactly the descriptors the launch took given
// back, none twice. Descriptors that run out and files that may not be
// opened are PexRealFailures'.
TEST(PexRunStage, EveryFailureGivesBackWhatTheLaunchHeld)
{
    scoped_temp_dir tmp, work;
    const std::string one = work / "one", out = work / "out", err = work / "err";
    const std::string err_in_missing_dir = work / "missing/err", directory = work / "directory";
    // A directory of its own: the output named for a stage that is not the
    // last is removed at release.
    ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
    auto stage_to = [](const char *outname, pex_stage_flags flags = PEX_NO_STAGE_FLAGS) {
        return [=](pex_pipeline *p) { return launch(p, flags, {probe, "exit", "0"}, outname); };
    };
    const auto stage_to_file = stage_to(one.c_str()), stage_to_pipe = stage_to(nullptr);
    const auto stage_with_error_pipe = stage_to(nullptr, PEX_STDERR_TO_PIPE);
    const std::string not_started = failure("pipeline already complete", 0);
    const std::string error_pipe_before = failure("PEX_STDERR_TO_PIPE used in the middle of pipeline", 0);
    const std::vector<launch_case> cases = {
        {"input file gone", PEX_NO_PIPELINE_FLAGS, nullptr,
         [&](pex_pipeline *p) {
             std::string result = stage_to_file(p);
             return result + (remove(one.c_str()) == 0 ? "" : "not removed");
         },
         PEX_FINAL, nullptr, nullptr, failure("open temporary file", ENOENT)},
        {"after final", PEX_PIPES, nullptr, stage_to(nullptr, PEX_FINAL), PEX_FINAL, nullptr, nullptr,
         not_started},
        {"after a final stage with an error pipe", PEX_PIPES, nullptr,
         stage_to(nullptr, PEX_FINAL | PEX_STDERR_TO_PIPE), PEX_FINAL, nullptr, nullptr, not_started},
        {"no temporary name", PEX_NO_PIPELINE_FLAGS, "/nonexistent-mavo-dir/stem", nullptr,
         PEX_NO_STAGE_FLAGS, nullptr, nullptr, failure("could not create temporary file", 0)},
        {"middle output is a directory", PEX_NO_PIPELINE_FLAGS, nullptr, stage_to_file,
         PEX_NO_STAGE_FLAGS, directory.c_str(), nullptr, failure("open temporary output file", EISDIR)},
        {"suffix without stem", PEX_PIPES, nullptr, stage_to_pipe, PEX_FINAL | PEX_OUTNAME_SUFFIX, ".s",
         nullptr, failure("PEX_OUTNAME_SUFFIX used without a temporary file stem", 0)},
        {"error name and pipe", PEX_PIPES, nullptr, stage_to_pipe, PEX_FINAL | PEX_STDERR_TO_PIPE,
         out.c_str(), err.c_str(), failure("both ERRNAME and PEX_STDERR_TO_PIPE specified.", 0)},
        {"error pipe before", PEX_PIPES, nullptr, stage_with_error_pipe, PEX_FINAL, out.c_str(), nullptr,
         error_pipe_before},
        {"error pipe before, error name", PEX_PIPES, nullptr, stage_with_error_pipe, PEX_NO_STAGE_FLAGS,
         nullptr, err.c_str(), error_pipe_before},
        {"error file in a missing directory", PEX_PIPES, nullptr, stage_to_pipe, PEX_FINAL, out.c_str(),
         err_in_missing_dir.c_str(), failure("open error file", ENOENT)},
        {"program missing along PATH", PEX_PIPES, nullptr, stage_to_pipe,
         PEX_STDERR_TO_PIPE | PEX_USE_PATH, nullptr, nullptr, failure("execvp", ENOENT), -1,
         "mavo-no-such-program"},
        {"program missing", PEX_NO_PIPELINE_FLAGS, nullptr, stage_to_file, PEX_FINAL, out.c_str(),
         err.c_str(), failure("execv", ENOENT), -1, "/nonexistent-mavo-dir/missing"},
    };
    expect_failed_launches(cases, tmp.path);
}

// A failed launch after the input stream was closed: "closing pipeline input
// file" with its errno, and the stream is never closed again; the next
// launch reads the file.
TEST(PexRunStage, FailedCloseOfTheInputStream)
{
    scoped_temp_dir work;
    const std::string in = work / "in", out = work / "out";
    pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", nullptr);
    FILE *input = pex_open_input_file(pipeline, PEX_NO_STAGE_FLAGS, in.c_str());
    ASSERT_NE(nullptr, input);
    fputs("lost", input);
    close(fileno(input));
    EXPECT_EQ(failure("closing pipeline input file", EBADF),
              launch(pipeline, PEX_FINAL, {probe, "cat"}, out.c_str()));
    EXPECT_EQ(nullptr, pipeline->caller_in_stream);
    write_file(in, "written later\n");
    EXPECT_EQ("", launch(pipeline, PEX_FINAL, {probe, "cat"}, out.c_str()));
    EXPECT_EQ("0", exit_codes(pipeline, 1));
    pex_release(pipeline);
    EXPECT_EQ("written later\n", read_file(out));
}

// The stage before wrote a file, and the wait for it fails: the launch fails
// with that wait's message and number, starts nothing, and gives back what it
// held, none twice.
TEST(PexRunStage, FailedWaitForTheStageBefore)
{
    pex_pipeline *pipeline = fake_pipeline();
    ASSERT_EQ("", fake_launch(pipeline, PEX_NO_STAGE_FLAGS, "one.out"));
    fake.wait_errno = {{1001, ECHILD}};
    int error_number = -1;
    EXPECT_EQ("wait", fake_launch(pipeline, PEX_FINAL, nullptr, &error_number));
    EXPECT_EQ(ECHILD, error_number);
    EXPECT_EQ(1, pipeline->child_count);
    EXPECT_TRUE(fake.open_fds.empty());
    pex_release(pipeline);
    EXPECT_TRUE(fake.open_fds.empty());
    EXPECT_EQ(std::vector<int>{}, fake.bad_closes);
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
        pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", c.stem.c_str());
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
        pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", "XXXXXX");
        char *name = pex_temp_name(pipeline, PEX_NO_STAGE_FLAGS, nullptr);
        std::string text = name != nullptr ? name : "(null)";
        free(name);
        pex_release(pipeline);
        return text;
    });
    EXPECT_EQ(6u, bare.size()) << bare;
    EXPECT_NE("XXXXXX", bare);
    EXPECT_TRUE(file_exists(dir / bare)) << bare;

    pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", "stem");
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
        pex_pipeline *pipeline = pex_create(PEX_NO_PIPELINE_FLAGS, "test", nullptr);
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

// Descriptors that run out at each step that makes one.
TEST(PexRealFailures, DescriptorsRunOut)
{
    scoped_temp_dir tmp, work;
    const std::string out = work / "out", err = work / "err";
    // To a pipe, or with PEX_PIPES unset to a temporary file.
    const auto stage_before = [](pex_pipeline *p) { return launch(p, PEX_NO_STAGE_FLAGS, {probe, "echo", "x"}); };
    const std::vector<launch_case> cases = {
        {"output pipe", PEX_PIPES, nullptr, nullptr, PEX_NO_STAGE_FLAGS, nullptr, nullptr,
         failure("pipe", EMFILE), 1},
        {"output pipe, the input pipe held", PEX_PIPES, nullptr, stage_before, PEX_NO_STAGE_FLAGS, nullptr,
         nullptr, failure("pipe", EMFILE), 1},
        {"error pipe", PEX_PIPES, nullptr, stage_before, PEX_FINAL | PEX_STDERR_TO_PIPE, out.c_str(),
         nullptr, failure("pipe", EMFILE), 2},
        {"error pipe after the output pipe", PEX_PIPES, nullptr, nullptr, PEX_STDERR_TO_PIPE, nullptr,
         nullptr, failure("pipe", EMFILE), 2},
        {"temporary input", PEX_NO_PIPELINE_FLAGS, nullptr, stage_before, PEX_FINAL, nullptr, nullptr,
         failure("open temporary file", EMFILE), 0},
        {"temporary output", PEX_NO_PIPELINE_FLAGS, nullptr, nullptr, PEX_NO_STAGE_FLAGS, out.c_str(),
         nullptr, failure("open temporary output file", EMFILE), 0},
        {"final output", PEX_PIPES, nullptr, stage_before, PEX_FINAL, out.c_str(), nullptr,
         failure("open temporary output file", EMFILE), 0},
        {"error file", PEX_NO_PIPELINE_FLAGS, nullptr, nullptr, PEX_FINAL, nullptr, err.c_str(),
         failure("open error file", EMFILE), 0},
    };
    expect_failed_launches(cases, tmp.path);
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
    const std::vector<launch_case> cases = {
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
             FILE *input = pex_open_input_file(p, PEX_NO_STAGE_FLAGS, missing.c_str());
             return std::string(input != nullptr && remove(missing.c_str()) == 0 ? "" : "no input file");
         },
         PEX_FINAL, nullptr, nullptr, failure("open temporary file", ENOENT)},
    };
    expect_failed_launches(cases, tmp.path,
                           [] { return std::string(drop_privileges() ? "" : "cannot drop privileges"); });
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
