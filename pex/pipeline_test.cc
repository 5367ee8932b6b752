// Creation, collection, the getters and release, against the fake back end.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pex/fake_backend_test.h"
#include "pex/pex.h"
#include "tests/test_util.h"

// Three children connected by pipes: ids 1001, 1002, 1003.
static void launch_three(pex_pipeline *pipeline)
{
    ASSERT_EQ("", fake_launch(pipeline, PEX_NO_STAGE_FLAGS));
    ASSERT_EQ("", fake_launch(pipeline, PEX_NO_STAGE_FLAGS));
    ASSERT_EQ("", fake_launch(pipeline, PEX_FINAL));
}

TEST(PexPipeline, WithoutChildrenStatusesAreZeroAndNoTimesExist)
{
    for (pex_pipeline_flags flags : {PEX_NO_PIPELINE_FLAGS, PEX_KEEP_TIMES}) {
        SCOPED_TRACE(int(flags));
        pex_pipeline *pipeline = fake_pipeline(flags);
        int statuses[3] = {7, 7, 7};
        EXPECT_EQ(1, pex_get_status(pipeline, 3, statuses));
        EXPECT_EQ((std::vector<int>{0, 0, 0}), std::vector<int>(statuses, statuses + 3));
        pex_child_times times[1] = {{9, 9, 9, 9}};
        EXPECT_EQ(0, pex_get_timings(pipeline, 1, times));
        EXPECT_EQ(9, times[0].system_microseconds);
        pex_release(pipeline);
        EXPECT_TRUE(fake.waits.empty());
        EXPECT_EQ(std::vector<std::string>{"cleanup"}, fake.events);
    }
}

TEST(PexPipeline, StatusesComeInStartOrderAndSurplusIsZero)
{
    pex_pipeline *pipeline = fake_pipeline(PEX_PIPES);
    launch_three(pipeline);
    int first_two[2];
    ASSERT_EQ(1, pex_get_status(pipeline, 2, first_two));
    EXPECT_EQ(1, WEXITSTATUS(first_two[0]));
    EXPECT_EQ(2, WEXITSTATUS(first_two[1]));
    EXPECT_EQ(3u, fake.waits.size());   // every child, not just those asked for

    int five[5] = {7, 7, 7, 7, 7};
    ASSERT_EQ(1, pex_get_status(pipeline, 5, five));
    EXPECT_EQ((std::vector<int>{1 << 8, 2 << 8, 3 << 8, 0, 0}), std::vector<int>(five, five + 5));
    EXPECT_EQ(3u, fake.waits.size());   // nobody waited for twice
    pex_release(pipeline);
    EXPECT_EQ(3u, fake.waits.size());
}

TEST(PexPipeline, TimingsOnlyWhenKept)
{
    pex_pipeline *pipeline = fake_pipeline(PEX_PIPES);
    launch_three(pipeline);
    pex_child_times untouched[1] = {{9, 9, 9, 9}};
    EXPECT_EQ(0, pex_get_timings(pipeline, 1, untouched));
    EXPECT_EQ(3u, fake.waits.size());   // still waited for them all
    EXPECT_FALSE(fake.waits[0].wants_times);
    EXPECT_EQ(9, untouched[0].user_seconds);
    pex_release(pipeline);

    pipeline = fake_pipeline(PEX_PIPES | PEX_KEEP_TIMES);
    launch_three(pipeline);
    pex_child_times times[4];
    memset(times, 0x55, sizeof times);
    ASSERT_EQ(1, pex_get_timings(pipeline, 4, times));
    EXPECT_EQ(1001, times[0].user_seconds);
    EXPECT_EQ(1003, times[2].system_seconds);
    EXPECT_EQ(2, times[2].system_microseconds);
    EXPECT_EQ(0, times[3].user_seconds);
    EXPECT_EQ(0, times[3].system_microseconds);
    pex_release(pipeline);
}

TEST(PexPipeline, FailedWaitDoesNotStopTheCollection)
{
    pex_pipeline *pipeline = fake_pipeline(PEX_PIPES);
    launch_three(pipeline);
    fake.wait_errno = {{1001, EINTR}, {1002, ECHILD}};
    const char *message = nullptr;
    int error_number = 0;
    EXPECT_EQ(0, pex_collect(pipeline, false, &message, &error_number));
    EXPECT_STREQ("wait", message);
    EXPECT_EQ(ECHILD, error_number);   // the last failure's
    EXPECT_EQ(3u, fake.waits.size());
    EXPECT_EQ(pipeline->child_count, pipeline->reaped_count);

    // Nobody is waited for again; the failed ones never read as a success.
    int statuses[3];
    ASSERT_EQ(1, pex_get_status(pipeline, 3, statuses));
    EXPECT_EQ(3u, fake.waits.size());
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
    launch_three(pipeline);
    fake.wait_errno = {{1002, ECHILD}};
    int statuses[3] = {7, 7, 7};
    EXPECT_EQ(0, pex_get_status(pipeline, 3, statuses));
    EXPECT_EQ((std::vector<int>{7, 7, 7}), std::vector<int>(statuses, statuses + 3));
    EXPECT_EQ(3u, fake.waits.size());
    pex_release(pipeline);

    pipeline = fake_pipeline(PEX_PIPES | PEX_KEEP_TIMES);
    launch_three(pipeline);
    fake.wait_errno = {{1002, ECHILD}};
    pex_child_times times[1] = {{9, 9, 9, 9}};
    EXPECT_EQ(0, pex_get_timings(pipeline, 1, times));
    EXPECT_EQ(9, times[0].user_seconds);
    pex_release(pipeline);
}

// A stage that reads the file of the stage before collects only the children
// started so far; the getters and release must not stop at them.
TEST(PexPipeline, ChildrenStartedAfterACollectionAreCollectedToo)
{
    pex_pipeline *pipeline = fake_pipeline(PEX_KEEP_TIMES);
    ASSERT_EQ("", fake_launch(pipeline, PEX_NO_STAGE_FLAGS, "one.out"));
    ASSERT_EQ("", fake_launch(pipeline, PEX_NO_STAGE_FLAGS, "two.out"));   // collects 1001
    ASSERT_EQ(1u, fake.waits.size());
    ASSERT_EQ("", fake_launch(pipeline, PEX_FINAL));                     // collects 1002
    ASSERT_EQ(2u, fake.waits.size());
    int statuses[3];
    ASSERT_EQ(1, pex_get_status(pipeline, 3, statuses));
    EXPECT_EQ(3, WEXITSTATUS(statuses[2]));
    pex_child_times times[3];
    ASSERT_EQ(1, pex_get_timings(pipeline, 3, times));
    EXPECT_EQ(1003, times[2].user_seconds);
    EXPECT_EQ(3u, fake.waits.size());
    pex_release(pipeline);
}

TEST(PexPipeline, ReleaseEndsEveryChildNotYetWaitedFor)
{
    // Never asked for: every child, killed first, with no time records even
    // in a pipeline that keeps them.
    pex_pipeline *pipeline = fake_pipeline(PEX_PIPES | PEX_KEEP_TIMES);
    launch_three(pipeline);
    pex_release(pipeline);
    ASSERT_EQ(3u, fake.waits.size());
    for (const fake_wait &wait : fake.waits) {
        EXPECT_TRUE(wait.kill_first);
        EXPECT_FALSE(wait.wants_times);
    }

    // Started after an earlier collection: the later ones still, the earlier
    // ones not again; the time records made earlier are not written past.
    pipeline = fake_pipeline(PEX_KEEP_TIMES);
    ASSERT_EQ("", fake_launch(pipeline, PEX_NO_STAGE_FLAGS, "one.out"));
    ASSERT_EQ("", fake_launch(pipeline, PEX_FINAL));   // collects 1001
    pex_release(pipeline);
    ASSERT_EQ(2u, fake.waits.size());
    EXPECT_EQ(1001, fake.waits[0].child_id);
    EXPECT_FALSE(fake.waits[0].kill_first);
    EXPECT_TRUE(fake.waits[0].wants_times);
    EXPECT_EQ(1002, fake.waits[1].child_id);
    EXPECT_TRUE(fake.waits[1].kill_first);
    EXPECT_FALSE(fake.waits[1].wants_times);
}

TEST(PexPipeline, ReleaseClosesWhatThePipelineHolds)
{
    pex_pipeline *pipeline = fake_pipeline(PEX_PIPES);
    ASSERT_EQ("", fake_launch(pipeline, PEX_STDERR_TO_PIPE));
    ASSERT_EQ(2u, fake.open_fds.size());   // output and error read ends
    pex_release(pipeline);
    EXPECT_TRUE(fake.open_fds.empty());
    EXPECT_TRUE(fake.bad_closes.empty());

    pipeline = fake_pipeline(PEX_PIPES);
    ASSERT_EQ("", fake_launch(pipeline, PEX_STDERR_TO_PIPE));
    ASSERT_NE(nullptr, pex_stdout_stream(pipeline, false));
    ASSERT_NE(nullptr, pex_stderr_stream(pipeline, false));
    pex_release(pipeline);   // fclose of both: a leak here shows under the sanitizers
    EXPECT_TRUE(fake.open_fds.empty());
    EXPECT_TRUE(fake.bad_closes.empty());
}

// Files are removed first, the back end cleaned up last.
TEST(PexPipeline, ReleaseRemovesTemporaryFilesBeforeTheBackEndCleanup)
{
    scoped_temp_dir dir;
    static std::vector<std::string> names;
    static std::vector<bool> present_at_cleanup;
    names = {dir / "one", dir / "two"};
    present_at_cleanup.clear();
    for (const std::string &name : names)
        write_file(name, "x");

    pex_pipeline *pipeline = fake_pipeline();
    ASSERT_EQ("", fake_launch(pipeline, PEX_NO_STAGE_FLAGS, names[0].c_str()));
    ASSERT_EQ("", fake_launch(pipeline, PEX_NO_STAGE_FLAGS, names[1].c_str()));
    fake.on_cleanup = [] {
        for (const std::string &name : names)
            present_at_cleanup.push_back(file_exists(name));
    };
    pex_release(pipeline);
    EXPECT_EQ((std::vector<bool>{false, false}), present_at_cleanup);
    EXPECT_EQ("cleanup", fake.events.back());
}

TEST(PexPipeline, ReleaseWithoutCleanupSlot)
{
    pex_backend without_cleanup = fake_backend;
    without_cleanup.cleanup_backend = nullptr;
    fake = fake_backend_state();
    pex_pipeline *pipeline = pex_create_common(PEX_PIPES, "prog", nullptr, &without_cleanup);
    ASSERT_EQ("", fake_launch(pipeline, PEX_FINAL));
    pex_release(pipeline);
    EXPECT_EQ(std::vector<std::string>{"wait 1001"}, fake.events);
}
