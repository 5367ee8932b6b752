#include "support/alloc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/test_util.h"

// The allocation that cannot succeed: more than any address space holds.
static constexpr size_t impossible = SIZE_MAX / 2;

// The whole of standard error for an out-of-memory end whose own text is
// `message`. AddressSanitizer, when told to let a failed allocation return
// null (as the sanitizer preset does, so that our report runs at all), first
// writes a warning line of its own.
static std::string oom_stderr(const std::string &message)
{
#ifdef MAVO_ADDRESS_SANITIZER
    return "^(==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes\n)?" +
           message + "$";
#else
    return "^" + message + "$";
#endif
}

TEST(AllocOrDie, ZeroSizesGiveAOneByteBlock)
{
    void *plain = alloc_or_die(0);
    char *zeroed = static_cast<char *>(calloc_or_die(0, 8));
    void *resized = realloc_or_die(nullptr, 0);
    EXPECT_EQ(zeroed[0], '\0');
    free(plain);
    free(zeroed);
    free(resized);
    free(calloc_or_die(5, 0));
}

TEST(AllocOrDie, ReallocKeepsContents)
{
    char *block = static_cast<char *>(realloc_or_die(nullptr, 24));
    memcpy(block, "abc", 4);
    block = static_cast<char *>(realloc_or_die(block, 4096));
    EXPECT_STREQ(block, "abc");
    free(block);
    char *copy = strdup_or_die("text");
    EXPECT_STREQ(copy, "text");
    free(copy);
}

TEST(AllocOrDieDeathTest, OutOfMemoryNamesTheSizeAndExitsWithOne)
{
    EXPECT_EXIT(alloc_or_die(impossible), testing::ExitedWithCode(1),
                oom_stderr("\nout of memory allocating 9223372036854775807 bytes\n"));
    EXPECT_EXIT(realloc_or_die(nullptr, impossible), testing::ExitedWithCode(1),
                oom_stderr("\nout of memory allocating 9223372036854775807 bytes\n"));
    // calloc reports the product of count and size, wrapped as it is.
    EXPECT_EXIT(calloc_or_die(impossible, 3), testing::ExitedWithCode(1),
                oom_stderr("\nout of memory allocating 9223372036854775805 bytes\n"));
    EXPECT_EXIT(
        {
            set_alloc_program_name("prog");
            alloc_or_die(impossible);
        },
        testing::ExitedWithCode(1), oom_stderr("\nprog: out of memory allocating 9223372036854775807 bytes\n"));
}

static void hook_writes_marker()
{
    fputs("hook ran\n", stderr);
}

TEST(ExitWithHookDeathTest, RunsTheHookOnceThenExits)
{
    EXPECT_EXIT(exit_with_hook(3), testing::ExitedWithCode(3), "^$");
    EXPECT_EXIT(
        {
            exit_hook = hook_writes_marker;
            exit_with_hook(3);
        },
        testing::ExitedWithCode(3), "^hook ran\n$");
    EXPECT_EXIT(
        {
            exit_hook = hook_writes_marker;
            alloc_or_die(impossible);
        },
        testing::ExitedWithCode(1), oom_stderr("\nout of memory allocating [0-9]+ bytes\nhook ran\n"));
}
