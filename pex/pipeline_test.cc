// Creation, collection, the getters and release, with real children; the
// fake back end for a wait that fails.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "pex/fake_backend_test.h"
#include "pex/pex.h"
#include "pex/pex_test.h"
#include "pex/unix/pex_unix.h"
#include "tests/test_util.h"

// Three children connected by pipes, ending with 1, 2 and 3.
static void launch_three(pex_pipeline *pipeline)
{
    ASSERT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "exit", "1"}));
    ASSERT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "exit", "2"}));
    ASSERT_EQ("", launch(pipeline, PEX_FINAL, {probe, "exit", "3"}));
}

// Times a child that ended at once may have: set, and small.
static bool plausible(const pex_child_times &times)
{
    return times.user_seconds >= 0 && times.user_seconds < 60 && times.system_seconds >= 0 &&
           times.system_seconds < 60 && times.user_microseconds >= 0 &&
           times.user_microseconds < 1000000 && times.system_microseconds >= 0 &&
           times.system_microseconds < 1000000;
}

TEST(PexPipeline, WithoutChildrenStatusesAreZeroAndNoTimesExist)
{
    for (pex_pipeline_flags flags : {PEX_NO_PIPELINE_FLAGS, PEX_KEEP_TIMES}) {
        SCOPED_TRACE(int(flags));
        pex_pipeline *pipeline = pex_create(flags, "test", nullptr);
        int statuses[3] = {7, 7, 7};
        EXPECT_EQ(1, pex_get_status(pipeline, 3, statuses));
        EXPECT_EQ((std::vector<int>{0, 0, 0}), std::vector<int>(statuses, statuses + 3));
        pex_child_times times[1] = {{9, 9, 9, 9}};
        EXPECT_EQ(0, pex_get_timings(pipeline, 1, times));
        EXPECT_EQ(9, times[0].system_microseconds);
        pex_release(pipeline);
    }
}

TEST(PexPipeline, StatusesComeInStartOrderAndSurplusIsZero)
{
    pex_pipeline *pipeline = pex_create(PEX_PIPES, "test", nullptr);
    launch_three(pipeline);
    EXPECT_EQ("12", exit_codes(pipeline, 2));
    EXPECT_TRUE(all_waited_for(children_of(pipeline))) << "every child, not just those asked for";
    // A second wait for any of them would fail the getter.
    EXPECT_EQ("12300", exit_codes(pipeline, 5));
    pex_release(pipeline);
}

TEST(PexPipeline, TimingsOnlyWhenKept)
{
    pex_pipeline *pipeline = pex_create(PEX_PIPES, "test", nullptr);
    launch_three(pipeline);
    pex_child_times untouched[1] = {{9, 9, 9, 9}};
    EXPECT_EQ(0, pex_get_timings(pipeline, 1, untouched));
    EXPECT_TRUE(all_waited_for(children_of(pipeline))) << "still waited for them all";
    EXPECT_EQ(9, untouched[0].user_seconds);
    pex_release(pipeline);

    pipeline = pex_create(PEX_PIPES | PEX_KEEP_TIMES, "test", nullptr);
    launch_three(pipeline);
    pex_child_times times[4];
    memset(times, 0x55, sizeof times);
    ASSERT_EQ(1, pex_get_timings(pipeline, 4, times));
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(plausible(times[i])) << i;
    EXPECT_EQ(0, times[3].user_seconds);
    EXPECT_EQ(0, times[3].user_microseconds);
    EXPECT_EQ(0, times[3].system_seconds);
    EXPECT_EQ(0, times[3].system_microseconds);
    pex_release(pipeline);
}

// A stage that reads the file of the stage before collects only the children
// started so far; the getters and release must not stop at them.
TEST(PexPipeline, ChildrenStartedAfterACollectionAreCollectedToo)
{
    scoped_temp_dir work;
    const std::string one = work / "one", two = work / "two";
    pex_pipeline *pipeline = pex_create(PEX_KEEP_TIMES, "test", nullptr);
    ASSERT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "exit", "1"}, one.c_str()));
    ASSERT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "exit", "2"}, two.c_str()));
    EXPECT_TRUE(waited_for(pipeline->child_ids[0]));
    EXPECT_FALSE(waited_for(pipeline->child_ids[1]));
    ASSERT_EQ("", launch(pipeline, PEX_FINAL, {probe, "exit", "3"}));
    EXPECT_TRUE(waited_for(pipeline->child_ids[1]));
    EXPECT_FALSE(waited_for(pipeline->child_ids[2]));
    EXPECT_EQ("123", exit_codes(pipeline, 3));
    pex_child_times times[3];
    memset(times, 0x55, sizeof times);
    ASSERT_EQ(1, pex_get_timings(pipeline, 3, times));
    EXPECT_TRUE(plausible(times[2]));
    pex_release(pipeline);
}

TEST(PexPipeline, ReleaseEndsEveryChildNotYetWaitedFor)
{
    scoped_temp_dir work;
    const std::string out = work / "out", one = work / "one";
    // Never asked for, and none would end by itself: each reads a pipe whose
    // writer, the caller's input stream, stays open. Should release wait for
    // them without ending them, the alarm ends the waiting process instead,
    // which fails the test.
    std::string report = answer_from_child([&] {
        alarm(60);
        pex_pipeline *pipeline = pex_create(PEX_PIPES | PEX_KEEP_TIMES, "test", nullptr);
        FILE *input = pex_open_input_pipe(pipeline, false);
        if (input == nullptr)
            return std::string("no input pipe");
        std::string result = launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "cat"});
        result += launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "cat"});
        result += launch(pipeline, PEX_FINAL, {probe, "cat"}, out.c_str());
        pex_release(pipeline);
        fclose(input);
        return result + (no_children_left() ? "" : "children left");
    });
    EXPECT_EQ("", report);

    // Started after an earlier collection, in a pipeline that keeps times:
    // the later one still, and no time record is written past those the
    // collection made (which the sanitizers would show).
    pex_pipeline *pipeline = pex_create(PEX_KEEP_TIMES, "test", nullptr);
    ASSERT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "exit", "0"}, one.c_str()));
    ASSERT_EQ("", launch(pipeline, PEX_FINAL, {probe, "exit", "0"}));
    ASSERT_TRUE(waited_for(pipeline->child_ids[0]));
    const std::vector<pid_t> children = children_of(pipeline);
    pex_release(pipeline);
    EXPECT_TRUE(all_waited_for(children));
}

TEST(PexPipeline, ReleaseClosesWhatThePipelineHolds)
{
    // The read ends of a stage's output and error pipes: held by the
    // pipeline, or taken as the caller's streams.
    for (bool streams_taken : {false, true}) {
        SCOPED_TRACE(streams_taken ? "taken as streams" : "held");
        const std::set<int> fds_before = open_fds();
        pex_pipeline *pipeline = pex_create(PEX_PIPES, "test", nullptr);
        ASSERT_EQ("", launch(pipeline, PEX_STDERR_TO_PIPE, {probe, "exit", "0"}));
        EXPECT_EQ(fds_before.size() + 2, open_fds().size());
        if (streams_taken) {
            ASSERT_NE(nullptr, pex_stdout_stream(pipeline, false));
            ASSERT_NE(nullptr, pex_stderr_stream(pipeline, false));
        }
        pex_release(pipeline);   // fclose of both: a leak here shows under the sanitizers
        EXPECT_EQ(fds_before, open_fds());
    }
}

// The Unix back end with a cleanup that looks at the temporary files.
static std::vector<std::string> temp_names;
static std::string seen_at_cleanup;

static void looking_cleanup(pex_pipeline *)
{
    for (const std::string &name : temp_names)
        seen_at_cleanup += file_exists(name) ? "present " : "gone ";
}

// Files are removed first, the back end cleaned up last.
TEST(PexPipeline, ReleaseRemovesTemporaryFilesBeforeTheBackEndCleanup)
{
    scoped_temp_dir work;
    temp_names = {work / "one", work / "two"};
    seen_at_cleanup.clear();
    pex_backend looking = pex_unix_backend;
    looking.cleanup_backend = looking_cleanup;
    pex_pipeline *pipeline = pex_create_common(PEX_NO_PIPELINE_FLAGS, "test", nullptr, &looking);
    ASSERT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "echo", "x"}, temp_names[0].c_str()));
    ASSERT_EQ("", launch(pipeline, PEX_NO_STAGE_FLAGS, {probe, "cat"}, temp_names[1].c_str()));
    pex_release(pipeline);
    EXPECT_EQ("gone gone ", seen_at_cleanup);
}

TEST(PexPipeline, ReleaseWithoutCleanupSlot)
{
    pex_backend without_cleanup = pex_unix_backend;
    without_cleanup.cleanup_backend = nullptr;
    pex_pipeline *pipeline = pex_create_common(PEX_PIPES, "test", nullptr, &without_cleanup);
    ASSERT_EQ("", launch(pipeline, PEX_FINAL, {probe, "exit", "0"}));
    const std::vector<pid_t> children = children_of(pipeline);
    pex_release(pipeline);
    EXPECT_TRUE(all_waited_for(children));
}

// ---- A wait that fails, on the fake back end ----

// Three children connected by pipes: ids 1001, 1002, 1003.
static void fake_launch_three(pex_pipeline *pipeline)
{
    ASSERT_EQ("", fake_launch(pipeline, PEX_NO_STAGE_FLAGS));
    ASSERT_EQ("", fake_launch(pipeline, PEX_NO_STAGE_FLAGS));
    ASSERT_EQ("", fake_launch(pipeline, PEX_FINAL));
}

TEST(PexPipeline, FailedWaitDoesNotStopTheCollection)
{
    pex_pipeline *pipeline = fake_pipeline(PEX_PIPES);
    fake_launch_three(pipeline);
    fake.wait_errno = {{1001, EINTR}, {1002, ECHILD}};
    const char *message = nullptr;
    int error_number = 0;
    EXPECT_EQ(0, pex_collect(pipeline, false, &message, &error_number));
    EXPECT_STREQ("wait", message);
    EXPECT_EQ(ECHILD, error_number);   // the last failure's
    EXPECT_EQ(3, fake.waits);
    EXPECT_EQ(pipeline->child_count, pipeline->reaped_count);

    // Nobody is waited for again; the failed ones never read as a success.
    int statuses[3];
    ASSERT_EQ(1, pex_get_status(pipeline, 3, statuses));
    EXPECT_EQ(3, fake.waits);
    for (int status : {statuses[0], statuses[1]}) {
        EXPECT_FALSE(WIFEXITED(status));
        EXPECT_FALSE(WIFSIGNALED(status));
    }
    EXPECT_EQ(3, WEXITSTATUS(statuses[2]));
    pex_release(pipeline);
}

TEST(PexPipeline, GetterWhoseCollectionFailsLeavesTheVectorAlone)
{
    pex_pipeline *pipeline = fake_pipeline(PEX_PIPES | PEX_KEEP_TIMES);
    fake_launch_three(pipeline);
    fake.wait_errno = {{1002, ECHILD}};
    int statuses[3] = {7, 7, 7};
    EXPECT_EQ(0, pex_get_status(pipeline, 3, statuses));
    EXPECT_EQ((std::vector<int>{7, 7, 7}), std::vector<int>(statuses, statuses + 3));
    EXPECT_EQ(3, fake.waits);
    pex_release(pipeline);

    pipeline = fake_pipeline(PEX_PIPES | PEX_KEEP_TIMES);
    fake_launch_three(pipeline);
    fake.wait_errno = {{1002, ECHILD}};
    pex_child_times times[1] = {{9, 9, 9, 9}};
    EXPECT_EQ(0, pex_get_timings(pipeline, 1, times));
    EXPECT_EQ(9, times[0].user_seconds);
    pex_release(pipeline);
}
